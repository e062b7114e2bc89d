#include "app/ContactsFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "base/Files.h"
#include "xml/WholeFile.h"
#include "xml/XmlNode.h"
#include "xml/XmlText.h"

namespace ambrel {

namespace {

// A field looked up by name (case-insensitively) and created when missing.
XmlNode& field(XmlNode& contact, const char* name) {
    if (XmlNode* found = contact.findChild(name)) return *found;
    return contact.addChild(name, "");
}

// Writes `text` to `path` (created, or emptied when it is a regular file),
// flushes it to disk and only then gives it `mode` (when not 0), so a mode
// that forbids reading cannot stop the flush. Returns 0 or the errno value.
int writeSynced(const std::filesystem::path& path, std::string_view text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return errno;
    int err = 0;
    std::size_t at = 0;
    while (err == 0 && at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno != EINTR) err = errno;
        if (n > 0) at += static_cast<std::size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (err == 0 && mode != 0 && ::fchmod(fd, mode) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

void tell(std::string* why, std::string text) {
    if (why) *why = std::move(text);
}

}  // namespace

std::vector<Contact> contactsFromText(std::string_view text) {
    XmlNode root;
    root.parse(text);  // a damaged document still gives what was read
    std::vector<Contact> contacts;
    for (std::size_t i = 0; i < root.childCount(); ++i) {
        XmlNode& c = root.child(i);
        if (asciiUpper(c.name()) != "CONTACT") continue;
        contacts.push_back({field(c, "name").value(), field(c, "host").value(), field(c, "port").value()});
    }
    return contacts;
}

std::string contactsToText(const std::vector<Contact>& contacts) {
    XmlNode root("contacts");
    for (const Contact& c : contacts) {
        XmlNode& contact = *root.appendChild(std::make_unique<XmlNode>("contact"));
        field(contact, "name").setValue(c.name);
        field(contact, "host").setValue(c.host);
        field(contact, "port").setValue(c.port);
    }
    return root.toText(0, true);
}

std::vector<Contact> loadContacts(const std::filesystem::path& file) { return readContacts(file).contacts; }

ContactsBook readContacts(const std::filesystem::path& file) {
    ContactsBook book;
    std::string text;
    if (!readWholeFile(file, text)) {
        // Only a missing or empty file holds nothing.
        std::error_code ec;
        const auto status = std::filesystem::status(file, ec);
        book.whole = status.type() == std::filesystem::file_type::not_found ||
                     (status.type() == std::filesystem::file_type::regular && std::filesystem::file_size(file, ec) == 0 &&
                      !ec);
        return book;
    }
    book.contacts = contactsFromText(text);
    book.whole = contactsTextIsWhole(text);
    return book;
}

namespace {

// Whether every element that is opened is closed again: counts start tags
// (not self-closing) and end tags, skipping comments, CDATA, processing
// instructions, declarations and quoted attribute values.
bool tagsBalance(std::string_view text) {
    long open = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        std::size_t at = text.find(end, i);
        if (at == std::string_view::npos) return false;
        i = at + end.size();
        return true;
    };
    while ((i = text.find('<', i)) != std::string_view::npos) {
        std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            if (!skipPast("-->")) return false;
        } else if (rest.starts_with("<![CDATA[")) {
            if (!skipPast("]]>")) return false;
        } else if (rest.starts_with("<?")) {
            if (!skipPast("?>")) return false;
        } else if (rest.starts_with("<!")) {
            if (!skipPast(">")) return false;
        } else {
            const bool closing = rest.starts_with("</");
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                if (quote) {
                    if (text[j] == quote) quote = 0;
                } else if (text[j] == '"' || text[j] == '\'') {
                    quote = text[j];
                } else if (text[j] == '>') {
                    break;
                }
            }
            if (j >= text.size()) return false;
            if (closing)
                --open;
            else if (text[j - 1] != '/')
                ++open;
            if (open < 0) return false;
            i = j + 1;
        }
    }
    return open == 0;
}

}  // namespace

