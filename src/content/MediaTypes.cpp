// Extension tables of the content source. First match wins; no match is the last row.
#include "content/MediaTypes.h"

#include <array>
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

const MediaTypeRow& FindRow(const char* extension)
{
    std::string_view wanted = extension != nullptr ? std::string_view(extension) : "";
    // Compared as if a missing leading dot had been put in front.
    if (!wanted.empty() && wanted.front() == '.') wanted.remove_prefix(1);
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
    return FindRow(extension).profile;
}

CdsMediaClass FSE_GetMediaClass(const char* extension) noexcept
{
    return FindRow(extension).media_class;
}

namespace tv {

bool FSE_IsPublished(const char* extension) noexcept
{
    return FindRow(extension).published;
}

}  // namespace tv
