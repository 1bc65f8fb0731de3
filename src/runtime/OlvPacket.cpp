// The HTTP message header record: in-place parsing of received header blocks (requests,
// responses and SSDP datagrams), building, cloning and serialising. No locking: a packet is
// used by one thread at a time. Header strings are either views into the parsed buffer or
// private copies, as each node's `owned` flag and the packet's owns_* flags say.
#include "runtime/OlvPacket.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "runtime/Memory.h"
#include "runtime/OlvContainers.h"
#include "runtime/OlvParsers.h"

namespace {

// Values this long or longer go out folded, in pieces of kFoldWidth.
constexpr int kFoldThreshold = 1600;
constexpr int kFoldWidth = 800;
constexpr char kFoldSeparator[] = "\r\n ";
constexpr int kFoldSeparatorLength = 3;

// Not const: `version` is a char* that owners may read through; nothing writes to it.
char kDefaultVersion[] = "1.0";

char* Copy(const char* text, int length) noexcept
{
    return tv::CopyBytes(text != nullptr ? text : "",
                         length > 0 ? static_cast<std::size_t>(length) : 0);
}

void FreeStartLine(OlvPacket* packet) noexcept
{
    if (!packet->owns_start_line) return;
    tv::Free(packet->method);
    tv::Free(packet->path_base != nullptr ? packet->path_base : packet->path);
    tv::Free(packet->reason);
    tv::Free(packet->body);
}

// Before one start-line string becomes a private copy, the others must be private too: the
// owns_start_line flag covers all of them, and freeing a view into a receive buffer would be
// fatal.
void OwnStartLine(OlvPacket* packet) noexcept
{
    if (packet->owns_start_line) return;
    if (packet->method != nullptr) packet->method = Copy(packet->method, packet->method_length);
    if (packet->path != nullptr) packet->path = Copy(packet->path, packet->path_length);
    packet->path_base = nullptr;
    if (packet->reason != nullptr) packet->reason = Copy(packet->reason, packet->reason_length);
    if (packet->body != nullptr) {
        char* body = static_cast<char*>(tv::Malloc(
            static_cast<std::size_t>(packet->body_length > 0 ? packet->body_length : 0)));
        if (packet->body_length > 0)
            std::memcpy(body, packet->body, static_cast<std::size_t>(packet->body_length));
        packet->body = body;
    }
    packet->owns_start_line = 1;
}

void AppendNode(OlvPacket* packet, tv::PacketHeader* node) noexcept
{
    if (packet->last_header != nullptr) {
        packet->last_header->next = node;
    } else {
        packet->first_header = node;
    }
    packet->last_header = node;
}

// Leading decimal digits of the token, as atoi would read them; 0 without any.
int DecimalPrefix(const char* text, int length) noexcept
{
    int i = 0;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Start of the text after the last '/' of the token.
int AfterLastSlash(const char* token, int length) noexcept
{
    return OlvLastIndexOf(token, length, "/", 1) + 1;
}

bool ParseStartLine(OlvPacket* packet, char* line, int line_length, bool line_reaches_end) noexcept
{
    OlvSplitResult* words = OlvSplit(line, 0, line_length, " ", 1);
    OlvSplitToken* first = words->first;
    char* version = nullptr;
    int version_length = 0;
    // Places where a terminator goes once every piece has been located.
    char* terminators[4] = {};
    int terminator_count = 0;

    if (OlvStartsWith(first->data, first->length, "HTTP/", 5)) {
        int start = AfterLastSlash(first->data, first->length);
        version = first->data + start;
        version_length = first->length - start;
        terminators[terminator_count++] = first->data + first->length;
        OlvSplitToken* code = first->next;
        packet->status_code = code != nullptr ? DecimalPrefix(code->data, code->length) : 0;
        if (code != nullptr && code->next != nullptr) {
            packet->reason = code->next->data;
            packet->reason_length = static_cast<int>(line + line_length - code->next->data);
        } else {
            packet->reason = line + line_length;
            packet->reason_length = 0;
        }
        terminators[terminator_count++] = line + line_length;
    } else {
        if (words->count < 2) {
            OlvSplit_Free(words);
            return false;
        }
        packet->method = first->data;
        packet->method_length = first->length;
        packet->path = first->next->data;
        packet->path_length = first->next->length;
        packet->status_code = -1;
        OlvSplitToken* last = words->last;
        int start = AfterLastSlash(last->data, last->length);
        version = last->data + start;
        version_length = last->length - start;
        terminators[terminator_count++] = last->data + last->length;
        terminators[terminator_count++] = packet->method + packet->method_length;
        terminators[terminator_count++] = packet->path + packet->path_length;
    }
    OlvSplit_Free(words);

    packet->version = version;
    packet->version_length = version_length;
    if (line_reaches_end) {
        // The line is the whole range: its last terminator would land past the caller's end.
        packet->owns_start_line = 0;
        OwnStartLine(packet);
        packet->version = Copy(version, version_length);
        packet->owns_version = 1;
    } else {
        for (int i = 0; i < terminator_count; ++i) *terminators[i] = '\0';
    }
    return true;
}

void AppendContinuation(tv::PacketHeader* node, const char* text, int length) noexcept
{
    if (!node->owned) {
        node->name = Copy(node->name, node->name_length);
        node->value = Copy(node->value, node->value_length);
        node->owned = 1;
    }
    if (length <= 0) return;
    std::size_t size =
        static_cast<std::size_t>(node->value_length) + static_cast<std::size_t>(length);
    if (size > INT_MAX) return;  // an int length cannot describe more
    node->value = static_cast<char*>(tv::Realloc(node->value, size + 1));
    std::memcpy(node->value + node->value_length, text, static_cast<std::size_t>(length));
    node->value_length = static_cast<int>(size);
    node->value[size] = '\0';
}

void ParseHeaderLines(OlvPacket* packet, OlvSplitToken* line, const char* limit) noexcept
{
    tv::PacketHeader* current = nullptr;
    for (; line != nullptr && line->length > 0; line = line->next) {
        if (line->data[0] == ' ' || line->data[0] == '\t') {
            if (current != nullptr) AppendContinuation(current, line->data + 1, line->length - 1);
            continue;
        }
        auto* colon = static_cast<char*>(
            std::memchr(line->data, ':', static_cast<std::size_t>(line->length)));
        if (colon == nullptr) {
            current = nullptr;
            continue;
        }
        auto* node = new tv::PacketHeader{};
        node->name = line->data;
        node->name_length = static_cast<int>(colon - line->data);
        char* value = colon + 1;
        int value_length = OlvTrim(&value, line->length - node->name_length - 1);
        node->value = value;
        node->value_length = value_length;
        if (value + value_length == limit) {
            // Last line of the range without its CR LF: no room for a terminator in place.
            node->name = Copy(node->name, node->name_length);
            node->value = Copy(value, value_length);
            node->owned = 1;
        } else {
            value[value_length] = '\0';
        }
        *colon = '\0';
        AppendNode(packet, node);
        OlvHashTree_PutEx(packet->headers, node->name, node->name_length, node->value,
                          node->value_length);
        current = node;
    }
}

}  // namespace

OlvPacket* OlvPacket_Create() noexcept
{
    auto* packet = new OlvPacket{};
    packet->status_code = -1;
    packet->version = kDefaultVersion;
    packet->version_length = 3;
    packet->owns_start_line = 1;
    packet->headers = OlvHashTree_CreateCaseless();
    return packet;
}

OlvPacket* OlvPacket_Parse(char* buffer, int offset, int end) noexcept
{
    if (offset < 0) offset = 0;
    if (end < offset) end = offset;
    const char* limit = buffer + end;
    OlvSplitResult* lines = OlvSplit(buffer, offset, end, "\r\n", 2);
    auto* packet = new OlvPacket{};
    packet->headers = OlvHashTree_CreateCaseless();

    OlvSplitToken* first = lines->first;
    if (!ParseStartLine(packet, first->data, first->length, first->data + first->length == limit)) {
        OlvSplit_Free(lines);
        OlvPacket_Destroy(packet);
        return nullptr;
    }
    ParseHeaderLines(packet, first->next, limit);
    OlvSplit_Free(lines);
    return packet;
}

void OlvPacket_Destroy(OlvPacket* packet) noexcept
{
    if (packet == nullptr) return;
    tv::PacketHeader* node = packet->first_header;
    while (node != nullptr) {
        tv::PacketHeader* next = node->next;
        if (node->owned) {
            tv::Free(node->name);
            tv::Free(node->value);
        }
        delete node;
        node = next;
    }
    FreeStartLine(packet);
    if (packet->owns_version) tv::Free(packet->version);
    if (packet->headers != nullptr) OlvHashTree_Destroy(packet->headers);
    delete packet;
}

void OlvPacket_SetDirective(OlvPacket* packet, const char* method, int method_length,
                            const char* path, int path_length) noexcept
{
    OwnStartLine(packet);
    tv::Free(packet->method);
    tv::Free(packet->path_base != nullptr ? packet->path_base : packet->path);
    packet->path_base = nullptr;
    packet->method = Copy(method, method_length);
    packet->method_length = method_length > 0 ? method_length : 0;
    packet->path = Copy(path, path_length);
    packet->path_length = path_length > 0 ? path_length : 0;
}

void OlvPacket_SetStatus(OlvPacket* packet, int code, const char* reason,
                         int reason_length) noexcept
{
    OwnStartLine(packet);
    tv::Free(packet->reason);
    packet->status_code = code;
    packet->reason = Copy(reason, reason_length);
    packet->reason_length = reason_length > 0 ? reason_length : 0;
}

void OlvPacket_SetVersion(OlvPacket* packet, const char* version, int version_length) noexcept
{
    char* copy = Copy(version, version_length);
    if (packet->owns_version) tv::Free(packet->version);
    packet->version = copy;
    packet->version_length = version_length > 0 ? version_length : 0;
    packet->owns_version = 1;
}

void OlvPacket_AddHeader(OlvPacket* packet, const char* name, int name_length, const char* value,
                         int value_length) noexcept
{
    auto* node = new tv::PacketHeader{};
    node->name = Copy(name, name_length);
    node->name_length = name_length > 0 ? name_length : 0;
    node->value = Copy(value, value_length);
    node->value_length = value_length > 0 ? value_length : 0;
    node->owned = 1;
    AppendNode(packet, node);
    OlvHashTree_PutEx(packet->headers, node->name, node->name_length, node->value,
                      node->value_length);
}

char* OlvPacket_GetHeader(OlvPacket* packet, const char* name, int name_length) noexcept
{
    void* data = nullptr;
    int length = 0;
    OlvHashTree_GetEx(packet->headers, name, name_length, &data, &length);
    auto* value = static_cast<char*>(data);
    // Every stored value has a byte of its own after it: a copy's NUL or, in a parsed buffer,
    // the terminator written over the line's end.
    if (value != nullptr && length > 0) value[length] = '\0';
    return value;
}

void OlvPacket_DeleteHeader(OlvPacket* packet, const char* name, int name_length) noexcept
{
    OlvHashTree_Delete(packet->headers, name, name_length);
}

namespace {

// The serialized text, allocated at its measured size: nothing here checks for room.
struct PacketText {
    char* text;
    std::size_t at = 0;
    void Put(const char* bytes, int length)
    {
        if (length <= 0) return;
        std::memcpy(text + at, bytes, static_cast<std::size_t>(length));
        at += static_cast<std::size_t>(length);
    }
};

bool IsRequest(const OlvPacket* packet)
{
    return packet->status_code == -1;
}

// A response's code is written as " <code> ", `code_length` bytes.
std::size_t StartLineSize(const OlvPacket* packet, int code_length)
{
    std::size_t size = 0;
    if (IsRequest(packet)) {
        size += static_cast<std::size_t>(packet->method_length) + 1 +
                static_cast<std::size_t>(packet->path_length) + 6;
    } else {
        size += 5 + static_cast<std::size_t>(code_length) +
                static_cast<std::size_t>(packet->reason_length);
    }
    return size + static_cast<std::size_t>(packet->version_length) + 2;
}

void PutStartLine(PacketText& out, const OlvPacket* packet, const char* code_text, int code_length)
{
    const bool request = IsRequest(packet);
    if (request) {
        out.Put(packet->method, packet->method_length);
        out.Put(" ", 1);
        out.Put(packet->path, packet->path_length);
        out.Put(" HTTP/", 6);
    } else {
        out.Put("HTTP/", 5);
    }
    out.Put(packet->version, packet->version_length);
    if (!request) {
        out.Put(code_text, code_length);
        out.Put(packet->reason, packet->reason_length);
    }
    out.Put("\r\n", 2);
}

std::size_t HeadersSize(const OlvPacket* packet)
{
    std::size_t size = 0;
    tv::HashTreeEnumerator* entries = OlvHashTree_Enumerate(packet->headers);
    while (OlvHashTree_MoveNext(entries) == 0) {
        int name_length = 0;
        int value_length = 0;
        OlvHashTree_CurrentEx(entries, nullptr, &name_length, nullptr, &value_length);
        int written = value_length >= kFoldThreshold
                          ? OlvFragmentTextLength(nullptr, value_length, kFoldSeparator,
                                                  kFoldSeparatorLength, kFoldWidth)
                          : value_length;
        size += static_cast<std::size_t>(name_length) + 2 + static_cast<std::size_t>(written) + 2;
    }
    OlvHashTree_EndEnumeration(entries);
    return size;
}

void PutHeaders(PacketText& out, const OlvPacket* packet)
{
    tv::HashTreeEnumerator* entries = OlvHashTree_Enumerate(packet->headers);
    while (OlvHashTree_MoveNext(entries) == 0) {
        const char* name = nullptr;
        int name_length = 0;
        void* value = nullptr;
        int value_length = 0;
        OlvHashTree_CurrentEx(entries, &name, &name_length, &value, &value_length);
        out.Put(name, name_length);
        out.Put(": ", 2);
        if (value_length >= kFoldThreshold) {
            char* folded = nullptr;
            int folded_length =
                OlvFragmentText(static_cast<const char*>(value), value_length, kFoldSeparator,
                                kFoldSeparatorLength, kFoldWidth, &folded);
            out.Put(folded, folded_length);
            tv::Free(folded);
        } else {
            out.Put(static_cast<const char*>(value), value_length);
        }
        out.Put("\r\n", 2);
    }
    OlvHashTree_EndEnumeration(entries);
}

}  // namespace

int OlvPacket_Serialize(OlvPacket* packet, char** out) noexcept
{
    char code_text[16] = "";
    int code_length = 0;
    if (!IsRequest(packet))
        code_length = std::snprintf(code_text, sizeof code_text, " %d ", packet->status_code);
    const std::size_t size =
        StartLineSize(packet, code_length) + HeadersSize(packet) + 2 +
        static_cast<std::size_t>(packet->body_length > 0 ? packet->body_length : 0);
    PacketText text{static_cast<char*>(tv::Malloc(size + 1))};
    PutStartLine(text, packet, code_text, code_length);
    PutHeaders(text, packet);
    text.Put("\r\n", 2);
    text.Put(packet->body, packet->body_length);
    text.text[text.at] = '\0';
    *out = text.text;
    return static_cast<int>(text.at);
}

OlvPacket* OlvPacket_Clone(const OlvPacket* packet) noexcept
{
    OlvPacket* clone = OlvPacket_Create();
    clone->all_private = 1;
    clone->owner1 = packet->owner1;
    clone->owner2 = packet->owner2;
    if (packet->method != nullptr || packet->path != nullptr) {
        OlvPacket_SetDirective(clone, packet->method, packet->method_length, packet->path,
                               packet->path_length);
    }
    if (packet->reason != nullptr) {
        OlvPacket_SetStatus(clone, packet->status_code, packet->reason, packet->reason_length);
    }
    clone->status_code = packet->status_code;
    OlvPacket_SetVersion(clone, packet->version, packet->version_length);
    for (tv::PacketHeader* node = packet->first_header; node != nullptr; node = node->next) {
        // A deleted header stays deleted in the copy.
        if (!OlvHashTree_Has(packet->headers, node->name, node->name_length)) continue;
        OlvPacket_AddHeader(clone, node->name, node->name_length, node->value, node->value_length);
    }
    return clone;
}
