// Entity encoding and decoding, markup removal and case folding.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "xml/XmlText.h"

namespace ambrel {
namespace {

TEST(XmlEntities, EncodesTheFiveBytesAndNothingElse) {
    EXPECT_EQ(encodeEntities("a&b<c"), "a&amp;b&lt;c");
    EXPECT_EQ(encodeEntities("&amp;"), "&amp;amp;");
    EXPECT_EQ(encodeEntities("<>'\""), "&lt;&gt;&apos;&quot;");
    EXPECT_EQ(encodeEntities(std::string("\0\x80\xff x", 5)), std::string("\0\x80\xff x", 5));
}

TEST(XmlEntities, DecodesAmpLastAndLeavesOtherReferences) {
    EXPECT_EQ(decodeEntities("a&amp;b&lt;c"), "a&b<c");
    EXPECT_EQ(decodeEntities("&amp;lt;"), "&lt;");
    EXPECT_EQ(decodeEntities("&amp;amp;"), "&amp;");
    EXPECT_EQ(decodeEntities("&#65;&#x41;&nbsp;&LT;"), "&#65;&#x41;&nbsp;&LT;");
    EXPECT_EQ(decodeEntities("&lt&gt;&;&"), "&lt>&;&");
    EXPECT_EQ(decodeEntities("&&lt;&apos;&quot;"), "&<'\"");
}

TEST(XmlEntities, RoundTripForAnyBytes) {
    std::mt19937 rng(7);
    const std::string alphabet = "&<>'\"amplgtquos;#x \x01\xff";
    for (int n = 0; n < 2000; ++n) {
        std::string s(rng() % 40, '\0');
        for (char& c : s) c = (n % 2) ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        ASSERT_EQ(decodeEntities(encodeEntities(s)), s) << s;
    }
}

TEST(XmlStripMarkup, RemovesCommentsInstructionsAndDeclarationsAnywhere) {
    EXPECT_EQ(stripMarkup("one <!-- a > b --> two"), "one  two");
    EXPECT_EQ(stripMarkup("one<!--x-->two"), "onetwo");
    EXPECT_EQ(stripMarkup("<?xml version=\"1.0\"?><a/>"), "<a/>");
    EXPECT_EQ(stripMarkup("<!DOCTYPE a><a>x<!-- c -->y</a>"), "<a>xy</a>");
    // A CDATA section ends at its first ">": the rest of it stays as text.
    EXPECT_EQ(stripMarkup("<a><![CDATA[p>q]]></a>"), "<a>q]]></a>");
    // Comments go first, so a ">" inside one does not end a declaration.
    EXPECT_EQ(stripMarkup("<!D <!-- > --> x>y"), "y");
}

TEST(XmlStripMarkup, MarkerFormedByARemovalIsRemovedToo) {
    EXPECT_EQ(stripMarkup("<!-<!--x-->-- y -->z"), "z");
    EXPECT_EQ(stripMarkup("<<?p?>?q>r"), "r");
    EXPECT_EQ(stripMarkup("a<<!-- -->!b>c"), "ac");
}

TEST(XmlStripMarkup, UnterminatedMarkupDropsTheRest) {
    EXPECT_EQ(stripMarkup("<a>x</a><!-- open"), "<a>x</a>");
    EXPECT_EQ(stripMarkup("<a>x<? never"), "<a>x");
    EXPECT_EQ(stripMarkup("<a>x<!DOCTYPE"), "<a>x");
    EXPECT_EQ(stripMarkup("<!-->rest"), "");
    EXPECT_EQ(stripMarkup("plain text"), "plain text");
}

TEST(XmlText, CaseFoldingTouchesOnlyAsciiLetters) {
    EXPECT_TRUE(equalsIgnoreAsciiCase("HOST", "host"));
    EXPECT_TRUE(equalsIgnoreAsciiCase("cOnTaCt", "CONTACT"));
    EXPECT_FALSE(equalsIgnoreAsciiCase("\xc4", "\xe4"));
    EXPECT_FALSE(equalsIgnoreAsciiCase("[", "{"));
    EXPECT_FALSE(equalsIgnoreAsciiCase("host", "hos"));
    EXPECT_EQ(asciiUpper("Contact-\xe4z"), "CONTACT-\xe4Z");
}

}  // namespace
}  // namespace ambrel
