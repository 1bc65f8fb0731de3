#include "runtime/OlvXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/GuardedBuffer.h"

namespace {

std::string Name(const OlvXMLNode* node)
{
    std::string text = node->is_start ? "" : "/";
    if (node->prefix != nullptr) {
        text += std::string(node->prefix, static_cast<std::size_t>(node->prefix_length)) + ":";
    }
    text += std::string(node->name == nullptr ? "" : node->name,
                        static_cast<std::size_t>(node->name_length));
    if (node->is_empty) text += "(empty)";
    return text;
}

std::vector<std::string> Names(const OlvXMLNode* first)
{
    std::vector<std::string> names;
    for (const OlvXMLNode* node = first; node != nullptr; node = node->next)
        names.push_back(Name(node));
    return names;
}

// A document kept at the end of a guarded mapping, tokenized on construction.
struct Document {
    explicit Document(const std::string& text)
        : buffer(text), first(OlvXml_Parse(buffer.data(), 0, buffer.size()))
    {
    }
    ~Document() { OlvXml_Free(first); }
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    OlvXMLNode* Find(const std::string& name) const
    {
        for (OlvXMLNode* node = first; node != nullptr; node = node->next) {
            if (node->is_start && Name(node) == name) return node;
        }
        return nullptr;
    }
    std::string Inner(const std::string& name) const
    {
        char* text = nullptr;
        OlvXMLNode* node = Find(name);
        if (node == nullptr) return "<no node>";
        int length = OlvXml_InnerXml(node, &text);
        if (text == nullptr) return "<no end>";
        return std::string(text, static_cast<std::size_t>(length));
    }

    tv::GuardedBuffer buffer;
    OlvXMLNode* first;
};

int PairResult(const std::string& text)
{
    Document document(text);
    return OlvXml_Pair(document.first);
}

}  // namespace

TEST(OlvXml, SelfClosingTagYieldsStartAndEndNodes)
{
    Document document("<a><b/></a>");
    EXPECT_EQ(Names(document.first), (std::vector<std::string>{"a", "b(empty)", "/b", "/a"}));
    ASSERT_EQ(OlvXml_Pair(document.first), 0);
    OlvXMLNode* a = document.first;
    OlvXMLNode* b = a->next;
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(a->parent, nullptr);
    EXPECT_EQ(b->closing, b->next);
    EXPECT_EQ(b->next->opening, b);
    EXPECT_EQ(b->next->text_pointer, b->text_pointer);
    EXPECT_EQ(a->closing, b->next->next);
    EXPECT_EQ(document.Inner("b(empty)"), "");
    EXPECT_EQ(document.Inner("a"), "<b/>");

    // Whitespace before the slash, attributes with slashes in their values.
    Document spaced("<r><x a=\"1/2\"\r\n/><y href=\"/p/q\"></y></r>");
    EXPECT_EQ(Names(spaced.first),
              (std::vector<std::string>{"r", "x(empty)", "/x", "y", "/y", "/r"}));
    EXPECT_EQ(OlvXml_Pair(spaced.first), 0);
}

TEST(OlvXml, LeadingWhitespaceAndDeclarationAreSkipped)
{
    Document plain("<a><b>1</b></a>");
    Document padded("\r\n   <?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a><b>1</b></a>");
    EXPECT_EQ(Names(plain.first), Names(padded.first));
    EXPECT_EQ(OlvXml_Pair(padded.first), 0);
    EXPECT_EQ(padded.Inner("b"), "1");
}

TEST(OlvXml, SoapBrowseEnvelopeGivesPrefixesNamesAndArguments)
{
    Document document(
        "<?xml version=\"1.0\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<s:Body><u:Browse xmlns:u='urn:schemas-upnp-org:service:ContentDirectory:1'>"
        "<ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
        "<Filter>dc:title,res@size</Filter><StartingIndex>0</StartingIndex>"
        "<RequestedCount>10</RequestedCount><SortCriteria></SortCriteria>"
        "</u:Browse></s:Body></s:Envelope>\r\n");
    ASSERT_EQ(OlvXml_Pair(document.first), 0);
    OlvXMLNode* envelope = document.first;
    EXPECT_EQ(Name(envelope), "s:Envelope");
    OlvXMLNode* body = envelope->next;
    EXPECT_EQ(Name(body), "s:Body");
    OlvXMLNode* action = body->next;
    EXPECT_EQ(std::string(action->prefix, 1), "u");
    EXPECT_EQ(std::string(action->name, static_cast<std::size_t>(action->name_length)), "Browse");
    EXPECT_EQ(action->parent, body);
    EXPECT_EQ(body->parent, envelope);

    std::vector<std::string> arguments;
    for (OlvXMLNode* child = action->next; child != nullptr && child->parent == action;
         child = child->next_sibling) {
        arguments.push_back(Name(child));
    }
    EXPECT_EQ(arguments,
              (std::vector<std::string>{"ObjectID", "BrowseFlag", "Filter", "StartingIndex",
                                        "RequestedCount", "SortCriteria"}));
    EXPECT_EQ(document.Inner("ObjectID"), "0");
    EXPECT_EQ(document.Inner("Filter"), "dc:title,res@size");
    EXPECT_EQ(document.Inner("SortCriteria"), "");
    EXPECT_EQ(document.Find("ObjectID")->prefix, nullptr);
}

