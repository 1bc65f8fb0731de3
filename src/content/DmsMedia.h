// What the content source adds from the media information service (--media-info): tag titles
// and tags, the stream parameters of each res, the profile the streams make certain, cover art,
// photo thumbnails and subtitles beside a video. Chain thread, except where said.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mediainfo/MediaInfo.h"

struct CdsObject;
struct DmsIntegration;
struct DmsMedia;

namespace tv {

struct ServerContext;

// Any thread, before the chain runs. The service for a server: files opened only through the
// file layer's confined open, its lines in the server's log, and its ready hook telling the
// context's media_ready target.
[[nodiscard]] MediaInfo* DmsMediaInfoCreate(ServerContext* context, MediaInfoOptions options);

// What a page knows of one item.
struct DmsItemInfo {
    MediaInfoStatus status = MediaInfoStatus::kUnavailable;
    FileIdentity identity;
    bool has_identity = false;
    MediaInfoRecord record;
    std::string cover;  // internal path of its folder's cover image; empty for none
    FileIdentity cover_identity;
    MediaInfoStatus cover_status = MediaInfoStatus::kUnavailable;
    bool cover_thumbnail = false;
    std::string subtitle;  // internal path of the subtitle file beside a video
    bool asked = false;
};

}  // namespace tv

// With the context's service: follows its ready hook and calls `resume` on the chain thread
// (once for any number of results that came in meanwhile). Null without the service.
using DmsMediaResumeFn = void (*)(DmsIntegration* dms) noexcept;
[[nodiscard]] DmsMedia* DmsMedia_Start(DmsIntegration* dms, DmsMediaResumeFn resume) noexcept;
// From the content source's destroy hook; null is ignored.
void DmsMedia_Destroy(DmsMedia* media) noexcept;

// Asks for the item's information (and its folder's cover) without waiting: true while any is
// pending. Call again after a resume; what is known already is not asked again.
bool DmsMedia_Look(DmsMedia* media, const CdsObject* object, tv::DmsItemInfo* info) noexcept;
// Writes what is known into an item whose resources were added (`address`: the one its URLs
// name first).
void DmsMedia_Decorate(DmsMedia* media, CdsObject* object, const tv::DmsItemInfo& info,
                       std::uint32_t address) noexcept;

// The file's information when it is known, for the transfer's headers (`path`: an internal
// path); false while unknown.
bool DmsMedia_Known(DmsMedia* media, std::string_view path, tv::MediaInfoRecord* record) noexcept;
// The subtitle file beside the video at `path`, an internal path; empty for none.
std::string DmsMedia_SubtitleOf(DmsMedia* media, std::string_view path) noexcept;
// True when `path` names a .srt or .smi file beside a listed video of the same name.
bool DmsMedia_IsSubtitleBesideVideo(DmsMedia* media, std::string_view path) noexcept;
// The JPEG thumbnail of a listed file (internal path), read from the cache; false for none.
bool DmsMedia_Thumbnail(DmsMedia* media, std::string_view path, std::string* jpeg) noexcept;

namespace tv {
// The fourth field of a JPEG_TN's protocolInfo and its answer's contentFeatures: served whole
// from the cache, so no range.
inline constexpr char kDmsThumbnailFeatures[] =
    "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=00F00000000000000000000000000000";
// A protocolInfo with DLNA.ORG_PN set to `profile` as the first DLNA parameter.
std::string DmsWithProfile(std::string_view protocol_info, std::string_view profile);
// True when a Filter names upnp:artist, upnp:originalTrackNumber, upnp:albumArtURI or
// sec:CaptionInfoEx (ASCII case ignored).
bool DmsFilterNamesDetails(const char* filter) noexcept;
// "srt" or "smi" for a subtitle file's name, else empty.
std::string_view DmsSubtitleType(std::string_view name) noexcept;
}  // namespace tv
