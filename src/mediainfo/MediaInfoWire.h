// The messages between the server and its media-information helper, one per datagram of a
// SOCK_SEQPACKET socket pair: a probe request carries the open file as SCM_RIGHTS, the helper
// answers in order. The cache file stores records in the same form. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mediainfo/MediaInfoRecord.h"

namespace tv {

inline constexpr std::uint8_t kWireVersion = 1;
inline constexpr std::size_t kWireMaxMessage = 128 * 1024;
inline constexpr std::size_t kWireMaxThumbnail = 64 * 1024;
inline constexpr std::size_t kWireMaxExtension = 16;

enum class WireType : std::uint8_t {
    kNone = 0,    // not a message of this version
    kProbe = 1,   // server -> helper, with the file
    kHello = 2,   // helper -> server: set up and sandboxed, ready for requests
    kResult = 3,  // helper -> server: the answer to the oldest request
    kRetire = 4,  // helper -> server: answers nothing more (its CPU budget is spent)
};

// ProbeRequest::want bits.
inline constexpr std::uint8_t kWantInfo = 0x01;
inline constexpr std::uint8_t kWantThumbnail = 0x02;

struct ProbeRequest {
    std::uint64_t id = 0;
    MediaInfoKind kind = MediaInfoKind::kNone;
    std::uint8_t want = 0;
    std::string extension;  // without the dot; a hint for the demuxer
};

struct ProbeResult {
    std::uint64_t id = 0;
    bool readable = false;  // false: no demuxer took the file, or it is damaged
    MediaInfoRecord record;
    std::string thumbnail;  // JPEG bytes, or empty
};

// Appends to a byte string; reads with bounds checks (a short or oversized field fails).
class WireWriter {
public:
    explicit WireWriter(std::string* out) noexcept : out_(out) {}
    void U8(std::uint8_t value);
    void U32(std::uint32_t value);
    void U64(std::uint64_t value);
    void I64(std::int64_t value) { U64(static_cast<std::uint64_t>(value)); }
    void I32(std::int32_t value) { U32(static_cast<std::uint32_t>(value)); }
    void Text(std::string_view text);  // u32 length, then the bytes

private:
    std::string* out_;
};

class WireReader {
public:
    explicit WireReader(std::string_view in) noexcept : in_(in) {}
    bool U8(std::uint8_t* value) noexcept;
    bool U32(std::uint32_t* value) noexcept;
    bool U64(std::uint64_t* value) noexcept;
    bool I64(std::int64_t* value) noexcept;
    bool I32(std::int32_t* value) noexcept;
    bool Text(std::string* text, std::size_t max_length);
    bool AtEnd() const noexcept { return at_ == in_.size(); }
    std::size_t Offset() const noexcept { return at_; }

private:
    std::string_view in_;
    std::size_t at_ = 0;
};

void Wire_PutRecord(WireWriter* writer, const MediaInfoRecord& record);
bool Wire_GetRecord(WireReader* reader, MediaInfoRecord* record);

std::string Wire_EncodeRequest(const ProbeRequest& request);
std::string Wire_EncodeResult(const ProbeResult& result);
std::string Wire_EncodeSignal(WireType type);  // kHello, kRetire

// The type of a message of this version, or kNone.
WireType Wire_TypeOf(std::string_view message) noexcept;
bool Wire_DecodeRequest(std::string_view message, ProbeRequest* request);
bool Wire_DecodeResult(std::string_view message, ProbeResult* result);

// One datagram, with `fd` attached when it is 0 or more. Returns what sendmsg returns
// (-1 and errno on failure). `flags` adds to MSG_NOSIGNAL (MSG_DONTWAIT for the server).
long Wire_Send(int socket, std::string_view message, int fd, int flags) noexcept;
// One datagram into buffer (kWireMaxMessage bytes); an attached descriptor (close-on-exec)
// into *fd, else -1. Returns the byte count, 0 at the peer's end, -1 with errno; a datagram
// cut short or with more than one descriptor is EMSGSIZE (its descriptors closed).
long Wire_Receive(int socket, char* buffer, int* fd, int flags) noexcept;

}  // namespace tv
