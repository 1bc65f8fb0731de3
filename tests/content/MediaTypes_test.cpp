#include "content/MediaTypes.h"

#include <gtest/gtest.h>

#include <string>

TEST(MediaTypes, CaseAndLeadingDotDoNotMatter)
{
    for (const char* ext : {"MP3", ".MP3", ".mp3", "mp3", ".Mp3"}) {
        SCOPED_TRACE(ext);
        EXPECT_STREQ(FSE_GetMimeType(ext), "audio/mpeg");
        EXPECT_STREQ(FSE_GetDlnaProfile(ext), "MP3");
        EXPECT_EQ(FSE_GetMediaClass(ext), 0xA000u);
        EXPECT_TRUE(tv::FSE_IsPublished(ext));
    }
}

TEST(MediaTypes, EveryRow)
{
    struct Row {
        const char* ext;
        const char* mime;
        const char* profile;
        CdsMediaClass media_class;
        bool published;
    };
    const Row rows[] = {
        {".jpg", "image/jpeg", "JPEG_SM", 0xA400, true},
        {".jpeg", "image/jpeg", "JPEG_SM", 0xA400, false},
        {".png", "image/png", "PNG_LRG", 0xA400, true},
        {".tif", "image/tif", "", 0xA400, true},
        {".gif", "image/gif", "", 0xA400, true},
        {".bmp", "image/bmp", "", 0xA400, true},
        {".pcm", "audio/L16;rate=44100;channels=2", "LPCM", 0xA000, true},
        {".3gp", "audio/3gpp", "AMR_3GPP", 0xA000, true},
        {".mp4", "audio/mp4", "AAC_ISO_320", 0xA000, true},
        {".wma", "audio/x-ms-wma", "WMABASE", 0xA000, true},
        {".wav", "audio/wav", "", 0xA000, true},
        {".mpg", "video/mpeg", "MPEG_PS_NTSC", 0xB000, true},
        {".vob", "video/mpeg", "MPEG_PS_NTSC", 0xB000, true},
        {".wmv", "video/x-ms-wmv", "WMVMED_BASE", 0xB000, true},
        {".asf", "video/x-ms-asf", "MPEG4_P2_ASF_SP_G726", 0xB000, true},
        {".avi", "video/x-divx", "AVI", 0xB000, true},
        {".asx", "audio/x-ms-asx", "", 0x5000, false},  // a container class for a file
        {".didls", "text/xml", "DIDL_S", 0xA800, true},
        {".txt", "text/plain", "", 0x8000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ext);
        EXPECT_STREQ(FSE_GetMimeType(row.ext), row.mime);
        EXPECT_STREQ(FSE_GetDlnaProfile(row.ext), row.profile);
        EXPECT_EQ(FSE_GetMediaClass(row.ext), row.media_class);
        EXPECT_EQ(tv::FSE_IsPublished(row.ext), row.published);
    }
}

TEST(MediaTypes, UnknownEmptyAndOddExtensionsFallToTheLastRow)
{
    for (const char* ext : {"", ".", "..", ".mp", ".mp33", "mp3.", ".jpg ", ".xyz", "\xC3\xA9"}) {
        SCOPED_TRACE(std::string("[") + ext + "]");
        EXPECT_STREQ(FSE_GetMimeType(ext), "application/octet-stream");
        EXPECT_STREQ(FSE_GetDlnaProfile(ext), "");
        EXPECT_EQ(FSE_GetMediaClass(ext), 0x8000u);
        EXPECT_FALSE(tv::FSE_IsPublished(ext));
    }
    EXPECT_EQ(FSE_GetMimeType(nullptr), nullptr);
    EXPECT_STREQ(FSE_GetDlnaProfile(nullptr), "");
    EXPECT_EQ(FSE_GetMediaClass(nullptr), 0x8000u);
}
