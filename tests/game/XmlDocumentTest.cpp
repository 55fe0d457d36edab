#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include "game/XmlDocument.h"

namespace hv {
namespace {

using Clock2 = std::pair<std::int32_t, std::int32_t>;

// The tree as one line: name[attr=value,...](children...) with text in quotes.
QString Outline(const XmlElement& element) {
    QString out = element.Name;
    if (!element.Attributes.empty()) {
        QStringList attributes;
        for (const XmlAttribute& a : element.Attributes) attributes << a.Name + "=" + a.Value;
        out += "[" + attributes.join(",") + "]";
    }
    if (!element.Text.isEmpty()) out += "'" + element.Text + "'";
    if (!element.Children.empty()) {
        QStringList children;
        for (const auto& child : element.Children) {
            EXPECT_EQ(child->Parent, &element);
            children << Outline(*child);
        }
        out += "(" + children.join(" ") + ")";
    }
    return out;
}

TEST(XmlDocument, EmptyTimeInfoInsideKestrilo) {
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral("<Kestrilo><TimeInfo/></Kestrilo>")));
    ASSERT_EQ(doc.Children.size(), 1u);
    const XmlElement* kestrilo = XmlDocument::FindChild(&doc, u"Kestrilo");
    ASSERT_NE(kestrilo, nullptr);
    EXPECT_EQ(kestrilo->Parent, &doc);
    ASSERT_EQ(kestrilo->Children.size(), 1u);
    const XmlElement* timeInfo = kestrilo->Children[0].get();
    EXPECT_EQ(timeInfo->Name, "TimeInfo");
    EXPECT_TRUE(timeInfo->Attributes.empty());
    EXPECT_TRUE(timeInfo->Children.empty());
    EXPECT_TRUE(doc.Name.isEmpty());
    EXPECT_EQ(doc.Parent, nullptr);
}

// How messages load: the result and the tree built.
TEST(XmlDocument, LoadTable) {
    struct Case {
        const char* message;
        bool loaded;
        const char* outline;  // of the document
    };
    const Case cases[] = {
        // Self-closing and open/close forms give the same tree.
        {"<K><T/><U></U></K>", true, "(K(T U))"},
        // Several top-level elements and text beside them are fine inside the wrapper.
        {"head<A/>mid<B x='1'/>tail", true, "'headmidtail'(A B[x=1])"},
        // An end tag that does not match: the tree up to the error, still a success.
        {"<K><T></K><After/>", true, "(K(T))"},
        {"<K><T a='1'></X>", true, "(K(T[a=1]))"},
        // An XML declaration inside the message ends the tree there.
        {"<K/><?xml version=\"1.0\"?><L/>", true, "(K)"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><Kestrilo/>", true, ""},
        // So does a document type declaration; its entities are never used.
        {"<A/><!DOCTYPE x [<!ENTITY e 'boom'>]><B>&e;</B>", true, "(A)"},
        // Unfinished input: as far as the reader got.
        {"<K><T a='1'/><U", true, "(K(T[a=1]))"},
        {"<K><T", true, "(K)"},
        {"", true, ""},
        {"plain text", true, "'plain text'"},
        // Text: direct text nodes appended, entities resolved; whitespace between
        // elements, comments, CDATA and processing instructions left out.
        {"<K>a &amp; b<!--c--> <X/>c<![CDATA[zz]]><?pi x?>d</K>", true, "(K'a & bcd'(X))"},
        {"<K>\n  <T/>\n</K>", true, "(K(T))"},
        // Prefixes dropped from element and attribute names; namespace declarations kept.
        {"<p:K xmlns:p='urn:a' p:Num='7'/>", true, "(K[p=urn:a,Num=7])"},
        // The message closes the wrapper and goes on: a node after it fails the load.
        {"<K/></root><!--after-->", false, "(K)"},
        // ... but the end of the input right after it does not.
        {"<K/></root>", true, "(K)"},
        // A wrapper end followed by more markup is a syntax error, not a node.
        {"<K/></root><L/>", true, "(K)"},
    };
    for (const Case& c : cases) {
        XmlDocument doc;
        EXPECT_EQ(doc.Load(QString::fromUtf8(c.message)), c.loaded) << c.message;
        EXPECT_EQ(Outline(doc), QString::fromUtf8(c.outline)) << c.message;
        EXPECT_EQ(doc.LoadResult() == S_OK, c.loaded) << c.message;
    }
}

TEST(XmlDocument, ReloadReplacesTheTree) {
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral("<A x='1'><B/></A>")));
    ASSERT_FALSE(doc.Load(QStringLiteral("<C/></root><!---->")));
    ASSERT_TRUE(doc.Load(QStringLiteral("<D/>")));
    EXPECT_EQ(Outline(doc), "(D)");
}

