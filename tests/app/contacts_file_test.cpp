// The address book file: exact bytes written, forgiving reading, and a save
// that never loses the previous file.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ContactsFile.h"
#include "xml/ScratchFiles.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;

using testing::put;
using testing::slurp;

const char* const kOneContact = testing::kContactsExample;

class ContactsFileTest : public ::testing::Test {
protected:
    fs::path tempName() const {
        fs::path t = file_;
        t += "." + std::to_string(::getpid()) + ".tmp";
        return t;
    }

    testing::ScratchDir scratch_{"ambrel-contacts-file"};
    const fs::path dir_ = scratch_.path();
    const fs::path file_ = dir_ / kContactsFileName;
};

TEST_F(ContactsFileTest, WritesTheExactLayout) {
    EXPECT_EQ(contactsToText({{"Bob", "127.0.0.1", "5007"}}), kOneContact);
    EXPECT_EQ(contactsToText({}), "<contacts/>\r\n");
    EXPECT_EQ(contactsToText({{"", "a&b<c", ""}}),
              "<contacts>\r\n"
              "\t<contact>\r\n"
              "\t\t<name/>\r\n"
              "\t\t<host>a&amp;b&lt;c</host>\r\n"
              "\t\t<port/>\r\n"
              "\t</contact>\r\n"
              "</contacts>\r\n");
}

TEST_F(ContactsFileTest, ReadsContactsInAnyCaseAndSkipsOtherElements) {
    const auto contacts = contactsFromText(
        "<?xml version=\"1.0\"?>\r\n<Book>\r\n"
        "<Contact><NAME>Ann</NAME><Host>a.example</Host><PORT>1</PORT></Contact>\r\n"
        "<note>ignored</note>\r\n"
        "<CONTACT name=\"Cy\" host='c.example' port=\"3\"/>\r\n"
        "<contact><name>Dee</name><host>d.example</host></contact>\r\n"
        "<contacts><name>nested</name></contacts>\r\n"
        "</Book>\r\n");
    ASSERT_EQ(contacts.size(), 3u);
    EXPECT_EQ(contacts[0], (Contact{"Ann", "a.example", "1"}));
    EXPECT_EQ(contacts[1], (Contact{"Cy", "c.example", "3"}));
    EXPECT_EQ(contacts[2], (Contact{"Dee", "d.example", ""}));  // no port: empty text
}

TEST_F(ContactsFileTest, AnIpv6HostIsStoredAsTypedInTheSameLayout) {
    for (const char* host : {"fd00::2", "[2001:db8::5]", "fe80::1%eth0"}) {
        const std::string text = contactsToText({{"Six", host, "5007"}});
        EXPECT_NE(text.find(std::string("\t\t<host>") + host + "</host>\r\n"), std::string::npos) << text;
        EXPECT_EQ(contactsFromText(text), (std::vector<Contact>{{"Six", host, "5007"}}));
    }
}

TEST_F(ContactsFileTest, PortTextIsKeptAsItStands) {
    const auto contacts = contactsFromText("<c><contact><port> 12ab </port></contact></c>");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].port, "12ab");
    EXPECT_EQ(contactsToText(contacts).find("<port>12ab</port>") != std::string::npos, true);
}

TEST_F(ContactsFileTest, DamagedDocumentGivesWhatWasRead) {
    const auto contacts = contactsFromText("<contacts><contact><name>A</name></contact><contact><name>B<");
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[0].name, "A");
    EXPECT_EQ(contacts[1].name, "");
    EXPECT_TRUE(contactsFromText("").empty());
    EXPECT_TRUE(contactsFromText("not xml at all").empty());
}

TEST_F(ContactsFileTest, MissingOrEmptyFileLoadsNothing) {
    EXPECT_TRUE(loadContacts(file_).empty());
    put(file_, "");
    EXPECT_TRUE(loadContacts(file_).empty());
    put(file_, kOneContact);
    ASSERT_EQ(loadContacts(file_).size(), 1u);
}