TEST(OlvXml, PairingReportsTheThreeErrors)
{
    EXPECT_EQ(PairResult("<a><b></a>"), -3);
    EXPECT_EQ(PairResult("</a>"), -1);
    EXPECT_EQ(PairResult("<a></b>"), -2);
    EXPECT_EQ(PairResult("<a><b></c></a>"), -3);  // a mismatch while more is open
    EXPECT_EQ(PairResult("<a></a></a>"), -1);
    EXPECT_EQ(PairResult("<a></A>"), -2);     // names are case-sensitive
    EXPECT_EQ(PairResult("<x:a></y:a>"), 0);  // prefixes are not compared
    EXPECT_EQ(PairResult("<a></a><b/>"), 0);

    // Nothing that makes a node: an empty document.
    for (const char* empty :
         {"", "plain text", "<?xml version=\"1.0\"?>", "<!-- only -->", "< >"}) {
        Document document(empty);
        ASSERT_NE(document.first, nullptr);
        EXPECT_EQ(document.first->name, nullptr);
        EXPECT_EQ(document.first->next, nullptr);
        EXPECT_EQ(OlvXml_Pair(document.first), -1) << empty;
    }
    EXPECT_EQ(OlvXml_Pair(nullptr), -1);
}

TEST(OlvXml, CommentsHideTheirMarkup)
{
    Document document("<a><!-- <x>not a tag</x> --><b>1</b><!----></a>");
    EXPECT_EQ(Names(document.first), (std::vector<std::string>{"a", "b", "/b", "/a"}));
    EXPECT_EQ(OlvXml_Pair(document.first), 0);
    EXPECT_EQ(document.Inner("b"), "1");

    // A comment that never closes hides everything after it.
    Document open("<a><!-- <b></b></a>");
    EXPECT_EQ(Names(open.first), (std::vector<std::string>{"a"}));
    EXPECT_EQ(OlvXml_Pair(open.first), -3);
}

TEST(OlvXml, TextPointerFollowsTheLastGreaterThan)
{
    Document document("<t>1>2</t><u>a > b</u>");
    EXPECT_EQ(document.Inner("t"), "2");
    EXPECT_EQ(document.Inner("u"), " b");
    EXPECT_EQ(OlvXml_Pair(document.first), 0);

    // The inner text is raw: entities and nested markup are left as they are.
    Document raw("<r><v>&lt;x&gt;</v><w><i>1</i></w></r>");
    EXPECT_EQ(raw.Inner("v"), "&lt;x&gt;");
    EXPECT_EQ(raw.Inner("w"), "<i>1</i>");
    EXPECT_EQ(raw.Inner("r"), "<v>&lt;x&gt;</v><w><i>1</i></w>");
}

TEST(OlvXml, SiblingsAndDeclarationsInsideElements)
{
    Document document("<r><a>1</a><b>2</b></r>");
    ASSERT_EQ(OlvXml_Pair(document.first), 0);
    OlvXMLNode* a = document.Find("a");
    OlvXMLNode* b = document.Find("b");
    EXPECT_EQ(a->next_sibling, b);
    EXPECT_EQ(b->next_sibling, nullptr);
    EXPECT_EQ(a->parent, document.first);

    // Declarations: kept at the top level, taken out inside an element without losing the
    // elements around them.
    Document declared("<!DOCTYPE r><r><a/><!ENTITY e><b>2</b></r>");
    EXPECT_EQ(Names(declared.first), (std::vector<std::string>{"!DOCTYPE", "r", "a(empty)", "/a",
                                                               "!ENTITY", "b", "/b", "/r"}));
    ASSERT_EQ(OlvXml_Pair(declared.first), 0);
    EXPECT_EQ(Names(declared.first),
              (std::vector<std::string>{"!DOCTYPE", "r", "a(empty)", "/a", "b", "/b", "/r"}));
    EXPECT_EQ(declared.Find("b")->parent, declared.Find("r"));
    // The sibling link steps over the declaration that pairing freed.
    EXPECT_EQ(declared.Find("a(empty)")->next_sibling, declared.Find("b"));
    EXPECT_EQ(declared.Inner("b"), "2");
}

TEST(OlvXml, TruncatedDocumentsStayInsideTheirRange)
{
    // Every input ends right before an inaccessible page.
    for (const char* text :
         {"<", "<a", "<a:", "<a/", "</", "</a", "<!--", "<!-- x -", "<a><!-- x --", "<a>text",
          "<a:b:c d='e'", "<!", "<?", "<a\t/", "<:>", "<a></a><"}) {
        Document document(text);
        int result = OlvXml_Pair(document.first);
        EXPECT_LE(result, 0) << text;
        for (OlvXMLNode* node = document.first; node != nullptr; node = node->next) {
            if (node->is_start == 0) continue;
            char* inner = nullptr;
            int length = OlvXml_InnerXml(node, &inner);
            if (inner != nullptr) {
                EXPECT_GE(inner, document.buffer.data());
                EXPECT_LE(inner + length, document.buffer.data() + document.buffer.size());
            }
        }
    }

    // A sub-range: tags after the range are not seen.
    char text[] = "<a>1</a><b>2</b>";
    OlvXMLNode* first = OlvXml_Parse(text, 0, 8);
    EXPECT_EQ(Names(first), (std::vector<std::string>{"a", "/a"}));
    OlvXml_Free(first);
    first = OlvXml_Parse(text, 8, 8);
    EXPECT_EQ(Names(first), (std::vector<std::string>{"b", "/b"}));
    EXPECT_EQ(OlvXml_Pair(first), 0);
    OlvXml_Free(first);
}
