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

// Today's kinds: every one TVs play is listed with the MIME type they accept and its family's
// class (a film is never an audio item), none with a profile the extension cannot promise;
// the rest is neither listed nor served. The default's own answers stay as they were.
TEST(MediaTypes, TodaysKindsByFamily)
{
    const std::string movie = "object.item.videoItem.movie";
    const std::string track = "object.item.audioItem.musicTrack";
    const std::string photo = "object.item.imageItem.photo";
    struct Row {
        const char* ext;
        const char* mime;
        const std::string& upnp_class;
    };
    const Row rows[] = {
        {".mp4", "video/mp4", movie},       {".M4V", "video/mp4", movie},
        {"mkv", "video/x-matroska", movie}, {".webm", "video/webm", movie},
        {".mov", "video/quicktime", movie}, {".avi", "video/x-msvideo", movie},
        {".wmv", "video/x-ms-wmv", movie},  {".mpg", "video/mpeg", movie},
        {".mpeg", "video/mpeg", movie},     {".vob", "video/mpeg", movie},
        {".ts", "video/mp2t", movie},       {".m2ts", "video/mp2t", movie},
        {".MTS", "video/mp2t", movie},      {".mp3", "audio/mpeg", track},
        {".flac", "audio/x-flac", track},   {".m4a", "audio/mp4", track},
        {".aac", "audio/aac", track},       {".ogg", "audio/ogg", track},
        {".oga", "audio/ogg", track},       {".opus", "audio/ogg", track},
        {".wav", "audio/wav", track},       {".wma", "audio/x-ms-wma", track},
        {".jpg", "image/jpeg", photo},      {".JPEG", "image/jpeg", photo},
        {".png", "image/png", photo},       {".gif", "image/gif", photo},
        {".bmp", "image/bmp", photo},       {".webp", "image/webp", photo},
    };
    std::string source = tv::ModernSourceProtocolInfo();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ext);
        tv::MediaKind kind = tv::MediaKindOf(row.ext, true);
        EXPECT_STREQ(kind.mime_type, row.mime);
        EXPECT_EQ(kind.profile, nullptr);
        EXPECT_TRUE(kind.published);
        char name[64] = {};
        ASSERT_EQ(tv::CdsMediaClassCheck(kind.media_class), tv::kCdsCheckNamed);
        tv::CdsMediaClassWriteName(kind.media_class, name);
        EXPECT_EQ(name, row.upnp_class);
        EXPECT_NE(source.find(std::string("http-get:*:") + row.mime + ":*"), std::string::npos);
    }
    EXPECT_EQ(source.find("audio/mpeg"), source.rfind("audio/mpeg"));  // each type once
    for (const char* ext : {"", ".txt", ".tmp", ".pcm", ".3gp", ".asx", ".didls", ".mp33"}) {
        SCOPED_TRACE(ext);
        EXPECT_FALSE(tv::MediaKindOf(ext, true).published);
    }
    tv::MediaKind old = tv::MediaKindOf(".mp4", false);
    EXPECT_STREQ(old.mime_type, "audio/mp4");
    EXPECT_STREQ(old.profile, "AAC_ISO_320");
    EXPECT_EQ(old.media_class, 0xA000u);
    EXPECT_FALSE(tv::MediaKindOf(".jpeg", false).published);
    EXPECT_STREQ(tv::MediaKindOf("", false).mime_type, "application/octet-stream");
}
