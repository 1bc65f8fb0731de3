// The SOAP request tokenizer: a flat list of tag nodes pointing into the caller's buffer,
// paired in a second pass. Attributes, entities and character data are left to the caller.
// Every search is bounded by the given range: request bodies are not NUL-terminated.
#include "runtime/OlvXml.h"

#include <cstring>
#include <vector>

#include "runtime/OlvParsers.h"

namespace {

bool IsNameEnd(char c) noexcept
{
    return c == ' ' || c == '/' || c == '>' || c == '\t' || c == '\r' || c == '\n';
}

const char* FindBytes(const char* from, const char* limit, const char* pattern, int length) noexcept
{
    for (const char* p = from; limit - p >= length; ++p) {
        if (std::memcmp(p, pattern, static_cast<std::size_t>(length)) == 0) return p;
    }
    return nullptr;
}

struct NodeList {
    OlvXMLNode* first = nullptr;
    OlvXMLNode* last = nullptr;

    OlvXMLNode* Append() noexcept
    {
        auto* node = new OlvXMLNode{};
        if (last != nullptr) {
            last->next = node;
        } else {
            first = node;
        }
        last = node;
        return node;
    }
};

bool SameName(const OlvXMLNode* a, const OlvXMLNode* b) noexcept
{
    return a->name_length == b->name_length &&
           (a->name_length == 0 ||
            std::memcmp(a->name, b->name, static_cast<std::size_t>(a->name_length)) == 0);
}

// One markup item: the text after a '<' up to the next '<' (or the end of the document).
void TokenizePiece(NodeList& nodes, char* piece, int length) noexcept
{
    bool end_tag = piece[0] == '/';
    char* tag = end_tag ? piece + 1 : piece;
    int tag_room = end_tag ? length - 1 : length;
    const void* close = std::memchr(tag, '>', static_cast<std::size_t>(tag_room));
    int tag_length =
        close != nullptr ? static_cast<int>(static_cast<const char*>(close) - tag) : tag_room;
    bool self_closing = !end_tag && tag_length > 0 && tag[tag_length - 1] == '/';

    int qualified_length = OlvFirstWhiteSpace(tag, tag_length);
    if (qualified_length < 0) qualified_length = tag_length;
    char* prefix = nullptr;
    int prefix_length = 0;
    char* name = tag;
    int name_length = qualified_length;
    if (const void* colon = std::memchr(tag, ':', static_cast<std::size_t>(qualified_length))) {
        prefix = tag;
        prefix_length = static_cast<int>(static_cast<const char*>(colon) - tag);
        name = prefix + prefix_length + 1;
        const void* second =
            std::memchr(name, ':', static_cast<std::size_t>(qualified_length - prefix_length - 1));
        name_length = second != nullptr ? static_cast<int>(static_cast<const char*>(second) - name)
                                        : qualified_length - prefix_length - 1;
    }
    for (int i = 1; i < name_length; ++i) {
        if (IsNameEnd(name[i])) {
            if (name[i] == '/' && !end_tag) self_closing = true;
            name_length = i;
            break;
        }
    }
    if (name_length <= 0) return;

    OlvXMLNode* node = nodes.Append();
    node->name = name;
    node->name_length = name_length;
    node->prefix = prefix;
    node->prefix_length = prefix_length;
    if (end_tag) {
        node->is_start = 0;
        node->text_pointer = piece;
        return;
    }
    node->is_start = -1;
    // Content starts after the last '>' of the piece, so "<t>1>2</t>" reads "2".
    node->text_pointer = piece + OlvLastIndexOf(piece, length, ">", 1) + 1;
    if (!self_closing) return;
    node->is_empty = -1;
    OlvXMLNode* end = nodes.Append();
    end->name = name;
    end->name_length = name_length;
    end->prefix = prefix;
    end->prefix_length = prefix_length;
    end->text_pointer = node->text_pointer;
}

}  // namespace

