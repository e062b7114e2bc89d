// XmlNode: construction, lookup, the forgiving parser and the exact bytes of
// the writer.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "xml/ScratchFiles.h"
#include "xml/XmlNode.h"

namespace ambrel {
namespace {

const char* const kContactsIndented = testing::kContactsExample;

XmlNode contactsTree() {
    XmlNode root("contacts");
    XmlNode* contact = root.appendChild(std::make_unique<XmlNode>("contact"));
    contact->addChild("name", "Bob");
    contact->addChild("host", "127.0.0.1");
    contact->addChild("port", "5007");
    return root;
}

TEST(XmlNodeBasics, ConstructorsAndNullArguments) {
    EXPECT_EQ(XmlNode().name(), "xml");
    const XmlNode nulls(static_cast<const char*>(nullptr), nullptr);
    EXPECT_EQ(nulls.name(), "");
    EXPECT_EQ(nulls.value(), "");
    const XmlNode both("a", "b");
    EXPECT_EQ(both.name(), "a");
    EXPECT_EQ(both.value(), "b");

    XmlNode n("n");
    XmlNode& c = n.addChild(nullptr, nullptr);
    EXPECT_EQ(c.name(), "");
    EXPECT_EQ(n.indexOfChild(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(n.findChild(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(n.appendChild(nullptr), nullptr);
    EXPECT_EQ(n.childCount(), 1u);
    EXPECT_FALSE(n.parse(static_cast<const char*>(nullptr)));
    EXPECT_EQ(n.name(), "n");  // a null text leaves the node as it was
    EXPECT_EQ(n.childCount(), 1u);
}

TEST(XmlNodeBasics, LookupIgnoresAsciiCaseAndReturnsTheFirst) {
    XmlNode n("contact");
    n.addChild("name", "x");
    n.addChild("host", "first");
    n.addChild("HOST", "second");
    EXPECT_EQ(n.indexOfChild("HOST"), 1);
    ASSERT_NE(n.findChild("HoSt"), nullptr);
    EXPECT_EQ(n.findChild("HoSt")->value(), "first");
    EXPECT_EQ(n.indexOfChild("port"), -1);
    EXPECT_EQ(n.findChild(std::string("port")), nullptr);
}

TEST(XmlParse, ValuesAreTrimmedAndJoinedAroundChildren) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a>  x  </a>"));
    EXPECT_EQ(n.name(), "a");
    EXPECT_EQ(n.value(), "x");

    ASSERT_TRUE(n.parse("<a>x<b/>y</a>"));
    EXPECT_EQ(n.value(), "xy");
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "b");

    ASSERT_TRUE(n.parse("<a>a <b/> c</a>"));
    EXPECT_EQ(n.value(), "a c");
    ASSERT_TRUE(n.parse("<a> \r\n\t </a>"));
    EXPECT_EQ(n.value(), "");
    // Every byte up to 32 is whitespace; bytes of 128 and above never are.
    ASSERT_TRUE(n.parse("<a>\x01\x1f x\xa0 \x7f\x20</a>"));
    EXPECT_EQ(n.value(), "x\xa0 \x7f");
}

TEST(XmlParse, EntitiesInTextAndAttributes) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a v='&lt;&amp;lt;'>&amp;lt; &#65;</a>"));
    EXPECT_EQ(n.value(), "&lt; &#65;");
    EXPECT_EQ(n.findChild("v")->value(), "<&lt;");
}

TEST(XmlParse, AttributesAndChildElementsGiveTheSameTree) {
    XmlNode fromAttributes;
    ASSERT_TRUE(fromAttributes.parse("<a b=\"1\" c='2'/>"));
    XmlNode fromElements;
    ASSERT_TRUE(fromElements.parse("<a><b>1</b><c>2</c></a>"));
    for (const XmlNode* n : {&fromAttributes, &fromElements}) {
        EXPECT_EQ(n->name(), "a");
        ASSERT_EQ(n->childCount(), 2u);
        EXPECT_EQ(n->child(0).name(), "b");
        EXPECT_EQ(n->child(0).value(), "1");
        EXPECT_EQ(n->child(1).name(), "c");
        EXPECT_EQ(n->child(1).value(), "2");
    }
}

TEST(XmlParse, AttributeQuirks) {
    XmlNode n;
    // Quotes of the other kind are part of the value; whitespace is kept.
    ASSERT_TRUE(n.parse("<a b=\" it's \" c='say \"hi\"'>t</a>"));
    EXPECT_EQ(n.child(0).value(), " it's ");
    EXPECT_EQ(n.child(1).value(), "say \"hi\"");
    EXPECT_EQ(n.value(), "t");
    // The attribute name is taken as it stands before "=".
    ASSERT_TRUE(n.parse("<a b =\"1\"/>"));
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "b ");
    // Bytes without "=" become the front of the next attribute name.
    ASSERT_TRUE(n.parse("<a checked b='1'/>"));
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "checked b");
}

TEST(XmlParse, MalformedAttributeEndsOnlyTheAttributeList) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a b=1 c=\"2\">text<d>4</d></a>"));
    EXPECT_EQ(n.name(), "a");
    EXPECT_EQ(n.value(), "text");
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "d");

    ASSERT_TRUE(n.parse("<a x='1' y='unclosed>v</a>"));
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).value(), "1");
    EXPECT_EQ(n.value(), "v");
}

