#include "app/ContactsFile.h"

#include <climits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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

bool syncFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
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

std::vector<Contact> loadContacts(const std::filesystem::path& file) {
    std::string text;
    if (!readWholeFile(file, text)) return {};
    return contactsFromText(text);
}

bool saveContacts(const std::filesystem::path& file, const std::vector<Contact>& contacts) {
    std::error_code ec;
    std::filesystem::path target = file;
    if (std::filesystem::is_symlink(file, ec)) {
        const std::filesystem::path resolved = std::filesystem::canonical(file, ec);
        if (!ec) target = resolved;
    }
    // The temporary file must be in the target's directory so that the rename
    // is atomic; the process id keeps two running copies apart.
    std::filesystem::path temp = target;
    temp += "." + std::to_string(::getpid()) + ".tmp";

    const std::string text = contactsToText(contacts);
    bool ok = writeWholeFile(temp, text);
    if (ok) {
        struct stat st {};
        if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ::chmod(temp.c_str(), st.st_mode & 07777);
        }
        // Flushed before the rename, or a crash could leave an empty file
        // where the old address book was.
        ok = syncFile(temp) && ::rename(temp.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        // Only a regular file of ours is removed, never a directory or
        // whatever else happens to carry that name.
        struct stat st {};
        if (::lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(temp.c_str());
    }
    return ok;
}

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
