// What is read from inside a media file, and the pure decisions made from it: the kind of a
// file by its extension, the DLNA profile the streams make certain, and the texts of a
// duration, a resolution and a date. Any thread: nothing here keeps state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct stat;

namespace tv {

// A file as the cache knows it: a changed file (size or modification time) is a new one.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity FileIdentityOf(const struct stat& st) noexcept;

enum class MediaInfoKind : std::uint8_t { kNone = 0, kVideo = 1, kAudio = 2, kImage = 3 };

// By the extension, with or without its dot, ASCII case ignored; kNone for anything else.
MediaInfoKind MediaInfoKindOf(std::string_view extension) noexcept;

// Numbers are -1 when unknown; texts empty. Units as CdsResource has them.
struct MediaInfoRecord {
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string date;  // YYYY-MM-DD (MediaInfo_NormalizeDate)
    std::int32_t track = -1;
    std::int64_t duration_ms = -1;
    std::int64_t bitrate = -1;  // bits per second; res@bitrate is this divided by 8
    std::int32_t sample_frequency = -1;
    std::int32_t nr_audio_channels = -1;
    std::int32_t width = -1;  // the video frame, or the image itself
    std::int32_t height = -1;

    // What the profile decision reads. Names as the demuxer and codecs call themselves
    // ("mp3", "mov", "matroska", "jpeg_pipe"; "h264", "aac", "mjpeg").
    std::string container;
    std::string audio_codec;
    std::int32_t audio_profile = -1;  // the codec's profile number (AAC LC is 1)
    std::string video_codec;
    std::int32_t video_profile = -1;  // H.264: 66 baseline, 77 main, 100 high (+ flags)
    std::int32_t video_level = -1;    // H.264: 30 is level 3.0
    std::int32_t audio_streams = 0;
    std::int32_t video_streams = 0;  // an attached picture is not a video stream

    bool has_thumbnail = false;  // a JPEG of at most 160x160 waits in the cache

    friend bool operator==(const MediaInfoRecord&, const MediaInfoRecord&) = default;
};

// The DLNA.ORG_PN value the streams make certain, or empty: a wrong profile makes players
// refuse a file they would play without one. Constant text.
std::string_view MediaInfo_DlnaProfile(const MediaInfoRecord& record) noexcept;

// The profile of a thumbnail the cache holds.
inline constexpr std::string_view kThumbnailProfile = "JPEG_TN";
inline constexpr int kThumbnailEdge = 160;

// "H:MM:SS.FFF" (res@duration); empty when unknown.
std::string MediaInfo_FormatDuration(std::int64_t duration_ms);
// "WxH" (res@resolution); empty when unknown.
std::string MediaInfo_FormatResolution(std::int32_t width, std::int32_t height);
// A tag's date as dc:date wants it: "2021", "2021-05", "2021-05-03", "2021-05-03T10:00:00"
// and "2021/05/03" give "2021-01-01", "2021-05-01", "2021-05-03"; anything else is empty.
std::string MediaInfo_NormalizeDate(std::string_view tag);
// A tag as a DIDL text may carry it: spaces trimmed, control characters as spaces, a text that
// is not UTF-8 read as Latin-1 (old ID3 tags), at most kMaxTagBytes cut between characters.
inline constexpr std::size_t kMaxTagBytes = 1024;
std::string MediaInfo_CleanTag(std::string_view tag);
// "3/12" and "03" give 3; anything that does not begin with a positive number gives -1.
std::int32_t MediaInfo_ParseTrack(std::string_view tag) noexcept;

// A folder's cover image by its file name, ASCII case ignored: 0 cover.jpg, 1 folder.jpg,
// 2 front.jpg, 3 AlbumArt*.jpg (".jpeg" too), lower first; -1 for any other name.
int MediaInfo_CoverNameRank(std::string_view name) noexcept;

}  // namespace tv