TEST(XmlParse, AnyClosingTagClosesTheCurrentElement) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a><b>x</c></a>"));
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "b");
    EXPECT_EQ(n.child(0).value(), "x");
    EXPECT_EQ(n.child(0).childCount(), 0u);
}

TEST(XmlParse, MarkupIsRemovedEvenInsideText) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<?xml version=\"1.0\"?>\r\n<!DOCTYPE a>\r\n<!-- top -->"
                        "<a>one<!-- c -->two<?pi x?> three<!X></a>"));
    EXPECT_EQ(n.name(), "a");
    EXPECT_EQ(n.value(), "onetwo three");
    EXPECT_EQ(n.childCount(), 0u);
}

TEST(XmlParse, UnterminatedCommentDropsTheRestOfTheDocument) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a><b>1</b><!-- <c>2</c></a>"));
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).name(), "b");
}

TEST(XmlParse, TopLevelTextAndElements) {
    XmlNode n;
    ASSERT_TRUE(n.parse("lead <a>x</a><b>y</b> trailing"));
    EXPECT_EQ(n.name(), "a");
    EXPECT_EQ(n.value(), "leadx");  // each piece is trimmed as it is added
    ASSERT_EQ(n.childCount(), 1u);  // the second top-level element becomes a child
    EXPECT_EQ(n.child(0).name(), "b");
    EXPECT_EQ(n.child(0).value(), "y");

    ASSERT_TRUE(n.parse("<a>text after the last tag"));
    EXPECT_EQ(n.value(), "");

    ASSERT_TRUE(n.parse(""));
    EXPECT_EQ(n.name(), "");
    ASSERT_TRUE(n.parse("no tags at all"));
    EXPECT_EQ(n.value(), "");
    EXPECT_EQ(n.childCount(), 0u);
}

TEST(XmlParse, LessThanWithoutGreaterThanFails) {
    XmlNode n;
    EXPECT_FALSE(n.parse("text <a"));
    EXPECT_FALSE(n.parse("<a>x</a> <b"));
    // Inside the root the tree keeps what was read before the fault.
    EXPECT_FALSE(n.parse("<a><b>1</b>tail<c"));
    EXPECT_EQ(n.name(), "a");
    ASSERT_EQ(n.childCount(), 1u);
    EXPECT_EQ(n.child(0).value(), "1");
}

TEST(XmlParse, ParseReplacesEverything) {
    XmlNode n("old", "value");
    n.addChild("kid");
    ASSERT_TRUE(n.parse("<new/>"));
    EXPECT_EQ(n.name(), "new");
    EXPECT_EQ(n.value(), "");
    EXPECT_EQ(n.childCount(), 0u);
}