OlvXMLNode* OlvXml_Parse(char* buffer, int offset, int length) noexcept
{
    NodeList nodes;
    if (offset < 0) offset = 0;
    if (length < 0) length = 0;
    char* limit = buffer + offset + length;
    auto* open =
        static_cast<char*>(std::memchr(buffer + offset, '<', static_cast<std::size_t>(length)));
    if (open != nullptr) {
        int begin = static_cast<int>(open - buffer);
        OlvSplitResult* pieces = OlvSplit(buffer, begin, offset + length, "<", 1);
        const char* comment_end = nullptr;  // first byte after the open comment's "-->"
        for (OlvSplitToken* piece = pieces->first; piece != nullptr; piece = piece->next) {
            if (comment_end == limit) break;
            if (comment_end != nullptr) {
                if (piece->data < comment_end) continue;
                comment_end = nullptr;
            }
            if (piece->length == 0 || piece->data[0] == '?') continue;
            if (piece->length > 3 && std::memcmp(piece->data, "!--", 3) == 0) {
                const char* close = FindBytes(piece->data + 3, limit, "-->", 3);
                // An unclosed comment hides the rest of the document.
                comment_end = close != nullptr ? close + 3 : limit;
                continue;
            }
            TokenizePiece(nodes, piece->data, piece->length);
        }
        OlvSplit_Free(pieces);
    }
    // No tag at all reads as an empty document, which pairing reports as -1.
    if (nodes.first == nullptr) nodes.Append();
    return nodes.first;
}

int OlvXml_Pair(OlvXMLNode* first) noexcept
{
    if (first == nullptr) return -1;
    std::vector<OlvXMLNode*> open;
    int result = 0;
    OlvXMLNode* previous = nullptr;
    OlvXMLNode* node = first;
    while (node != nullptr) {
        if (node->name_length <= 0) {
            result = -1;
            break;
        }
        if (node->name[0] == '!') {
            if (!open.empty() && previous != nullptr) {
                // Inside an element the declaration is taken out of the list (and freed, as
                // nothing can reach it any more); only its own link is bypassed.
                OlvXMLNode* next = node->next;
                previous->next = next;
                delete node;
                node = next;
            } else {
                previous = node;
                node = node->next;
            }
            continue;
        }
        if (node->is_start) {
            node->parent = open.empty() ? nullptr : open.back();
            open.push_back(node);
        } else {
            if (open.empty()) {
                result = -1;
                break;
            }
            OlvXMLNode* start = open.back();
            open.pop_back();
            if (!SameName(start, node)) {
                result = -2;
                break;
            }
            // A declaration that follows inside an element is about to be unlinked and freed:
            // the sibling is the node after it.
            OlvXMLNode* after = node->next;
            while (after != nullptr && !open.empty() && after->name_length > 0 &&
                   after->name[0] == '!')
                after = after->next;
            if (after != nullptr && after->is_start) start->next_sibling = after;
            start->closing = node;
            node->opening = start;
        }
        previous = node;
        node = node->next;
    }
    if (!open.empty()) result = -3;
    return result;
}

int OlvXml_InnerXml(OlvXMLNode* start, char** text) noexcept
{
    *text = nullptr;
    if (start == nullptr || !start->is_start) return 0;
    std::vector<OlvXMLNode*> open;
    for (OlvXMLNode* node = start; node != nullptr; node = node->next) {
        if (node->is_start) {
            open.push_back(node);
            continue;
        }
        if (open.empty()) continue;
        OlvXMLNode* popped = open.back();
        open.pop_back();
        if (popped == start && SameName(popped, node)) {
            long length = node->text_pointer - start->text_pointer - 1;
            *text = start->text_pointer;
            return length > 0 ? static_cast<int>(length) : 0;
        }
    }
    return 0;
}

void OlvXml_Free(OlvXMLNode* first) noexcept
{
    while (first != nullptr) {
        OlvXMLNode* next = first->next;
        delete first;
        first = next;
    }
}
