// Pure decisions over a media information record; nothing here reads a file.
#include "mediainfo/MediaInfoRecord.h"

#include <array>
#include <cstdio>

#include <sys/stat.h>

#include "runtime/OlvParsers.h"

namespace tv {
namespace {

struct KindRow {
    std::string_view extension;
    MediaInfoKind kind;
};

constexpr std::array kKinds = {
    KindRow{"mp4", MediaInfoKind::kVideo},  KindRow{"m4v", MediaInfoKind::kVideo},
    KindRow{"mkv", MediaInfoKind::kVideo},  KindRow{"webm", MediaInfoKind::kVideo},
    KindRow{"mov", MediaInfoKind::kVideo},  KindRow{"avi", MediaInfoKind::kVideo},
    KindRow{"wmv", MediaInfoKind::kVideo},  KindRow{"mpg", MediaInfoKind::kVideo},
    KindRow{"mpeg", MediaInfoKind::kVideo}, KindRow{"vob", MediaInfoKind::kVideo},
    KindRow{"ts", MediaInfoKind::kVideo},   KindRow{"m2ts", MediaInfoKind::kVideo},
    KindRow{"mts", MediaInfoKind::kVideo},  KindRow{"mp3", MediaInfoKind::kAudio},
    KindRow{"flac", MediaInfoKind::kAudio}, KindRow{"m4a", MediaInfoKind::kAudio},
    KindRow{"aac", MediaInfoKind::kAudio},  KindRow{"ogg", MediaInfoKind::kAudio},
    KindRow{"oga", MediaInfoKind::kAudio},  KindRow{"opus", MediaInfoKind::kAudio},
    KindRow{"wav", MediaInfoKind::kAudio},  KindRow{"wma", MediaInfoKind::kAudio},
    KindRow{"jpg", MediaInfoKind::kImage},  KindRow{"jpeg", MediaInfoKind::kImage},
    KindRow{"png", MediaInfoKind::kImage},  KindRow{"gif", MediaInfoKind::kImage},
    KindRow{"bmp", MediaInfoKind::kImage},  KindRow{"webp", MediaInfoKind::kImage},
};

// H.264 profile numbers as the decoder reports them; constrained baseline carries a flag.
constexpr std::int32_t kAvcBaseline = 66;
constexpr std::int32_t kAvcConstrainedBaseline = 66 | (1 << 9);
constexpr std::int32_t kAvcMain = 77;
constexpr std::int32_t kAvcHigh = 100;
constexpr std::int32_t kAacLowComplexity = 1;
constexpr std::int32_t kJpegBaseline = 0xC0;

bool Within(std::int32_t width, std::int32_t height, std::int32_t max_width,
            std::int32_t max_height) noexcept
{
    return width > 0 && height > 0 && width <= max_width && height <= max_height;
}

// The one audio stream is AAC LC at a rate every AAC profile allows.
bool PlainAac(const MediaInfoRecord& r, std::int32_t max_channels) noexcept
{
    return r.audio_streams == 1 && r.audio_codec == "aac" && r.audio_profile == kAacLowComplexity &&
           r.sample_frequency >= 8000 && r.sample_frequency <= 48000 && r.nr_audio_channels >= 1 &&
           r.nr_audio_channels <= max_channels;
}

std::string_view AudioOnlyProfile(const MediaInfoRecord& r) noexcept
{
    if (r.container == "mp3" && r.audio_codec == "mp3" && r.audio_streams == 1) {
        // MPEG-1 layer III only (its rates cap the bit rate at 320 kbit/s); MPEG-2's lower
        // rates would be MP3X.
        bool mpeg1 = r.sample_frequency == 32000 || r.sample_frequency == 44100 ||
                     r.sample_frequency == 48000;
        if (mpeg1 && r.nr_audio_channels >= 1 && r.nr_audio_channels <= 2) return "MP3";
        return {};
    }
    bool iso = r.container == "mov";
    bool adts = r.container == "aac";
    if ((!iso && !adts) || r.bitrate <= 0) return {};
    if (PlainAac(r, 2)) {
        if (r.bitrate <= 320000) return iso ? "AAC_ISO_320" : "AAC_ADTS_320";
        if (r.bitrate <= 576000) return iso ? "AAC_ISO" : "AAC_ADTS";
        return {};
    }
    if (PlainAac(r, 6) && r.bitrate <= 1440000) return iso ? "AAC_MULT5_ISO" : "AAC_MULT5_ADTS";
    return {};
}

std::string_view VideoProfile(const MediaInfoRecord& r) noexcept
{
    // Only H.264 with AAC in an MP4 file, the pair every DLNA video player takes.
    if (r.container != "mov" || r.video_streams != 1 || r.video_codec != "h264") return {};
    if (r.bitrate <= 0 || r.video_level <= 0) return {};
    bool main_or_less = r.video_profile == kAvcMain || r.video_profile == kAvcBaseline ||
                        r.video_profile == kAvcConstrainedBaseline;
    if (main_or_less && r.video_level <= 30 && Within(r.width, r.height, 720, 576) &&
        r.bitrate <= 10000000 && PlainAac(r, 6))
        return "AVC_MP4_MP_SD_AAC_MULT5";
    // HP_HD stops at level 4.0; a 4.1 stream may exceed what a player of the profile decodes.
    if (r.video_profile == kAvcHigh && r.video_level <= 40 &&
        Within(r.width, r.height, 1920, 1080) && r.bitrate <= 20000000 && PlainAac(r, 2))
        return "AVC_MP4_HP_HD_AAC";
    return {};
}

std::string_view ImageProfile(const MediaInfoRecord& r) noexcept
{
    if (r.container != "jpeg_pipe" || r.video_codec != "mjpeg" || r.video_profile != kJpegBaseline)
        return {};
    if (Within(r.width, r.height, 640, 480)) return "JPEG_SM";
    if (Within(r.width, r.height, 1024, 768)) return "JPEG_MED";
    if (Within(r.width, r.height, 4096, 4096)) return "JPEG_LRG";
    return {};
}

bool IsDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// Up to `max_digits` digits at `at`; -1 when there are none.
int TakeNumber(std::string_view text, std::size_t* at, std::size_t max_digits) noexcept
{
    int value = 0;
    std::size_t start = *at;
    while (*at < text.size() && *at - start < max_digits && IsDigit(text[*at]))
        value = value * 10 + (text[(*at)++] - '0');
    return *at > start ? value : -1;
}

bool StartsCaseless(std::string_view text, std::string_view prefix) noexcept
{
    return text.size() >= prefix.size() && EqualsCaseless(text.substr(0, prefix.size()), prefix);
}

}  // namespace

FileIdentity FileIdentityOf(const struct stat& st) noexcept
{
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::int64_t>(st.st_size);
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

MediaInfoKind MediaInfoKindOf(std::string_view extension) noexcept
{
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    for (const KindRow& row : kKinds)
        if (EqualsCaseless(row.extension, extension)) return row.kind;
    return MediaInfoKind::kNone;
}

std::string_view MediaInfo_DlnaProfile(const MediaInfoRecord& record) noexcept
{
    if (record.container == "jpeg_pipe") return ImageProfile(record);
    if (record.video_streams == 0) return AudioOnlyProfile(record);
    return VideoProfile(record);
}

std::string MediaInfo_FormatDuration(std::int64_t duration_ms)
{
    if (duration_ms < 0) return {};
    char text[40];
    std::snprintf(text, sizeof text, "%lld:%02d:%02d.%03d",
                  static_cast<long long>(duration_ms / 3600000),
                  static_cast<int>(duration_ms / 60000 % 60),
                  static_cast<int>(duration_ms / 1000 % 60), static_cast<int>(duration_ms % 1000));
    return text;
}

std::string MediaInfo_FormatResolution(std::int32_t width, std::int32_t height)
{
    if (width <= 0 || height <= 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%dx%d", width, height);
    return text;
}

std::string MediaInfo_NormalizeDate(std::string_view tag)
{
    std::size_t at = 0;
    while (at < tag.size() && tag[at] == ' ') ++at;
    std::size_t start = at;
    int year = TakeNumber(tag, &at, 4);
    if (at - start != 4 || year < 1000) return {};
    int month = 1;
    int day = 1;
    bool separated = at < tag.size() && (tag[at] == '-' || tag[at] == '/' || tag[at] == '.');
    if (separated) ++at;
    std::size_t month_at = at;
    int m = TakeNumber(tag, &at, 2);
    if (m >= 1 && m <= 12 && (separated || at - month_at == 2)) {
        month = m;
        if (separated && at < tag.size() && tag[at] == tag[month_at - 1]) ++at;
        int d = TakeNumber(tag, &at, 2);
        if (d >= 1 && d <= 31) day = d;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

std::int32_t MediaInfo_ParseTrack(std::string_view tag) noexcept
{
    std::size_t at = 0;
    while (at < tag.size() && tag[at] == ' ') ++at;
    int value = TakeNumber(tag, &at, 6);
    return value > 0 ? value : -1;
}

std::string MediaInfo_CleanTag(std::string_view tag)
{
    bool utf8 = true;
    for (std::size_t at = 0; at < tag.size() && utf8;) {
        Utf8Char c = DecodeUtf8(tag, at);
        utf8 = c.length > 0;
        at += c.length;
    }
    std::string clean;
    clean.reserve(tag.size());
    for (std::size_t at = 0; at < tag.size();) {
        std::size_t length = 1;
        char32_t code = static_cast<unsigned char>(tag[at]);
        if (utf8) {
            Utf8Char c = DecodeUtf8(tag, at);
            length = c.length;
            code = c.code;
        }
        // XML 1.0 has no place for C0 controls, DEL or the C1 range.
        bool control = code < 0x20 || (code >= 0x7F && code < 0xA0);
        std::size_t needed = control || code < 0x80 ? 1 : code < 0x800 ? 2 : utf8 ? length : 2;
        if (clean.size() + needed > kMaxTagBytes) break;
        if (control) {
            clean += ' ';
        } else if (utf8) {
            clean.append(tag.substr(at, length));
        } else if (code < 0x80) {
            clean += static_cast<char>(code);
        } else {
            clean += static_cast<char>(0xC0 | (code >> 6));
            clean += static_cast<char>(0x80 | (code & 0x3F));
        }
        at += length;
    }
    std::size_t first = clean.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    clean.erase(clean.find_last_not_of(' ') + 1);
    clean.erase(0, first);
    return clean;
}

int MediaInfo_CoverNameRank(std::string_view name) noexcept
{
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return -1;
    std::string_view extension = name.substr(dot + 1);
    if (!EqualsCaseless(extension, "jpg") && !EqualsCaseless(extension, "jpeg")) return -1;
    std::string_view stem = name.substr(0, dot);
    constexpr std::array<std::string_view, 3> kStems = {"cover", "folder", "front"};
    for (std::size_t i = 0; i < kStems.size(); ++i)
        if (EqualsCaseless(stem, kStems[i])) return static_cast<int>(i);
    if (StartsCaseless(stem, "albumart")) return 3;
    return -1;
}

}  // namespace tv
