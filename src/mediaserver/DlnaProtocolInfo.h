// The parts of one resource's DLNA protocolInfo and the writer of its four-field string.
// A record belongs to the thread that builds it.
#pragma once

#include <cstdint>

#include "runtime/OlvContainers.h"

namespace tv {
// The first field; any other value writes no protocol text.
enum DlnaProtocol : std::int32_t {
    kDlnaProtocolNone = 0,
    kDlnaProtocolHttpGet = 1,
    kDlnaProtocolRtspRtpUdp = 2,
};
}  // namespace tv

// A flag counts as set when its lowest bit is 1. The record owns its texts (malloc memory),
// the play-speed array and its strings, and the values (malloc texts) in extra_params.
struct DlnaProtocolInfo {
    std::int32_t time_seek = 0;
    std::int32_t range_seek = 0;
    char* profile = nullptr;
    char* mime_type = nullptr;
    char** play_speeds = nullptr;
    std::int32_t play_speed_count = 0;
    std::int32_t converted = 0;
    tv::DlnaProtocol protocol = tv::kDlnaProtocolNone;
    std::int32_t sender_paced = 0;
    std::int32_t limited_time_seek = 0;
    std::int32_t limited_byte_seek = 0;
    std::int32_t play_container = 0;
    std::int32_t s0_increasing = 0;
    std::int32_t sn_increasing = 0;
    std::int32_t rtsp_pause = 0;
    std::int32_t http_stalling = 0;
    std::int32_t streaming_mode = 0;
    std::int32_t interactive_mode = 0;
    std::int32_t background_mode = 0;
    std::int32_t max_speed_major = 0;
    std::int32_t max_speed_minor = 0;
    std::int32_t dlna_major = 1;
    std::int32_t dlna_minor = 5;
    OlvHashTree* extra_params = nullptr;  // created with the record
};

namespace tv {
// The primary flags word (the first eight hex digits of DLNA.ORG_FLAGS).
std::uint32_t DlnaProtocolInfo_PrimaryFlags(const DlnaProtocolInfo* info) noexcept;
}  // namespace tv

// Zeroed record, version 1.5, with an empty extra_params table.
[[nodiscard]] DlnaProtocolInfo* DlnaProtocolInfo_Create() noexcept;

// New malloc text sized to fit; the caller owns it.
[[nodiscard]] char* DlnaProtocolInfo_ToString(const DlnaProtocolInfo* info) noexcept;

// Frees the play speeds, mime_type, profile, every extra_params value and the table, then the
// record. Null is ignored.
void DlnaProtocolInfo_Destroy(DlnaProtocolInfo* info) noexcept;