TEST_F(ContactsFileTest, SaveReplacesTheFileAndLeavesNoTemporary) {
    put(file_, "old contents");
    const std::vector<Contact> contacts = {{"Bob", "127.0.0.1", "5007"}};
    ASSERT_TRUE(saveContacts(file_, contacts));
    EXPECT_EQ(slurp(file_), kOneContact);
    EXPECT_FALSE(fs::exists(tempName()));
    EXPECT_EQ(loadContacts(file_), contacts);
    ASSERT_TRUE(saveContacts(file_, {}));
    EXPECT_EQ(slurp(file_), "<contacts/>\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ContactsFileTest, FailedSaveLeavesTheOldFileIntact) {
    put(file_, kOneContact);
    // The temporary file cannot be created: a directory already has its name.
    // (Directory permissions would not stop a test run by root.)
    fs::create_directory(tempName());
    EXPECT_FALSE(saveContacts(file_, {{"Eve", "evil.example", "666"}}));
    EXPECT_EQ(slurp(file_), kOneContact);
    EXPECT_TRUE(fs::is_directory(tempName()));  // not ours: left alone

    // A directory that does not exist: nothing is created anywhere.
    EXPECT_FALSE(saveContacts(dir_ / "missing" / kContactsFileName, {}));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(ContactsFileTest, SaveKeepsPermissionsAndFollowsALink) {
    put(file_, kOneContact);
    ::chmod(file_.c_str(), 0600);
    ASSERT_TRUE(saveContacts(file_, {}));
    EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    const fs::path link = dir_ / "link.txt";
    fs::create_symlink(file_, link);
    ASSERT_TRUE(saveContacts(link, {{"L", "l.example", "7"}}));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(loadContacts(file_), (std::vector<Contact>{{"L", "l.example", "7"}}));
}

// Writing back only the contacts that were read would lose the rest of a
// file that held more: such a file is kept as contacts.txt.bak first.
TEST_F(ContactsFileTest, AFileNotReadWholeIsKeptBeforeItIsReplaced) {
    EXPECT_TRUE(readContacts(file_).whole);  // missing
    put(file_, "");
    EXPECT_TRUE(readContacts(file_).whole);
    put(file_, kOneContact);
    EXPECT_TRUE(readContacts(file_).whole);
    EXPECT_TRUE(contactsTextIsWhole(contactsToText({{"", "a&b<c", ""}, {"x", "y", "1"}})));
    EXPECT_TRUE(contactsTextIsWhole("<?xml version=\"1.0\"?><!-- mine -->\n<Contacts><CONTACT><Name>x</Name>"
                                    "<PORT/></CONTACT></Contacts>\n"));
    for (const char* partial : {
             "<contacts><contact><name>A</name></contact><contact><name>B<",
             "<contacts><contact><name>A</name></contact><contact><name>B</name>",
             "<contacts><contact><name>A</name><phone>1</phone></contact></contacts>",
             "<contacts><group><contact><name>A</name></contact></group></contacts>",
             "<contacts><contact><name>A</name><name>B</name></contact></contacts>",
             "<contacts version=\"2\"><contact><name>A</name></contact></contacts>",
             "<contacts><contact>note<name>A</name></contact></contacts>",
             "<contacts/>and more",
             "not xml at all",
         })
        EXPECT_FALSE(contactsTextIsWhole(partial)) << partial;

    const std::string old = "<contacts><contact><name>A</name><phone>1</phone></contact></contacts>";
    put(file_, old);
    ContactsBook book = readContacts(file_);
    ASSERT_FALSE(book.whole);
    ASSERT_EQ(book.contacts.size(), 1u);
    book.contacts.push_back({"B", "b", "2"});
    ASSERT_TRUE(saveContactsKeepingOld(file_, book.contacts));
    EXPECT_EQ(slurp(contactsBackupName(file_)), old);
    EXPECT_EQ(loadContacts(file_), book.contacts);
    // While that backup is there, another such file is not replaced.
    put(file_, old + " ");
    EXPECT_FALSE(saveContactsKeepingOld(file_, {}));
    EXPECT_EQ(slurp(file_), old + " ");
    EXPECT_EQ(slurp(contactsBackupName(file_)), old);
    EXPECT_FALSE(fs::exists(tempName()));

    // A file that cannot be read at all is kept too (a directory stands in
    // for an unreadable file: permissions do not stop a test run by root).
    fs::remove(contactsBackupName(file_));
    fs::remove(file_);
    fs::create_directory(file_);
    put(file_ / "inside", "x");
    EXPECT_FALSE(readContacts(file_).whole);
    ASSERT_TRUE(saveContactsKeepingOld(file_, {{"C", "c", "3"}}));
    EXPECT_EQ(slurp(contactsBackupName(file_) / "inside"), "x");
    EXPECT_EQ(loadContacts(file_), (std::vector<Contact>{{"C", "c", "3"}}));
}

TEST(ContactsPort, DecimalConversion) {
    EXPECT_EQ(portFromText("5007"), 5007);
    EXPECT_EQ(portFromText("abc"), 0);
    EXPECT_EQ(portFromText(""), 0);
    EXPECT_EQ(portFromText("  12ab"), 12);
    EXPECT_EQ(portFromText("+8"), 8);
    EXPECT_EQ(portFromText("-5"), -5);
    EXPECT_EQ(portFromText("99999999999999999999"), INT_MAX);
    EXPECT_EQ(portFromText("-99999999999999999999"), INT_MIN);
}

}  // namespace
}  // namespace ambrel