bool contactsTextIsWhole(std::string_view text) {
    // Text before the first tag or after the last one is not read.
    std::size_t first = 0, last = text.size();
    while (first < last && isXmlSpace(text[first])) ++first;
    while (last > first && isXmlSpace(text[last - 1])) --last;
    if (first == last) return true;
    if (text[first] != '<' || text[last - 1] != '>') return false;
    if (!tagsBalance(text)) return false;
    XmlNode root;
    if (!root.parse(text)) return false;
    if (!root.value().empty()) return false;
    for (std::size_t i = 0; i < root.childCount(); ++i) {
        XmlNode& c = root.child(i);
        if (asciiUpper(c.name()) != "CONTACT" || !c.value().empty()) return false;
        bool seen[3] = {false, false, false};
        for (std::size_t j = 0; j < c.childCount(); ++j) {
            const XmlNode& f = c.child(j);
            const std::string name = asciiUpper(f.name());
            const int k = name == "NAME" ? 0 : name == "HOST" ? 1 : name == "PORT" ? 2 : -1;
            if (k < 0 || seen[k] || f.childCount() != 0) return false;
            seen[k] = true;
        }
    }
    // And every value is one the writer gives back as it stands (values read
    // from attributes may hold what element text cannot).
    const std::vector<Contact> contacts = contactsFromText(text);
    return contactsFromText(contactsToText(contacts)) == contacts;
}

std::filesystem::path contactsBackupName(const std::filesystem::path& file) {
    std::filesystem::path backup = file;
    backup += ".bak";
    return backup;
}

namespace {

// How keepOld kept the file a save replaces.
enum class Kept { Failed, Nothing, Linked, Moved };

// Keeps the current `target` under `backup`, which must not exist: a second
// name where the file system allows it (`target` stays in place), else a
// rename.
Kept keepOld(const std::filesystem::path& target, const std::filesystem::path& backup) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT ? Kept::Nothing : Kept::Failed;
    if (::lstat(backup.c_str(), &st) == 0 || errno != ENOENT) return Kept::Failed;
    if (::link(target.c_str(), backup.c_str()) == 0) return Kept::Linked;
    if (errno == EEXIST) return Kept::Failed;
    return ::rename(target.c_str(), backup.c_str()) == 0 ? Kept::Moved : Kept::Failed;
}

bool saveTo(const std::filesystem::path& target, const std::vector<Contact>& contacts, bool keep, std::string* why);

}  // namespace

bool saveContacts(const std::filesystem::path& file, const std::vector<Contact>& contacts, std::string* why) {
    return saveTo(replaceTarget(file), contacts, false, why);
}

bool saveContactsKeepingOld(const std::filesystem::path& file, const std::vector<Contact>& contacts,
                            std::string* why) {
    return saveTo(replaceTarget(file), contacts, true, why);
}

namespace {

bool saveTo(const std::filesystem::path& target, const std::vector<Contact>& contacts, bool keep, std::string* why) {
    const std::string name = target.filename().string();
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (exists && isReadOnly(target)) {
        tell(why, name + " is read-only.");
        return false;
    }
    // The temporary file must be in the target's directory so that the rename
    // is atomic; the process id keeps two running copies apart.
    std::filesystem::path temp = target;
    temp += "." + std::to_string(::getpid()) + ".tmp";

    const std::string text = contactsToText(contacts);
    // Flushed before the rename, or a crash could leave an empty file where
    // the old address book was.
    const int err = writeSynced(temp, text, exists ? (st.st_mode & 07777) : 0);
    bool ok = err == 0;
    if (!ok) {
        tell(why, "A temporary file could not be written beside " + name + " (" + std::strerror(err) + ").");
    } else {
        const std::filesystem::path backup = contactsBackupName(target);
        const Kept kept = keep ? keepOld(target, backup) : Kept::Nothing;
        if (kept == Kept::Failed) {
            ok = false;
            tell(why, "It could not be kept as " + backup.filename().string() + " (that name may be taken).");
        } else if (::rename(temp.c_str(), target.c_str()) != 0) {
            ok = false;
            tell(why, name + " could not be replaced (" + std::strerror(errno) + ").");
        }
        // A failed save leaves everything as it was.
        if (!ok && kept == Kept::Linked) ::unlink(backup.c_str());
        if (!ok && kept == Kept::Moved) ::rename(backup.c_str(), target.c_str());
    }
    if (!ok) {
        // Only a regular file of ours is removed, never a directory or
        // whatever else happens to carry that name.
        struct stat st {};
        if (::lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(temp.c_str());
    }
    return ok;
}

}  // namespace

int portFromText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isXmlSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

}  // namespace ambrel
