// Extension tables of the content source. First match wins; no match is the last row.
#include "content/MediaTypes.h"

#include <array>
#include <string>
#include <string_view>

#include "runtime/OlvParsers.h"

namespace {

struct MediaTypeRow {
    std::string_view extension;
    const char* mime_type;
    const char* profile;
    CdsMediaClass media_class;
    bool published;
};

constexpr std::array<MediaTypeRow, 21> kRows = {{
    {".jpg", "image/jpeg", "JPEG_SM", tv::kCdsClassImageItem, true},
    {".jpeg", "image/jpeg", "JPEG_SM", tv::kCdsClassImageItem, false},
    {".png", "image/png", "PNG_LRG", tv::kCdsClassImageItem, true},
    {".tif", "image/tif", "", tv::kCdsClassImageItem, true},
    {".gif", "image/gif", "", tv::kCdsClassImageItem, true},
    {".bmp", "image/bmp", "", tv::kCdsClassImageItem, true},
    {".pcm", "audio/L16;rate=44100;channels=2", "LPCM", tv::kCdsClassAudioItem, true},
    {".mp3", "audio/mpeg", "MP3", tv::kCdsClassAudioItem, true},
    {".3gp", "audio/3gpp", "AMR_3GPP", tv::kCdsClassAudioItem, true},
    {".mp4", "audio/mp4", "AAC_ISO_320", tv::kCdsClassAudioItem, true},
    {".wma", "audio/x-ms-wma", "WMABASE", tv::kCdsClassAudioItem, true},
    {".wav", "audio/wav", "", tv::kCdsClassAudioItem, true},
    {".mpg", "video/mpeg", "MPEG_PS_NTSC", tv::kCdsClassVideoItem, true},
    {".vob", "video/mpeg", "MPEG_PS_NTSC", tv::kCdsClassVideoItem, true},
    {".wmv", "video/x-ms-wmv", "WMVMED_BASE", tv::kCdsClassVideoItem, true},
    {".asf", "video/x-ms-asf", "MPEG4_P2_ASF_SP_G726", tv::kCdsClassVideoItem, true},
    {".avi", "video/x-divx", "AVI", tv::kCdsClassVideoItem, true},
    {".asx", "audio/x-ms-asx", "", tv::kCdsClassPlaylistContainer, false},
    {".didls", "text/xml", "DIDL_S", tv::kCdsClassPlaylistItem, true},
    {".txt", "text/plain", "", tv::kCdsClassItem, false},
    {"", "application/octet-stream", "", tv::kCdsClassItem, false},
}};

constexpr CdsMediaClass kMovie =
    tv::CdsClassMake(tv::kCdsBaseItem, tv::kCdsVideoItem, tv::kCdsMovie);
constexpr CdsMediaClass kMusicTrack =
    tv::CdsClassMake(tv::kCdsBaseItem, tv::kCdsAudioItem, tv::kCdsMusicTrack);
constexpr CdsMediaClass kPhoto =
    tv::CdsClassMake(tv::kCdsBaseItem, tv::kCdsImageItem, tv::kCdsPhoto);

struct ModernRow {
    std::string_view extension;  // without its dot
    const char* mime_type;
    CdsMediaClass media_class;
};

// Today's kinds, each with the MIME type TVs accept for it. None has a profile: every DLNA
// profile depends on what the streams hold (MP3 on the MPEG version, JPEG_SM on the picture's
// size), which the extension does not tell; a wrong one makes a TV refuse a file it plays.
constexpr std::array<ModernRow, 28> kModernRows = {{
    {"mp4", "video/mp4", kMovie},          {"m4v", "video/mp4", kMovie},
    {"mkv", "video/x-matroska", kMovie},   {"webm", "video/webm", kMovie},
    {"mov", "video/quicktime", kMovie},    {"avi", "video/x-msvideo", kMovie},
    {"wmv", "video/x-ms-wmv", kMovie},     {"mpg", "video/mpeg", kMovie},
    {"mpeg", "video/mpeg", kMovie},        {"vob", "video/mpeg", kMovie},
    {"ts", "video/mp2t", kMovie},          {"m2ts", "video/mp2t", kMovie},
    {"mts", "video/mp2t", kMovie},         {"mp3", "audio/mpeg", kMusicTrack},
    {"flac", "audio/x-flac", kMusicTrack}, {"m4a", "audio/mp4", kMusicTrack},
    {"aac", "audio/aac", kMusicTrack},     {"ogg", "audio/ogg", kMusicTrack},
    {"oga", "audio/ogg", kMusicTrack},     {"opus", "audio/ogg", kMusicTrack},
    {"wav", "audio/wav", kMusicTrack},     {"wma", "audio/x-ms-wma", kMusicTrack},
    {"jpg", "image/jpeg", kPhoto},         {"jpeg", "image/jpeg", kPhoto},
    {"png", "image/png", kPhoto},          {"gif", "image/gif", kPhoto},
    {"bmp", "image/bmp", kPhoto},          {"webp", "image/webp", kPhoto},
}};

std::string_view WithoutDot(std::string_view extension)
{
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    return extension;
}

const MediaTypeRow& FindRow(std::string_view extension)
{
    // Compared as if a missing leading dot had been put in front.
    std::string_view wanted = WithoutDot(extension);
    for (std::size_t i = 0; i + 1 < kRows.size(); ++i) {
        if (tv::EqualsCaseless(wanted, kRows[i].extension.substr(1))) return kRows[i];
    }
    return kRows.back();
}

}  // namespace

const char* FSE_GetMimeType(const char* extension) noexcept
{
    if (extension == nullptr) return nullptr;
    return FindRow(extension).mime_type;
}

const char* FSE_GetDlnaProfile(const char* extension) noexcept
{
    return FindRow(extension != nullptr ? extension : "").profile;
}

CdsMediaClass FSE_GetMediaClass(const char* extension) noexcept
{
    return FindRow(extension != nullptr ? extension : "").media_class;
}

namespace tv {

bool FSE_IsPublished(const char* extension) noexcept
{
    return FindRow(extension != nullptr ? extension : "").published;
}

MediaKind MediaKindOf(std::string_view extension, bool modern) noexcept
{
    MediaKind kind;
    if (!modern) {
        const MediaTypeRow& row = FindRow(extension);
        kind.mime_type = row.mime_type;
        kind.profile = row.profile;
        kind.media_class = row.media_class;
        kind.published = row.published;
        return kind;
    }
    std::string_view wanted = WithoutDot(extension);
    for (const ModernRow& row : kModernRows) {
        if (EqualsCaseless(wanted, row.extension)) {
            kind.mime_type = row.mime_type;
            kind.media_class = row.media_class;
            kind.published = true;
            return kind;
        }
    }
    return kind;
}

std::string ModernSourceProtocolInfo()
{
    std::string list;
    for (std::size_t i = 0; i < kModernRows.size(); ++i) {
        bool seen = false;
        for (std::size_t j = 0; j < i && !seen; ++j)
            seen = std::string_view(kModernRows[j].mime_type) == kModernRows[i].mime_type;
        if (seen) continue;
        if (!list.empty()) list += ',';
        list += "http-get:*:";
        list += kModernRows[i].mime_type;
        list += ":*";
    }
    return list;
}

}  // namespace tv
