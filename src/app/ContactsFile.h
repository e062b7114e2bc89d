// The address book file "contacts.txt": reading and writing its contacts with
// the XML document library. Plain C++, no Qt.
//
// Layout as written (CR LF line ends, one tab per level, no declaration):
//   <contacts>
//   	<contact>
//   		<name>Bob</name>
//   		<host>127.0.0.1</host>
//   		<port>5007</port>
//   	</contact>
//   </contacts>
// An empty field is written as an empty element (`<name/>`), an empty book as
// the single line `<contacts/>`. On reading, the root's name is not looked at,
// every child of the root named "contact" in any letter case is a contact,
// its fields are looked up without regard to case, and a missing field reads
// as empty text. Bytes are kept as they stand (no character-set conversion).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

// The file's name; it lives in the process's current directory.
inline constexpr const char kContactsFileName[] = "contacts.txt";

struct Contact {
    std::string name;
    std::string host;
    std::string port;  // as stored: decimal text, not checked on reading

    bool operator==(const Contact&) const = default;
};

// The contacts of a document, in document order. Whatever the forgiving parser
// makes of a damaged document is used; elements other than contacts are skipped.
std::vector<Contact> contactsFromText(std::string_view text);

// The document for `contacts`, in the given order.
std::string contactsToText(const std::vector<Contact>& contacts);

// The contacts in `file`; empty when the file is missing, empty or unreadable.
std::vector<Contact> loadContacts(const std::filesystem::path& file);

// What reading the address book found.
struct ContactsBook {
    std::vector<Contact> contacts;
    // False when the file holds more than `contacts` tells, so that writing
    // them back would lose the rest: it exists but could not be read, its
    // document is damaged (a tag without its end, elements left open), or it
    // holds anything besides contacts with at most one name, host and port
    // each (other elements, attributes, text beside elements), or a value
    // that would not be written back as it stands.
    bool whole = true;
};
ContactsBook readContacts(const std::filesystem::path& file);
// Whether a document is an address book as described above, nothing more.
bool contactsTextIsWhole(std::string_view text);

// Replaces `file` with the document for `contacts`. The text goes to a
// temporary file beside it (same name plus ".<process id>.tmp"), which is
// flushed to disk and then renamed over `file`, so a failed save leaves the
// previous file untouched. A symbolic link is followed and its target
// replaced; an existing file's permission bits are kept, and a file whose
// bits allow nobody to write it (made read-only) is not replaced. Returns
// false on failure (the temporary file is then removed), with one sentence
// on why in `why` when it is given.
bool saveContacts(const std::filesystem::path& file, const std::vector<Contact>& contacts,
                  std::string* why = nullptr);

// The file name a file that was not read whole is kept under: "<file>.bak".
std::filesystem::path contactsBackupName(const std::filesystem::path& file);
// saveContacts for a file that was not read whole: the file it replaces is
// kept as contactsBackupName(file) (beside a link's target), also when it
// could not be read at all. Refused, changing nothing, when that name is
// already taken. Returns false on failure or refusal.
bool saveContactsKeepingOld(const std::filesystem::path& file, const std::vector<Contact>& contacts,
                            std::string* why = nullptr);

// Decimal conversion of a port text as the address book does it: leading
// whitespace and one sign are accepted, digits are read up to the first
// non-digit, text without digits gives 0, and values beyond the range of int
// are clamped to it.
int portFromText(std::string_view text);

}  // namespace ambrel