TEST(XmlParse, NameEndsAtSpaceSlashOrLineBreak) {
    XmlNode n;
    ASSERT_TRUE(n.parse("<a\r\nb='1'><c\t/><d/ ></a>"));
    EXPECT_EQ(n.name(), "a");
    ASSERT_EQ(n.childCount(), 3u);
    EXPECT_EQ(n.child(0).name(), "b");
    EXPECT_EQ(n.child(1).name(), "c");
    EXPECT_EQ(n.child(2).name(), "d");
}

TEST(XmlParse, DeepNestingNeitherRecursesNorOverflows) {
    const int depth = 200000;
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<n>";
    text += "leaf";
    XmlNode n;
    ASSERT_TRUE(n.parse(text));  // text after the last tag is ignored
    const XmlNode* p = &n;
    int levels = 0;
    while (p->childCount() == 1) {
        p = &p->child(0);
        ++levels;
    }
    EXPECT_EQ(levels, depth - 1);
    // The innermost node is a leaf, so the compact form makes it an attribute.
    const std::string compact = n.toText(-1);
    EXPECT_EQ(compact.size(), std::string("<n></n>").size() * (depth - 2) + std::string("<n n=\"\"/>").size());
    EXPECT_EQ(compact.find("<n n=\"\"/></n></n>"), std::string("<n>").size() * (depth - 2));
}

TEST(XmlWrite, ContactsExampleIndented) {
    EXPECT_EQ(contactsTree().toText(0, true), kContactsIndented);
}

TEST(XmlWrite, ContactsExampleCompact) {
    EXPECT_EQ(contactsTree().toText(-1, true),
              "<contacts><contact name=\"Bob\" host=\"127.0.0.1\" port=\"5007\"/></contacts>");
}

TEST(XmlWrite, EmptyRoot) {
    const XmlNode root("contacts");
    EXPECT_EQ(root.toText(0, true), "<contacts/>\r\n");
    EXPECT_EQ(root.toText(0, false), "<contacts></contacts>\r\n");
    EXPECT_EQ(root.toText(-1, true), "<contacts/>");
    EXPECT_EQ(root.toText(-1, false), "<contacts></contacts>");
}

TEST(XmlWrite, ValueNextToChildrenAndEncoding) {
    XmlNode a("a", "v&<");
    a.addChild("b", "it's \"x\"");
    a.addChild("c");
    EXPECT_EQ(a.toText(0, true),
              "<a>\r\n"
              "\t<b>it&apos;s &quot;x&quot;</b>\r\n"
              "\t<c/>\r\n"
              "\tv&amp;&lt;\r\n"
              "</a>\r\n");
    EXPECT_EQ(a.toText(1, true),
              "\t<a>\r\n"
              "\t\t<b>it&apos;s &quot;x&quot;</b>\r\n"
              "\t\t<c/>\r\n"
              "\t\tv&amp;&lt;\r\n"
              "\t</a>\r\n");
    EXPECT_EQ(a.toText(-1, true), "<a b=\"it&apos;s &quot;x&quot;\" c=\"\">v&amp;&lt;</a>");
}

TEST(XmlWrite, CompactPutsLeavesFirstAsAttributes) {
    XmlNode a("a");
    XmlNode& inner = a.addChild("inner");
    inner.addChild("deep", "1");
    a.addChild("leaf", "2");
    EXPECT_EQ(a.toText(-1, true), "<a leaf=\"2\"><inner deep=\"1\"/></a>");
    EXPECT_EQ(a.toText(-1, false), "<a leaf=\"2\"><inner deep=\"1\"/></a>");
}

TEST(XmlWrite, IndentedExampleParsesBack) {
    XmlNode n;
    ASSERT_TRUE(n.parse(kContactsIndented));
    EXPECT_EQ(n.toText(0, true), kContactsIndented);
    XmlNode compact;
    ASSERT_TRUE(compact.parse(contactsTree().toText(-1, true)));
    EXPECT_EQ(compact.toText(0, true), kContactsIndented);
}

}  // namespace
}  // namespace ambrel
