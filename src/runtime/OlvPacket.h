// One HTTP/1.x message header (start line and header list), parsed in place from a receive
// buffer or built field by field, and serialised to wire form. A packet belongs to one
// thread at a time; nothing here locks. Strings are char* plus length as other modules read
// them by name.
#pragma once

#include <cstdint>

struct OlvHashTree;

namespace tv {

// One header line in arrival order. With `owned` set, name and value are private heap copies
// freed with the packet; otherwise they point into the parsed buffer.
struct PacketHeader {
    char* name = nullptr;
    int name_length = 0;
    char* value = nullptr;
    int value_length = 0;
    int owned = 0;
    PacketHeader* next = nullptr;
};

}  // namespace tv

struct OlvPacket {
    char* method = nullptr;  // requests only
    int method_length = 0;
    char* path = nullptr;  // requests only
    int path_length = 0;
    // When set, the start of the allocation `path` points into (a virtual-directory prefix was
    // stripped by advancing `path`); destroying frees this instead of `path`.
    char* path_base = nullptr;
    int status_code = -1;    // -1 for a request
    char* reason = nullptr;  // responses only
    int reason_length = 0;
    char* version = nullptr;  // text after "HTTP/", e.g. "1.1"
    int version_length = 0;
    char* body = nullptr;  // set by the owner, never by the parser
    int body_length = 0;
    // Set: method, path/path_base, reason and body are private heap copies freed with the packet.
    int owns_start_line = 0;
    int owns_version = 0;    // set: version is a private copy freed with the packet
    int all_private = 0;     // set on clones: no string points into any receive buffer
    void* owner1 = nullptr;  // the two owner words: copied by clone, never used here
    void* owner2 = nullptr;
    tv::PacketHeader* first_header = nullptr;  // every header line, in order, with duplicates
    tv::PacketHeader* last_header = nullptr;
    // Caseless name -> value (data) and value length (extra): first spelling, last value.
    OlvHashTree* headers = nullptr;
};

// Empty packet: status_code -1, version "1.0" (not owned), owns_start_line set. Any thread.
[[nodiscard]] OlvPacket* OlvPacket_Create() noexcept;
// Parses the header block buffer[offset .. end) in place: the packet's strings point into the
// buffer, which must outlive the packet unchanged, and NUL bytes are written into it (never at
// or past `end`: a string that reaches `end` is copied instead, with its owned flag set).
// Null for a request line with fewer than two tokens.
[[nodiscard]] OlvPacket* OlvPacket_Parse(char* buffer, int offset, int end) noexcept;
// Frees the packet, its nodes, its table and every string it owns. Null is allowed.
void OlvPacket_Destroy(OlvPacket* packet) noexcept;

// The setters store private copies of what they are given; the caller keeps its arguments.
void OlvPacket_SetDirective(OlvPacket* packet, const char* method, int method_length,
                            const char* path, int path_length) noexcept;
void OlvPacket_SetStatus(OlvPacket* packet, int code, const char* reason,
                         int reason_length) noexcept;
void OlvPacket_SetVersion(OlvPacket* packet, const char* version, int version_length) noexcept;
// Appends a node with copies of name and value; the table entry of that name (any case) gets
// the new value.
void OlvPacket_AddHeader(OlvPacket* packet, const char* name, int name_length, const char* value,
                         int value_length) noexcept;
// Value of the named header (ASCII case ignored), NUL-terminated; null when absent. The
// pointer belongs to the packet.
char* OlvPacket_GetHeader(OlvPacket* packet, const char* name, int name_length) noexcept;
// Removes the name from the table: no longer found, serialised or cloned. The list keeps it.
void OlvPacket_DeleteHeader(OlvPacket* packet, const char* name, int name_length) noexcept;
// Wire form in a new NUL-terminated buffer *out (caller frees with tv::Free); returns its
// length without the NUL. Values of 1600 bytes or more are folded in 800-byte pieces.
int OlvPacket_Serialize(OlvPacket* packet, char** out) noexcept;
// Independent copy with every string private (all_private set); the body is not copied.
[[nodiscard]] OlvPacket* OlvPacket_Clone(const OlvPacket* packet) noexcept;
