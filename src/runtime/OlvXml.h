// A small non-validating XML reader for SOAP requests: a flat list of start and end tag nodes
// pointing into the caller's buffer, a pairing pass for parent/sibling links, and the raw
// text between a start tag and its end tag. Nothing is unescaped or interpreted. Reentrant;
// a node list belongs to one thread at a time.
#pragma once

struct OlvXMLNode {
    char* name = nullptr;  // local name, after the prefix; not NUL-terminated
    int name_length = 0;
    char* prefix = nullptr;  // text before the first ':', null when there is none
    int prefix_length = 0;
    int is_start = 0;  // -1 start tag, 0 end tag
    int is_empty = 0;  // -1 on the start node of a self-closing tag
    // Start node: the byte after the last '>' before the next '<' (start of the content).
    // End node: the byte after its '<'. A self-closing tag's end node copies its start node's.
    char* text_pointer = nullptr;
    OlvXMLNode* next = nullptr;          // document order
    OlvXMLNode* parent = nullptr;        // start nodes, after pairing
    OlvXMLNode* next_sibling = nullptr;  // start nodes, after pairing
    OlvXMLNode* closing = nullptr;       // start nodes, after pairing: the matching end node
    OlvXMLNode* opening = nullptr;       // end nodes, after pairing: the matching start node
};

// Tokenizes buffer[offset .. offset + length). The buffer is not modified and must outlive
// the list. Never null: a range without any tag gives one node with every field zero.
// Free with OlvXml_Free.
[[nodiscard]] OlvXMLNode* OlvXml_Parse(char* buffer, int offset, int length) noexcept;
// Pairs start and end tags and sets parent, next_sibling, closing and opening. Declaration
// nodes ('!' names) inside elements are unlinked and freed. 0 well paired; -1 empty document
// or an end tag with nothing open; -2 end tag that does not match the only open element;
// -3 elements left open, or a mismatch while further elements were open.
[[nodiscard]] int OlvXml_Pair(OlvXMLNode* first) noexcept;
// Raw content between `start` and its end tag: *text points into the buffer (not
// NUL-terminated), the result is its length. 0 and a null text when no end tag is found.
int OlvXml_InnerXml(OlvXMLNode* start, char** text) noexcept;
// Frees every node reachable through `next` from `first`. Null is allowed.
void OlvXml_Free(OlvXMLNode* first) noexcept;
