#include "mediaserver/DlnaProtocolInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/Memory.h"

namespace {

char* Copy(const char* text)
{
    return tv::CopyBytes(text, std::strlen(text));
}

// A record as the content source fills it for an item resource.
DlnaProtocolInfo* ItemInfo(const char* mime, const char* profile)
{
    DlnaProtocolInfo* info = DlnaProtocolInfo_Create();
    info->protocol = tv::kDlnaProtocolHttpGet;
    info->range_seek = 1;
    info->http_stalling = 1;
    info->background_mode = 1;
    info->mime_type = Copy(mime);
    info->profile = profile != nullptr ? Copy(profile) : nullptr;
    return info;
}

std::string Text(const DlnaProtocolInfo* info)
{
    char* text = DlnaProtocolInfo_ToString(info);
    std::string result = text;
    tv::Free(text);
    return result;
}

const std::string kZeros24(24, '0');

}  // namespace

TEST(DlnaProtocolInfo, JpegSmallImage)
{
    DlnaProtocolInfo* info = ItemInfo("image/jpeg", "JPEG_SM");
    info->interactive_mode = 1;
    EXPECT_EQ(Text(info),
              "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM;DLNA.ORG_OP=01;"
              "DLNA.ORG_FLAGS=00F00000" +
                  kZeros24);
    DlnaProtocolInfo_Destroy(info);
}

TEST(DlnaProtocolInfo, ProfileNullOrEmpty)
{
    DlnaProtocolInfo* info = ItemInfo("audio/mpeg", nullptr);
    info->streaming_mode = 1;
    EXPECT_EQ(Text(info),
              "http-get:*:audio/mpeg:DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01700000" + kZeros24);
    DlnaProtocolInfo_Destroy(info);

    info = ItemInfo("audio/wav", "");
    info->streaming_mode = 1;
    EXPECT_EQ(Text(info),
              "http-get:*:audio/wav:DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01700000" +
                  kZeros24);
    DlnaProtocolInfo_Destroy(info);

    info = ItemInfo("text/plain", "");
    EXPECT_EQ(tv::DlnaProtocolInfo_PrimaryFlags(info), 0x00700000u);
    DlnaProtocolInfo_Destroy(info);
}

TEST(DlnaProtocolInfo, VersionsDecideTheFlagsWord)
{
    DlnaProtocolInfo* info = DlnaProtocolInfo_Create();
    EXPECT_EQ(info->dlna_major, 1);
    EXPECT_EQ(info->dlna_minor, 5);
    info->mime_type = Copy("video/mpeg");
    info->sender_paced = 1;
    info->limited_time_seek = 1;
    info->limited_byte_seek = 1;
    info->play_container = 1;
    info->s0_increasing = 1;
    info->sn_increasing = 1;
    info->rtsp_pause = 1;
    info->streaming_mode = 1;
    info->interactive_mode = 1;
    info->background_mode = 1;
    info->http_stalling = 1;
    EXPECT_EQ(tv::DlnaProtocolInfo_PrimaryFlags(info), 0xFFF00000u);
    info->dlna_minor = 6;  // no 1.5 mark, same flags
    EXPECT_EQ(tv::DlnaProtocolInfo_PrimaryFlags(info), 0xFFE00000u);
    // No protocol: empty first field and no OP parameter.
    EXPECT_EQ(Text(info), ":*:video/mpeg:DLNA.ORG_FLAGS=FFE00000" + kZeros24);
    info->dlna_minor = 4;
    EXPECT_EQ(Text(info), ":*:video/mpeg:DLNA.ORG_FLAGS=00000000" + kZeros24);
    info->dlna_minor = 5;
    info->dlna_major = 2;
    EXPECT_EQ(Text(info), ":*:video/mpeg:DLNA.ORG_FLAGS=" + std::string(32, '0'));
    DlnaProtocolInfo_Destroy(info);
}

TEST(DlnaProtocolInfo, FlagFieldsUseTheLowestBit)
{
    DlnaProtocolInfo* info = DlnaProtocolInfo_Create();
    info->mime_type = Copy("x/y");
    info->protocol = tv::kDlnaProtocolHttpGet;
    info->time_seek = 3;
    info->range_seek = 2;
    info->streaming_mode = 2;
    info->background_mode = 3;
    info->converted = 2;
    EXPECT_EQ(Text(info), "http-get:*:x/y:DLNA.ORG_OP=10;DLNA.ORG_FLAGS=00500000" + kZeros24);
    info->converted = 1;
    info->protocol = tv::kDlnaProtocolRtspRtpUdp;
    EXPECT_EQ(Text(info),
              "rtsp-rtp-udp:*:x/y:DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=00500000" + kZeros24);
    DlnaProtocolInfo_Destroy(info);
}

TEST(DlnaProtocolInfo, SpeedsMaxSpeedAndExtraParameters)
{
    DlnaProtocolInfo* info = ItemInfo("video/mpeg", "MPEG_PS_NTSC");
    info->play_speeds = static_cast<char**>(tv::Malloc(2 * sizeof(char*)));
    info->play_speeds[0] = Copy("-2");
    info->play_speeds[1] = Copy("2");
    info->play_speed_count = 2;
    info->max_speed_major = 1;
    info->max_speed_minor = -1;  // sums to 0: not written
    for (const char* name : {"DLNA.ORG_FLAGS", "DLNA.ORG_MAXSP", "DLNA.ORG_CI", "DLNA.ORG_PS",
                             "DLNA.ORG_OP", "DLNA.ORG_PN", "dlna.org_op", "X_EXTRA"}) {
        OlvHashTree_Put(info->extra_params, name, static_cast<int>(std::strlen(name)), Copy("v"));
    }
    EXPECT_EQ(Text(info),
              "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_PS_NTSC;DLNA.ORG_OP=01;"
              "DLNA.ORG_PS=-2,2;DLNA.ORG_FLAGS=00700000" +
                  kZeros24 + ";dlna.org_op=v;X_EXTRA=v");
    info->max_speed_minor = 5;
    EXPECT_NE(Text(info).find(";DLNA.ORG_PS=-2,2;DLNA.ORG_MAXSP=1.5;DLNA.ORG_FLAGS="),
              std::string::npos);
    DlnaProtocolInfo_Destroy(info);
    DlnaProtocolInfo_Destroy(nullptr);
}
