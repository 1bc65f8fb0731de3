#include "mediainfo/MediaInfoRecord.h"

#include <gtest/gtest.h>

#include <string>

using tv::MediaInfoKind;
using tv::MediaInfoRecord;

TEST(MediaInfoRecord, KindComesFromTheExtensionAlone)
{
    for (const char* ext : {"mp4", ".M4V", "mkv", "webm", "MOV", "avi", "wmv", "mpg", "mpeg", "vob",
                            "ts", "m2ts", "mts"})
        EXPECT_EQ(tv::MediaInfoKindOf(ext), MediaInfoKind::kVideo) << ext;
    for (const char* ext : {"mp3", ".FLAC", "m4a", "aac", "ogg", "oga", "opus", "wav", "wma"})
        EXPECT_EQ(tv::MediaInfoKindOf(ext), MediaInfoKind::kAudio) << ext;
    for (const char* ext : {"jpg", "JPEG", "png", "gif", "bmp", ".webp"})
        EXPECT_EQ(tv::MediaInfoKindOf(ext), MediaInfoKind::kImage) << ext;
    for (const char* ext : {"", ".", "srt", "smi", "txt", "mp", "mp33", "m3u", "m3u8", "jpg "})
        EXPECT_EQ(tv::MediaInfoKindOf(ext), MediaInfoKind::kNone) << ext;
}

namespace {

MediaInfoRecord Mp3(int rate, int channels)
{
    MediaInfoRecord r;
    r.container = "mp3";
    r.audio_codec = "mp3";
    r.audio_streams = 1;
    r.sample_frequency = rate;
    r.nr_audio_channels = channels;
    r.bitrate = 128000;
    return r;
}

MediaInfoRecord Aac(const char* container, int channels, std::int64_t bitrate)
{
    MediaInfoRecord r;
    r.container = container;
    r.audio_codec = "aac";
    r.audio_profile = 1;
    r.audio_streams = 1;
    r.sample_frequency = 44100;
    r.nr_audio_channels = channels;
    r.bitrate = bitrate;
    return r;
}

MediaInfoRecord Avc(int profile, int level, int width, int height)
{
    MediaInfoRecord r = Aac("mov", 2, 2000000);
    r.video_codec = "h264";
    r.video_streams = 1;
    r.video_profile = profile;
    r.video_level = level;
    r.width = width;
    r.height = height;
    return r;
}

MediaInfoRecord Jpeg(int width, int height, int marker = 0xC0)
{
    MediaInfoRecord r;
    r.container = "jpeg_pipe";
    r.video_codec = "mjpeg";
    r.video_profile = marker;
    r.width = width;
    r.height = height;
    return r;
}

}  // namespace

