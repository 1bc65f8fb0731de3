// Writer of DLNA protocolInfo strings for the resources of items.
#include "mediaserver/DlnaProtocolInfo.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/Memory.h"

namespace {

bool IsSet(std::int32_t flag)
{
    return (flag & 1) != 0;
}

// Parameters the record writes itself; an extra parameter of the same name would repeat them.
constexpr std::string_view kKnownParams[] = {"DLNA.ORG_FLAGS", "DLNA.ORG_MAXSP", "DLNA.ORG_CI",
                                             "DLNA.ORG_PS",    "DLNA.ORG_OP",    "DLNA.ORG_PN"};

bool IsKnownParam(std::string_view name)
{
    for (std::string_view known : kKnownParams) {
        if (name == known) return true;
    }
    return false;
}

void AppendInt(std::string& out, long long value)
{
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    out.append(digits, static_cast<std::size_t>(n));
}

// The parameters the record writes itself before its flags, each with its ";".
void AppendRecordParams(std::string& out, const DlnaProtocolInfo* info)
{
    if (info->profile != nullptr) {
        out += "DLNA.ORG_PN=";
        out += info->profile;
        out += ';';
    }
    if (info->protocol == tv::kDlnaProtocolHttpGet) {
        out += "DLNA.ORG_OP=";
        out += IsSet(info->time_seek) ? '1' : '0';
        out += IsSet(info->range_seek) ? '1' : '0';
        out += ';';
    } else if (info->protocol == tv::kDlnaProtocolRtspRtpUdp) {
        out += "DLNA.ORG_OP=0";
        out += IsSet(info->time_seek) ? '1' : '0';
        out += ';';
    }
    if (info->play_speed_count > 0 && info->play_speeds != nullptr) {
        out += "DLNA.ORG_PS=";
        for (std::int32_t i = 0; i < info->play_speed_count; ++i) {
            if (i > 0) out += ',';
            if (info->play_speeds[i] != nullptr) out += info->play_speeds[i];
        }
        out += ';';
    }
    if (IsSet(info->converted)) out += "DLNA.ORG_CI=1;";
    if (static_cast<long long>(info->max_speed_major) + info->max_speed_minor != 0) {
        out += "DLNA.ORG_MAXSP=";
        AppendInt(out, info->max_speed_major);
        out += '.';
        AppendInt(out, info->max_speed_minor);
        out += ';';
    }
}

// The extra parameters, each with its ";", leaving out those the record writes itself.
void AppendExtraParams(std::string& out, const DlnaProtocolInfo* info)
{
    if (info->extra_params == nullptr) return;
    tv::HashTreeEnumerator* e = OlvHashTree_Enumerate(info->extra_params);
    while (OlvHashTree_MoveNext(e) == 0) {
        const char* name = nullptr;
        int length = 0;
        void* value = nullptr;
        OlvHashTree_Current(e, &name, &length, &value);
        std::string_view key(name, static_cast<std::size_t>(length));
        if (IsKnownParam(key)) continue;
        out += key;
        out += '=';
        if (value != nullptr) out += static_cast<const char*>(value);
        out += ';';
    }
    OlvHashTree_EndEnumeration(e);
}

}  // namespace

namespace tv {

std::uint32_t DlnaProtocolInfo_PrimaryFlags(const DlnaProtocolInfo* info) noexcept
{
    std::uint32_t flags = 0;
    if (info->dlna_major != 1) return flags;
    if (info->dlna_minor == 5) flags |= 1u << 20;
    if (info->dlna_minor >= 5) {
        auto bit = [&](std::int32_t field, int position) {
            if (IsSet(field)) flags |= 1u << position;
        };
        bit(info->sender_paced, 31);
        bit(info->limited_time_seek, 30);
        bit(info->limited_byte_seek, 29);
        bit(info->play_container, 28);
        bit(info->s0_increasing, 27);
        bit(info->sn_increasing, 26);
        bit(info->rtsp_pause, 25);
        bit(info->streaming_mode, 24);
        bit(info->interactive_mode, 23);
        bit(info->background_mode, 22);
        bit(info->http_stalling, 21);
    }
    return flags;
}

}  // namespace tv

DlnaProtocolInfo* DlnaProtocolInfo_Create() noexcept
{
    DlnaProtocolInfo* info = new DlnaProtocolInfo{};
    info->extra_params = OlvHashTree_Create();
    return info;
}

char* DlnaProtocolInfo_ToString(const DlnaProtocolInfo* info) noexcept
{
    std::string out;
    out.reserve(128);
    if (info->protocol == tv::kDlnaProtocolHttpGet) {
        out += "http-get";
    } else if (info->protocol == tv::kDlnaProtocolRtspRtpUdp) {
        out += "rtsp-rtp-udp";
    }
    out += ":*:";
    if (info->mime_type != nullptr) out += info->mime_type;
    out += ':';

    AppendRecordParams(out, info);
    char flags[16];
    std::snprintf(flags, sizeof flags, "%08X",
                  static_cast<unsigned>(tv::DlnaProtocolInfo_PrimaryFlags(info)));
    out += "DLNA.ORG_FLAGS=";
    out += flags;
    out.append(24, '0');
    out += ';';
    AppendExtraParams(out, info);
    if (!out.empty() && out.back() == ';') out.pop_back();
    return tv::CopyBytes(out.data(), out.size());
}

void DlnaProtocolInfo_Destroy(DlnaProtocolInfo* info) noexcept
{
    if (info == nullptr) return;
    if (info->play_speeds != nullptr) {
        for (std::int32_t i = 0; i < info->play_speed_count; ++i) tv::Free(info->play_speeds[i]);
        tv::Free(info->play_speeds);
    }
    tv::Free(info->mime_type);
    tv::Free(info->profile);
    if (info->extra_params != nullptr) {
        tv::HashTreeEnumerator* e = OlvHashTree_Enumerate(info->extra_params);
        while (OlvHashTree_MoveNext(e) == 0) {
            void* value = nullptr;
            OlvHashTree_Current(e, nullptr, nullptr, &value);
            tv::Free(value);
        }
        OlvHashTree_EndEnumeration(e);
        OlvHashTree_Destroy(info->extra_params);
    }
    delete info;
}
