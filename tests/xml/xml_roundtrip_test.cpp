// Property: a tree of random names and values, written in either form and
// parsed back, keeps its names and values, whitespace at their ends included
// (the writer gives it as character references). The one known difference is
// modelled exactly: the compact form moves leaf children (attributes) first.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "xml/XmlNode.h"
#include "xml/XmlText.h"

namespace ambrel {
namespace {

std::string randomName(std::mt19937& rng) {
    static const std::string first = "abcxyzABCXYZ_";
    static const std::string rest = "abcxyzABCXYZ_0189.-";
    std::string s(1, first[rng() % first.size()]);
    for (std::size_t n = rng() % 8; n > 0; --n) s += rest[rng() % rest.size()];
    return s;
}

std::string randomValue(std::mt19937& rng) {
    static const std::string tricky = "&<>'\"=/ \t\r\n;#!?-amplgt";
    std::string s(rng() % 12, '\0');
    for (char& c : s) c = (rng() % 3 == 0) ? static_cast<char>(rng()) : tricky[rng() % tricky.size()];
    return s;
}

void fill(XmlNode& node, std::mt19937& rng, int depth) {
    if (depth == 0) return;
    for (std::size_t n = rng() % 5; n > 0; --n) {
        XmlNode& c = node.addChild(randomName(rng), rng() % 4 ? randomValue(rng) : std::string());
        if (rng() % 3 == 0) fill(c, rng, depth - 1);
    }
}

// What the parser must give back for `node` written in the indented form.
std::unique_ptr<XmlNode> expectedIndented(const XmlNode& node) {
    auto e = std::make_unique<XmlNode>(node.name(), node.value());
    for (std::size_t i = 0; i < node.childCount(); ++i) e->appendChild(expectedIndented(node.child(i)));
    return e;
}

// The same for the compact form; `asAttribute` tells how the node was written.
std::unique_ptr<XmlNode> expectedCompact(const XmlNode& node, bool asAttribute) {
    (void)asAttribute;
    auto e = std::make_unique<XmlNode>(node.name(), node.value());
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < node.childCount(); ++i) {
            const XmlNode& c = node.child(i);
            const bool leaf = c.childCount() == 0;
            if (leaf == (pass == 0)) e->appendChild(expectedCompact(c, leaf));
        }
    }
    return e;
}

::testing::AssertionResult sameTree(const XmlNode& want, const XmlNode& got, const std::string& path) {
    if (want.name() != got.name()) return ::testing::AssertionFailure() << path << ": name " << got.name();
    if (want.value() != got.value()) return ::testing::AssertionFailure() << path << "/" << want.name() << ": value";
    if (want.childCount() != got.childCount()) {
        return ::testing::AssertionFailure() << path << "/" << want.name() << ": " << got.childCount() << " children";
    }
    for (std::size_t i = 0; i < want.childCount(); ++i) {
        auto r = sameTree(want.child(i), got.child(i), path + "/" + want.name());
        if (!r) return r;
    }
    return ::testing::AssertionSuccess();
}

TEST(XmlRoundTrip, RandomTreesInBothForms) {
    std::mt19937 rng(20260);
    for (int round = 0; round < 3000; ++round) {
        XmlNode tree(randomName(rng), rng() % 2 ? randomValue(rng) : std::string());
        fill(tree, rng, 4);
        const bool selfClose = round % 2 == 0;

        const std::string indented = tree.toText(round % 3, selfClose);
        XmlNode back;
        ASSERT_TRUE(back.parse(indented)) << indented;
        ASSERT_TRUE(sameTree(*expectedIndented(tree), back, "")) << indented;

        const std::string compact = tree.toText(-1, selfClose);
        XmlNode backCompact;
        ASSERT_TRUE(backCompact.parse(compact)) << compact;
        ASSERT_TRUE(sameTree(*expectedCompact(tree, false), backCompact, "")) << compact;
    }
}

}  // namespace
}  // namespace ambrel