// A profile a player cannot take makes it refuse the file, so anything unsure gets none.
TEST(MediaInfoRecord, DlnaProfileOnlyWhereTheStreamsMakeItCertain)
{
    struct Row {
        const char* what;
        MediaInfoRecord record;
        const char* profile;
    };
    MediaInfoRecord mp3_with_video = Mp3(44100, 2);
    mp3_with_video.video_streams = 1;
    MediaInfoRecord he_aac = Aac("mov", 2, 64000);
    he_aac.audio_profile = 4;
    MediaInfoRecord avc_mkv = Avc(100, 40, 1920, 1080);
    avc_mkv.container = "matroska";
    MediaInfoRecord avc_mp3 = Avc(77, 30, 720, 576);
    avc_mp3.audio_codec = "mp3";
    MediaInfoRecord avc_silent = Avc(77, 30, 720, 576);
    avc_silent.audio_streams = 0;
    const Row rows[] = {
        {"mp3 44.1 kHz stereo", Mp3(44100, 2), "MP3"},
        {"mp3 32 kHz mono", Mp3(32000, 1), "MP3"},
        {"mp3 at an MPEG-2 rate", Mp3(22050, 2), ""},
        {"mp3 with unknown rate", Mp3(-1, 2), ""},
        {"mp3 with five channels", Mp3(48000, 5), ""},
        {"mp3 beside a video stream", mp3_with_video, ""},
        {"m4a AAC LC 128 kbit/s", Aac("mov", 2, 128000), "AAC_ISO_320"},
        {"m4a AAC LC 400 kbit/s", Aac("mov", 2, 400000), "AAC_ISO"},
        {"m4a AAC LC 5.1", Aac("mov", 6, 384000), "AAC_MULT5_ISO"},
        {"ADTS AAC LC", Aac("aac", 2, 128000), "AAC_ADTS_320"},
        {"m4a without a bit rate", Aac("mov", 2, -1), ""},
        {"HE-AAC", he_aac, ""},
        {"AAC in Matroska", Aac("matroska", 2, 128000), ""},
        {"flac",
         [] {
             MediaInfoRecord r;
             r.container = "flac";
             r.audio_codec = "flac";
             r.audio_streams = 1;
             return r;
         }(),
         ""},
        {"AVC main 3.0 SD", Avc(77, 30, 720, 576), "AVC_MP4_MP_SD_AAC_MULT5"},
        {"AVC constrained baseline SD", Avc(66 | 512, 30, 320, 240), "AVC_MP4_MP_SD_AAC_MULT5"},
        {"AVC main 3.1", Avc(77, 31, 720, 576), ""},
        {"AVC main HD", Avc(77, 40, 1280, 720), ""},
        {"AVC high 4.0 1080p", Avc(100, 40, 1920, 1080), "AVC_MP4_HP_HD_AAC"},
        {"AVC high 4.1 1080p", Avc(100, 41, 1920, 1080), ""},
        {"AVC high 5.1", Avc(100, 51, 1920, 1080), ""},
        {"AVC high 4K", Avc(100, 41, 3840, 2160), ""},
        {"AVC high 10", Avc(110, 40, 1920, 1080), ""},
        {"AVC unknown profile", Avc(-1, 30, 320, 240), ""},
        {"AVC in Matroska", avc_mkv, ""},
        {"AVC with mp3", avc_mp3, ""},
        {"AVC without sound", avc_silent, ""},
        {"JPEG 640x480", Jpeg(640, 480), "JPEG_SM"},
        {"JPEG 641x480", Jpeg(641, 480), "JPEG_MED"},
        {"JPEG 1024x768", Jpeg(1024, 768), "JPEG_MED"},
        {"JPEG 3840x2160", Jpeg(3840, 2160), "JPEG_LRG"},
        {"JPEG 4096x4097", Jpeg(4096, 4097), ""},
        {"progressive JPEG", Jpeg(640, 480, 0xC2), ""},
        {"JPEG of unknown size", Jpeg(-1, -1), ""},
        {"nothing known", MediaInfoRecord{}, ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(tv::MediaInfo_DlnaProfile(row.record), row.profile) << row.what;
}

TEST(MediaInfoRecord, DurationResolutionDateAndTrackTexts)
{
    EXPECT_EQ(tv::MediaInfo_FormatDuration(0), "0:00:00.000");
    EXPECT_EQ(tv::MediaInfo_FormatDuration(3030), "0:00:03.030");
    EXPECT_EQ(tv::MediaInfo_FormatDuration(3599999), "0:59:59.999");
    EXPECT_EQ(tv::MediaInfo_FormatDuration(36000000 + 61001), "10:01:01.001");
    EXPECT_EQ(tv::MediaInfo_FormatDuration(-1), "");
    EXPECT_EQ(tv::MediaInfo_FormatResolution(3840, 2160), "3840x2160");
    EXPECT_EQ(tv::MediaInfo_FormatResolution(0, 2160), "");

    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021"), "2021-01-01");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021-05"), "2021-05-01");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021-05-03"), "2021-05-03");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021-5-3"), "2021-05-03");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021/05/03"), "2021-05-03");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021-05-03T10:11:12Z"), "2021-05-03");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("20210503"), "2021-05-03");
    EXPECT_EQ(tv::MediaInfo_NormalizeDate("2021-13-40"), "2021-01-01");
    for (const char* bad : {"", "21", "May 2021", "0999", "abcd", "-2021"})
        EXPECT_EQ(tv::MediaInfo_NormalizeDate(bad), "") << bad;

    EXPECT_EQ(tv::MediaInfo_ParseTrack("3/12"), 3);
    EXPECT_EQ(tv::MediaInfo_ParseTrack("07"), 7);
    EXPECT_EQ(tv::MediaInfo_ParseTrack(" 12"), 12);
    for (const char* bad : {"", "0", "/12", "A3", "-1"})
        EXPECT_EQ(tv::MediaInfo_ParseTrack(bad), -1) << bad;
}

// A tag becomes DIDL text: an invalid byte or a control character there would make the
// whole Browse answer unreadable.
TEST(MediaInfoRecord, TagsBecomeTextThatXmlCanCarry)
{
    EXPECT_EQ(tv::MediaInfo_CleanTag("  Sine Song  "), "Sine Song");
    EXPECT_EQ(tv::MediaInfo_CleanTag("Caf\xC3\xA9 \xE2\x99\xAA"), "Caf\xC3\xA9 \xE2\x99\xAA");
    EXPECT_EQ(tv::MediaInfo_CleanTag("Caf\xE9"), "Caf\xC3\xA9");  // Latin-1, as old ID3 has it
    EXPECT_EQ(tv::MediaInfo_CleanTag("a\tb\x01"
                                     "c\x7F"),
              "a b c");
    EXPECT_EQ(tv::MediaInfo_CleanTag("\x1B\x1B"), "");
    std::string long_tag;
    while (long_tag.size() < 2000) long_tag += "\xE2\x99\xAA";  // three bytes each
    std::string cut = tv::MediaInfo_CleanTag(long_tag);
    EXPECT_LE(cut.size(), tv::kMaxTagBytes);
    EXPECT_EQ(cut.size() % 3, 0u);
    EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x99\xAA");
}

TEST(MediaInfoRecord, CoverImagesByName)
{
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("cover.jpg"), 0);
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("Cover.JPG"), 0);
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("folder.jpeg"), 1);
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("FRONT.jpg"), 2);
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("AlbumArt_{X}_Large.jpg"), 3);
    EXPECT_EQ(tv::MediaInfo_CoverNameRank("albumartsmall.jpg"), 3);
    for (const char* other :
         {"cover.png", "cover", "covers.jpg", "my cover.jpg", "back.jpg", ".jpg"})
        EXPECT_EQ(tv::MediaInfo_CoverNameRank(other), -1) << other;
}