TEST(XmlDocument, ByteLengthBoundsTheMessage) {
    const QString message = QStringLiteral("<A/><B/>");
    const struct {
        qsizetype byteLength;
        const char* outline;
    } cases[] = {
        {8, "(A)"},            // the first four characters
        {9, "(A)"},            // an odd last byte is dropped
        {16, "(A B)"},         // all of it
        {1000, "(A B)"},       // never beyond the text
        {-5, ""},              // nothing
    };
    for (const auto& c : cases) {
        XmlDocument doc;
        EXPECT_TRUE(doc.Load(message, c.byteLength)) << c.byteLength;
        EXPECT_EQ(Outline(doc), QString::fromUtf8(c.outline)) << c.byteLength;
    }
}

TEST(XmlDocument, GreaterThanIsStoredEscapedAndReadBack) {
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral("<E a='x>y' b='x&amp;gt;y' c='&gt;&gt;' d='&amp;amp;gt;'/>")));
    const XmlElement* e = XmlDocument::FindChild(&doc, u"E");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(XmlDocument::FindAttribute(e, u"a")->Value, "x&gt;y");
    EXPECT_EQ(XmlDocument::GetAttributeText(e, u"a"), "x>y");
    // The message escaped the ampersand: the reader delivers "&gt;", which reads as ">".
    EXPECT_EQ(XmlDocument::FindAttribute(e, u"b")->Value, "x&gt;y");
    EXPECT_EQ(XmlDocument::GetAttributeText(e, u"b"), "x>y");
    EXPECT_EQ(XmlDocument::GetAttributeText(e, u"c"), ">>");
    // One level of replacement only.
    EXPECT_EQ(XmlDocument::GetAttributeText(e, u"d"), "&amp;gt;");
    EXPECT_EQ(XmlDocument::GetAttributeText(e, u"missing"), "");
    EXPECT_EQ(XmlDocument::GetAttributeText(nullptr, u"a"), "");
}

TEST(XmlDocument, LookupsAreExactAndReturnTheFirst) {
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral(
        "<K xmlns:p='urn:p' xmlns:q='urn:q' p:Num='1' q:Num='2'>"
        "<TimeInfo n='first'/><TimeInfo n='second'/></K>")));
    const XmlElement* k = XmlDocument::FindChild(&doc, u"K");
    ASSERT_NE(k, nullptr);
    // Two attributes whose local names are equal: the first.
    std::int32_t num = -1;
    ASSERT_TRUE(XmlDocument::GetAttributeInt(k, u"Num", num));
    EXPECT_EQ(num, 1);
    // Two children with the same name: the first.
    EXPECT_EQ(XmlDocument::GetAttributeText(XmlDocument::FindChild(k, u"TimeInfo"), u"n"), "first");
    // Case-sensitive names.
    EXPECT_EQ(XmlDocument::FindChild(k, u"timeinfo"), nullptr);
    EXPECT_EQ(XmlDocument::FindChild(k, u"TIMEINFO"), nullptr);
    EXPECT_EQ(XmlDocument::FindAttribute(k, u"num"), nullptr);
    // Missing elements are accepted everywhere.
    EXPECT_EQ(XmlDocument::FindChild(nullptr, u"K"), nullptr);
    EXPECT_EQ(XmlDocument::FindAttribute(nullptr, u"Num"), nullptr);
}

