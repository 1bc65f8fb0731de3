// Media information in the listing. Lookups never wait: a page asks for its items at once and
// waits (off the chain) until the service's ready hook has handed a resume to the chain.
#include "content/DmsMedia.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "cds/CdsObject.h"
#include "content/DmsIntegration.h"
#include "content/FileSystemEnumerator.h"
#include "content/MediaTypes.h"
#include "mediaserver/FileIoAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerContext.h"
#include "runtime/ServerLog.h"

namespace {

// What one folder holds that its items point at, as of its modification time.
struct FolderNotes {
    std::int64_t mtime_ns = -1;
    std::string cover;                                       // a name; empty for none
    std::unordered_map<std::string, std::string> subtitles;  // lowercased base -> name
    std::unordered_set<std::string> videos;                  // lowercased bases
};

constexpr std::size_t kFoldersKept = 4096;

}  // namespace

struct DmsMedia {
    DmsIntegration* dms = nullptr;
    tv::MediaInfo* info = nullptr;
    DmsMediaResumeFn resume = nullptr;
    std::atomic<bool> resume_queued{false};
    std::unordered_map<std::string, FolderNotes> folders;
};

namespace {

int OpenConfined(void* user, const char* path) noexcept
{
    return tv::FileIo_OpenShared(static_cast<const tv::ServerContext*>(user), path,
                                 O_RDONLY | O_NONBLOCK | O_NOCTTY, nullptr);
}

void LogLine(void*, const char* line) noexcept
{
    ServerLog("%s", line);
}

void TellContext(void* user) noexcept
{
    static_cast<tv::ServerContext*>(user)->media_ready.Notify();
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = tv::ToLowerAscii(c);
    return out;
}

std::string_view NameOf(std::string_view path) noexcept
{
    std::size_t slash = path.rfind('\\');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view FolderOf(std::string_view path) noexcept
{
    std::size_t slash = path.rfind('\\');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view BaseOf(std::string_view name) noexcept
{
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

std::string_view ExtensionOf(std::string_view name) noexcept
{
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

std::string Internal(std::string_view path)
{
    std::string out;
    if (path.empty() || path[0] != '\\') out += '\\';
    out += path;
    return out;
}

bool IsListedVideo(std::string_view name) noexcept
{
    const tv::MediaKind kind = tv::MediaKindOf(ExtensionOf(name), true);
    return kind.published && tv::CdsClassSecond(kind.media_class) == tv::kCdsVideoItem;
}

// The folder's cover and subtitles, read again when the folder changed. Confined like every
// file the server opens.
const FolderNotes* NotesOf(DmsMedia* media, std::string_view folder)
{
    const tv::ServerContext* context = media->dms->context;
    std::string path = Internal(folder);
    int fd = tv::FileIo_OpenShared(context, path, O_RDONLY | O_DIRECTORY, nullptr);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return nullptr;
    }
    const std::int64_t mtime =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    auto found = media->folders.find(path);
    if (found != media->folders.end() && found->second.mtime_ns == mtime) {
        ::close(fd);
        return &found->second;
    }
    if (media->folders.size() >= kFoldersKept) media->folders.clear();
    FolderNotes notes;
    notes.mtime_ns = mtime;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return nullptr;
    }
    int cover_rank = INT_MAX;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (tv::FseLeftOutName(name)) continue;
        int rank = tv::MediaInfo_CoverNameRank(name);
        if (rank >= 0 && (rank < cover_rank || (rank == cover_rank && name < notes.cover))) {
            cover_rank = rank;
            notes.cover = name;
        }
        if (!tv::DmsSubtitleType(name).empty())
            notes.subtitles.emplace(Lower(BaseOf(name)), std::string(name));
        else if (IsListedVideo(name))
            notes.videos.insert(Lower(BaseOf(name)));
    }
    ::closedir(dir);
    auto& kept = media->folders[path];
    kept = std::move(notes);
    return &kept;
}

bool IdentityOf(DmsMedia* media, const std::string& path, tv::FileIdentity* identity)
{
    // Through the confined open, as the file itself would be served.
    int fd =
        tv::FileIo_OpenShared(media->dms->context, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, nullptr);
    if (fd < 0) return false;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (regular) *identity = tv::FileIdentityOf(st);
    return regular;
}

void Resume(void* data) noexcept
{
    auto* media = static_cast<DmsMedia*>(data);
    media->resume_queued.store(false);
    media->resume(media->dms);
}

// The service's thread: the chain goes on with waiting pages in its next turn.
void Ready(void* user) noexcept
{
    auto* media = static_cast<DmsMedia*>(user);
    if (media->resume_queued.exchange(true)) return;
    tv::LifeTimeAddNextTurn(tv::ChainTimer(media->dms->chain), media, Resume, nullptr);
}

// Before any object of the chain goes: nothing is handed over any more.
void StopHearing(void* user) noexcept
{
    auto* media = static_cast<DmsMedia*>(user);
    media->dms->context->media_ready.Set(nullptr, nullptr);
    OlvLifeTime_Remove(tv::ChainTimer(media->dms->chain), media);
}

char** OneText(const std::string& text)
{
    auto** array = static_cast<char**>(tv::Malloc(sizeof(char*)));
    array[0] = tv::CopyBytes(text.data(), text.size());
    return array;
}

std::string UrlOf(DmsMedia* media, std::uint32_t address, std::string_view route,
                  const std::string& path)
{
    char* url_path = FSE_PathToUrlPath(media->dms->enumerator, path.c_str());
    std::string url = tv::DmsContentUrl(media->dms, address, route, url_path);
    tv::Free(url_path);
    return url;
}

void AppendResource(CdsObject* object, const char* protocol_info, const std::string& url)
{
    CdsResource* resource = CdsObject_AllocateResource();
    resource->protocol_info = tv::CopyBytes(protocol_info, std::strlen(protocol_info));
    resource->value = tv::CopyBytes(url.data(), url.size());
    resource->owned_mask |= tv::kCdsResOwnProtocolInfo | tv::kCdsResOwnValue;
    tv::CdsObject_AppendResource(object, resource);
}

}  // namespace

namespace tv {

MediaInfo* DmsMediaInfoCreate(ServerContext* context, MediaInfoOptions options)
{
    options.open = OpenConfined;
    options.open_user = context;
    if (options.log == nullptr) options.log = LogLine;
    options.ready = TellContext;
    options.ready_user = context;
    return MediaInfo_Create(options);
}

std::string DmsWithProfile(std::string_view protocol_info, std::string_view profile)
{
    std::string out(protocol_info);
    std::size_t at = 0;
    for (int colons = 0; colons < 3; ++colons) {
        at = out.find(':', at);
        if (at == std::string::npos) return out;
        ++at;
    }
    std::string pn = "DLNA.ORG_PN=";
    pn += profile;
    if (out.compare(at, std::string::npos, "*") == 0) return out.replace(at, 1, pn);
    return out.insert(at, pn + ";");
}

bool DmsSplitSortCriteria(std::string_view criteria, std::vector<DmsMediaSortKey>* keys,
                          std::string* rest)
{
    keys->clear();
    rest->clear();
    bool media = false;
    for (const tv::FseCriterion& criterion : tv::FseSplitSortCriteria(criteria)) {
        DmsMediaSortKey key;
        key.ascending = criterion.ascending;
        const std::string_view part = criterion.property;
        if (part == "upnp:album")
            key.property = DmsMediaSortProperty::kAlbum;
        else if (part == "upnp:originalTrackNumber")
            key.property = DmsMediaSortProperty::kTrack;
        else if (part == "upnp:artist")
            key.property = DmsMediaSortProperty::kArtist;
        if (key.property != DmsMediaSortProperty::kListing) {
            media = true;
        } else {
            if (!rest->empty()) *rest += ',';
            *rest += criterion.whole;
        }
        keys->push_back(key);
    }
    if (!media) keys->clear();
    return media;
}

bool DmsFilterNamesDetails(const char* filter) noexcept
{
    if (filter == nullptr) return false;
    std::string text = Lower(filter);
    for (std::string_view name :
         {"upnp:artist", "upnp:originaltracknumber", "upnp:albumarturi", "sec:captioninfoex"}) {
        for (std::size_t at = 0; (at = text.find(name, at)) != std::string::npos;
             at += name.size()) {
            const std::size_t end = at + name.size();
            const bool starts = at == 0 || text[at - 1] == ',' || text[at - 1] == ' ';
            const bool ends =
                end == text.size() || text[end] == ',' || text[end] == ' ' || text[end] == '@';
            if (starts && ends) return true;
        }
    }
    return false;
}

std::string_view DmsSubtitleType(std::string_view name) noexcept
{
    std::string_view extension = ExtensionOf(name);
    if (EqualsCaseless(extension, ".srt")) return "srt";
    if (EqualsCaseless(extension, ".smi")) return "smi";
    return {};
}

}  // namespace tv

DmsMedia* DmsMedia_Start(DmsIntegration* dms, DmsMediaResumeFn resume) noexcept
{
    if (dms->context == nullptr || dms->context->media_info == nullptr) return nullptr;
    auto* media = new DmsMedia;
    media->dms = dms;
    media->info = dms->context->media_info;
    media->resume = resume;
    dms->context->media_ready.Set(Ready, media);
    tv::ChainOnEnd(dms->chain, StopHearing, media);
    return media;
}

void DmsMedia_Destroy(DmsMedia* media) noexcept
{
    if (media == nullptr) return;
    media->dms->context->media_ready.Set(nullptr, nullptr);
    delete media;
}

bool DmsMedia_Look(DmsMedia* media, const CdsObject* object, tv::DmsItemInfo* info) noexcept
{
    using tv::MediaInfoStatus;
    if (media == nullptr || object->source_path == nullptr) return false;
    const std::uint32_t second = tv::CdsClassSecond(object->media_class);
    if (!info->asked) {
        info->asked = true;
        std::string_view path = object->source_path;
        if (info->has_identity) info->status = MediaInfoStatus::kPending;
        const FolderNotes* notes = second == tv::kCdsAudioItem || second == tv::kCdsVideoItem
                                       ? NotesOf(media, FolderOf(path))
                                       : nullptr;
        if (notes != nullptr && !notes->cover.empty()) {
            std::string cover = std::string(FolderOf(path)) + tv::FileIoEscapeName(notes->cover);
            if (IdentityOf(media, cover, &info->cover_identity)) {
                info->cover = std::move(cover);
                info->cover_status = MediaInfoStatus::kPending;
            }
        }
        if (notes != nullptr && second == tv::kCdsVideoItem) {
            auto found = notes->subtitles.find(Lower(BaseOf(NameOf(path))));
            tv::FileIdentity ignored;
            std::string subtitle =
                found != notes->subtitles.end()
                    ? std::string(FolderOf(path)) + tv::FileIoEscapeName(found->second)
                    : std::string();
            // Named only when it can be served: a link out is not there.
            if (!subtitle.empty() && IdentityOf(media, subtitle, &ignored))
                info->subtitle = std::move(subtitle);
        }
    }
    if (info->status == MediaInfoStatus::kPending)
        info->status =
            tv::MediaInfo_Lookup(media->info, object->source_path, info->identity, &info->record);
    if (info->cover_status == MediaInfoStatus::kPending) {
        tv::MediaInfoRecord cover;
        info->cover_status =
            tv::MediaInfo_Lookup(media->info, info->cover.c_str(), info->cover_identity, &cover);
        info->cover_thumbnail = cover.has_thumbnail;
    }
    return info->status == MediaInfoStatus::kPending ||
           info->cover_status == MediaInfoStatus::kPending;
}

namespace {

// The tag's title, else the name without its extension.
void SetTitle(CdsObject* object, bool known, const tv::MediaInfoRecord& r)
{
    std::string title;
    if (known && !r.title.empty()) {
        title = r.title;
    } else if (object->title != nullptr) {
        title = object->title;
        std::size_t dot = title.rfind('.');
        if (dot != std::string::npos && dot > 0) title.resize(dot);
    }
    if (object->title == nullptr || title != object->title) {
        if ((object->owned_mask & tv::kCdsOwnTitle) != 0) tv::Free(object->title);
        object->title = tv::CopyBytes(title.data(), title.size());
        object->owned_mask |= tv::kCdsOwnTitle;
    }
}

void SetTags(CdsObject* object, CdsMediaDetails* details, std::uint32_t second,
             const tv::MediaInfoRecord& r)
{
    if (!r.artist.empty()) {
        details->artist = r.artist;
        if (object->creator == nullptr) {
            object->creator = tv::CopyBytes(r.artist.data(), r.artist.size());
            object->owned_mask |= tv::kCdsOwnCreator;
        }
    }
    if (second == tv::kCdsAudioItem && !r.album.empty() && object->albums == nullptr) {
        object->albums = OneText(r.album);
        object->album_count = 1;
        object->owned_mask |= tv::kCdsOwnAlbums;
    }
    if ((second == tv::kCdsAudioItem || second == tv::kCdsVideoItem) && !r.genre.empty() &&
        object->genres == nullptr) {
        object->genres = OneText(r.genre);
        object->genre_count = 1;
        object->owned_mask |= tv::kCdsOwnGenres;
    }
    details->date = r.date;
    details->track = r.track;
}

// Duration, rates, size and the profile the streams make certain, on every res of the file.
void SetStreams(CdsObject* object, std::uint32_t second, const tv::MediaInfoRecord& r)
{
    const std::string_view profile = tv::MediaInfo_DlnaProfile(r);
    const bool pictured = second == tv::kCdsVideoItem || second == tv::kCdsImageItem;
    for (CdsResource* res = object->resources; res != nullptr; res = res->next) {
        if (r.duration_ms >= 0 && second != tv::kCdsImageItem) res->duration_ms = r.duration_ms;
        if (r.bitrate > 0)
            res->bitrate = static_cast<std::int32_t>(std::min<std::int64_t>(r.bitrate, INT32_MAX));
        if (r.sample_frequency > 0) res->sample_frequency = r.sample_frequency;
        if (r.nr_audio_channels > 0) res->nr_audio_channels = r.nr_audio_channels;
        if (pictured && r.width > 0 && r.height > 0) {
            res->resolution_x = r.width;
            res->resolution_y = r.height;
        }
        if (!profile.empty() && res->protocol_info != nullptr) {
            std::string with = tv::DmsWithProfile(res->protocol_info, profile);
            if ((res->owned_mask & tv::kCdsResOwnProtocolInfo) != 0) tv::Free(res->protocol_info);
            res->protocol_info = tv::CopyBytes(with.data(), with.size());
            res->owned_mask |= tv::kCdsResOwnProtocolInfo;
        }
    }
}

// A photo's thumbnail, a song's or film's art, a film's subtitles.
void SetPictureAndCaptions(DmsMedia* media, CdsObject* object, CdsMediaDetails* details,
                           std::uint32_t second, const tv::DmsItemInfo& info, std::uint32_t address)
{
    const std::string path = object->source_path;
    const bool own_picture =
        info.status == tv::MediaInfoStatus::kKnown && info.record.has_thumbnail;
    if (second == tv::kCdsImageItem && own_picture) {
        AppendResource(object,
                       (std::string("http-get:*:image/jpeg:") + tv::kDmsThumbnailFeatures).c_str(),
                       UrlOf(media, address, "thumb/", path));
    } else if (second == tv::kCdsAudioItem && own_picture) {
        details->album_art_uri = UrlOf(media, address, "thumb/", path);
    } else if (second != tv::kCdsImageItem && info.cover_status == tv::MediaInfoStatus::kKnown &&
               info.cover_thumbnail) {
        details->album_art_uri = UrlOf(media, address, "thumb/", info.cover);
    }
    if (second == tv::kCdsVideoItem && !info.subtitle.empty()) {
        std::string url = UrlOf(media, address, "", info.subtitle);
        std::string type(tv::DmsSubtitleType(info.subtitle));
        AppendResource(object, type == "srt" ? "http-get:*:text/srt:*" : "http-get:*:smi/caption:*",
                       url);
        details->caption_uri = std::move(url);
        details->caption_type = std::move(type);
    }
}

}  // namespace

void DmsMedia_Decorate(DmsMedia* media, CdsObject* object, const tv::DmsItemInfo& info,
                       std::uint32_t address) noexcept
{
    if (media == nullptr || !tv::CdsIsItem(object->media_class) || object->source_path == nullptr)
        return;
    const std::uint32_t second = tv::CdsClassSecond(object->media_class);
    const bool known = info.status == tv::MediaInfoStatus::kKnown;
    SetTitle(object, known, info.record);
    auto* details = new CdsMediaDetails;
    delete object->details;
    object->details = details;
    if (known) {
        SetTags(object, details, second, info.record);
        SetStreams(object, second, info.record);
    }
    SetPictureAndCaptions(media, object, details, second, info, address);
}

bool DmsMedia_Known(DmsMedia* media, std::string_view path, tv::MediaInfoRecord* record) noexcept
{
    if (media == nullptr) return false;
    std::string internal = Internal(path);
    tv::FileIdentity identity;
    return IdentityOf(media, internal, &identity) &&
           tv::MediaInfo_Lookup(media->info, internal.c_str(), identity, record) ==
               tv::MediaInfoStatus::kKnown;
}

std::string DmsMedia_SubtitleOf(DmsMedia* media, std::string_view path) noexcept
{
    if (media == nullptr || !IsListedVideo(NameOf(path))) return {};
    std::string internal = Internal(path);
    const FolderNotes* notes = NotesOf(media, FolderOf(internal));
    if (notes == nullptr) return {};
    auto found = notes->subtitles.find(Lower(BaseOf(NameOf(internal))));
    if (found == notes->subtitles.end()) return {};
    std::string subtitle = std::string(FolderOf(internal)) + tv::FileIoEscapeName(found->second);
    tv::FileIdentity ignored;
    return IdentityOf(media, subtitle, &ignored) ? subtitle : std::string();
}

bool DmsMedia_IsSubtitleBesideVideo(DmsMedia* media, std::string_view path) noexcept
{
    if (media == nullptr || tv::DmsSubtitleType(NameOf(path)).empty() || tv::FseLeftOutPath(path))
        return false;
    std::string internal = Internal(path);
    const FolderNotes* notes = NotesOf(media, FolderOf(internal));
    return notes != nullptr && notes->videos.count(Lower(BaseOf(NameOf(internal)))) != 0;
}

bool DmsMedia_Thumbnail(DmsMedia* media, std::string_view path, std::string* jpeg) noexcept
{
    if (media == nullptr) return false;
    std::string internal = Internal(path);
    tv::FileIdentity identity;
    if (!IdentityOf(media, internal, &identity)) return false;
    tv::MediaInfoRecord record;
    switch (tv::MediaInfo_Lookup(media->info, internal.c_str(), identity, &record)) {
    case tv::MediaInfoStatus::kKnown:
        if (!record.has_thumbnail) return false;
        break;
    case tv::MediaInfoStatus::kPending:  // its picture may be on disk from an earlier reading
        break;
    default:
        return false;
    }
    return tv::MediaInfo_Thumbnail(media->info, identity, jpeg);
}