TEST(XmlDocument, IntegerValues) {
    const struct {
        const char* value;
        std::int32_t expected;
    } cases[] = {
        {"12", 12},
        {"-3", 3},
        {"1,500", 1500},
        {"", 0},
        {"abc", 0},
        {"a1b2c3", 123},
        {" 4 2 ", 42},
        {"4294967295", -1},        // 32-bit wrapping
        {"4294967296", 0},
        {"99999999999999999999", 1661992959},  // 10^20 - 1 modulo 2^32
        {"\xd9\xa3", 0},           // an Arabic-Indic digit is not a decimal digit here
    };
    for (const auto& c : cases) {
        XmlDocument doc;
        ASSERT_TRUE(doc.Load("<E v=\"" + QString::fromUtf8(c.value) + "\"/>")) << c.value;
        std::int32_t out = 777;
        EXPECT_TRUE(XmlDocument::GetAttributeInt(XmlDocument::FindChild(&doc, u"E"), u"v", out)) << c.value;
        EXPECT_EQ(out, c.expected) << c.value;
    }
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral("<E/>")));
    std::int32_t out = 777;
    EXPECT_FALSE(XmlDocument::GetAttributeInt(XmlDocument::FindChild(&doc, u"E"), u"v", out));
    EXPECT_FALSE(XmlDocument::GetAttributeInt(nullptr, u"v", out));
    EXPECT_EQ(out, 777);
}

TEST(XmlDocument, ClockValues) {
    const struct {
        const char* value;
        Clock2 expected;
    } cases[] = {
        {"12:05", {12, 5}},
        {"3:1", {3, 1}},
        {"7", {7, 0}},
        {"1:2:3", {1, 23}},
        {"19:59.5", {19, 59}},
        {"2.9:30", {2, 0}},
        {":4", {0, 4}},
        {"", {0, 0}},
        {"-1:-2", {1, 2}},
        {"4294967297:4294967295", {1, -1}},  // each part wraps in 32 bits
    };
    for (const auto& c : cases) {
        XmlDocument doc;
        ASSERT_TRUE(doc.Load("<E v=\"" + QString::fromUtf8(c.value) + "\"/>")) << c.value;
        Clock2 out{-9, -9};
        EXPECT_TRUE(XmlDocument::GetAttributeClock(XmlDocument::FindChild(&doc, u"E"), u"v", out)) << c.value;
        EXPECT_EQ(out, c.expected) << c.value;
    }
    Clock2 out{-9, -9};
    EXPECT_FALSE(XmlDocument::GetAttributeClock(nullptr, u"v", out));
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(QStringLiteral("<E/>")));
    EXPECT_FALSE(XmlDocument::GetAttributeClock(XmlDocument::FindChild(&doc, u"E"), u"v", out));
    EXPECT_EQ(out, (Clock2{-9, -9}));
}

TEST(XmlDocument, HexValues) {
    const struct {
        const char* text;
        std::int32_t expected;
    } cases[] = {
        {"1F", 31},
        {"0x1f", 31},
        {"1 F", 31},
        {"", 0},
        {"xyz", 0},
        {"01D8A2B3", 0x01D8A2B3},
        {"0xFFFFFFFF", -1},
        {"123456789", 0x23456789},  // only the last eight digits fit
        {"aBcDeF", 0xABCDEF},
        {"g1h", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XmlDocument::HexToInt(QString::fromUtf8(c.text)), c.expected) << c.text;
}

TEST(XmlDocument, ReplaceAllDoesNotSearchReplacementsAgain) {
    const struct {
        const char* text;
        const char* find;
        const char* replacement;
        const char* expected;
    } cases[] = {
        {"a>b>c", ">", "&gt;", "a&gt;b&gt;c"},
        {"&gt;&gt;", "&gt;", ">", ">>"},
        {"aaa", "a", "aa", "aaaaaa"},
        {"aaaa", "aa", "b", "bb"},
        {"abc", "", "x", "abc"},
        {"", "a", "x", ""},
        {"abc", "d", "x", "abc"},
        {"abc", "b", "", "ac"},
    };
    for (const auto& c : cases) {
        QString text = QString::fromUtf8(c.text);
        XmlDocument::ReplaceAll(text, QString::fromUtf8(c.find), QString::fromUtf8(c.replacement));
        EXPECT_EQ(text, QString::fromUtf8(c.expected)) << c.text << " / " << c.find;
    }
}

TEST(XmlDocument, DeepNestingLoadsAndFrees) {
    const int depth = 200000;
    QString message;
    message.reserve(depth * 7);
    for (int i = 0; i < depth; ++i) message += u"<a>";
    for (int i = 0; i < depth; ++i) message += u"</a>";
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(message));
    int levels = 0;
    for (const XmlElement* e = &doc; !e->Children.empty(); e = e->Children[0].get()) ++levels;
    EXPECT_EQ(levels, depth);
}

}  // namespace
}  // namespace hv
