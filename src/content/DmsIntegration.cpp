// The content source. Every handler here runs on the chain thread; only
// DmsIntegration_NotifyAddressChange is called from elsewhere.
#include "content/DmsIntegration.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cds/CdsDidlSerializer.h"
#include "cds/CdsObject.h"
#include "content/DmsMedia.h"
#include "content/FileSystemEnumerator.h"
#include "content/FolderWatch.h"
#include "content/MediaTypes.h"
#include "content/NaturalOrder.h"
#include "http/OlvWebServer.h"
#include "mediaserver/DlnaProtocolInfo.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaServerAbstraction.h"
#include "mediaserver/MediaTransfer.h"
#include "net/LocalAddresses.h"
#include "runtime/Memory.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerContext.h"
#include "runtime/ServerLog.h"
#include "shares/SharedFolders.h"
#include "upnp/MicroStack.h"

static_assert(std::is_standard_layout_v<DmsIntegration>);
static_assert(offsetof(DmsIntegration, hooks) == 0);

// What today's listing keeps beside the record (chain thread).
struct DmsModern {
    DmsIntegration* dms = nullptr;
    FolderWatch* watch = nullptr;
    std::uint32_t system_update_id = 0;
    std::vector<std::string> folders;  // the shared-folder table as last seen
    struct Change {
        std::string container_id;
        std::uint32_t update_id = 0;
        std::int64_t at_ms = 0;
    };
    std::vector<Change> recent;  // containers changed lately, the newest last
};

namespace {

constexpr char kVirtualDirectory[] = "content";
// Past this many unsent bytes on its connection a Browse answer builds no more objects until
// the send queue drains: a client that does not read holds this much, not its whole answer.
constexpr std::size_t kBrowseUnsentBoundBytes = 256 * 1024;
constexpr char kPost400[] = "HTTP/1.1 400\r\n\r\n";
constexpr std::string_view kPartialSuffix = ".tmp";
constexpr std::int64_t kRetryLeftOutMs = 5000;
constexpr char kNotFound[] =
    "HTTP/1.1 404 File Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kBadSortCriteria[] = "Unsupported or invalid sort criteria";
// Today's listing: a subscriber hears of changes at most once each interval. A change stays
// in ContainerUpdateIDs for two intervals, so that every subscriber's next event names it
// whenever its own interval began; at most so many containers are named at once (the
// SystemUpdateID tells the rest).
constexpr int kEventIntervalMs = 2000;
constexpr std::int64_t kChangeNamedMs = 2 * kEventIntervalMs;
constexpr std::size_t kChangesNamed = 64;
constexpr int kFolderListCheckMs = 1000;

std::int64_t NowMs() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

char* CopyText(const char* text) noexcept
{
    if (text == nullptr) text = "";
    return tv::CopyBytes(text, std::strlen(text));
}

char* CapabilityText(std::uint32_t mask) noexcept
{
    auto* text =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(CdsFilter_StringLength(mask)) + 1));
    CdsFilter_ToString(text, mask);
    return text;
}

bool EndsWith(std::string_view text, std::string_view tail) noexcept
{
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Extension of a path for the media tables: from its last "."; for a partial file the one in
// front of ".tmp". Empty when there is no dot.
std::string_view ExtensionOf(std::string_view path, bool look_through_partial) noexcept
{
    if (look_through_partial && EndsWith(path, kPartialSuffix))
        path.remove_suffix(kPartialSuffix.size());
    std::size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : path.substr(dot);
}

bool IsImage(CdsMediaClass media_class) noexcept
{
    return tv::CdsClassSecond(media_class) == tv::kCdsImageItem;
}

bool IsStreamed(CdsMediaClass media_class) noexcept
{
    return tv::CdsClassSecond(media_class) == tv::kCdsAudioItem ||
           tv::CdsClassSecond(media_class) == tv::kCdsVideoItem;
}

// The DLNA protocolInfo of a file of this extension; `media_class` receives its class. The text
// depends on the extension only: a page of one kind of file builds it once.
char* FileProtocolInfo(DmsIntegration* dms, const std::string& extension,
                       CdsMediaClass* media_class) noexcept
{
    for (const DmsKnownProtocolInfo& k : dms->known_protocol_infos) {
        if (k.extension == extension) {
            if (media_class != nullptr) *media_class = k.media_class;
            return tv::CopyBytes(k.text.data(), k.text.size());
        }
    }
    const tv::MediaKind kind = tv::MediaKindOf(extension, dms->modern != nullptr);
    const CdsMediaClass cls = kind.media_class;
    DlnaProtocolInfo* info = DlnaProtocolInfo_Create();
    info->protocol = tv::kDlnaProtocolHttpGet;
    info->mime_type = CopyText(kind.mime_type);
    // Without a profile the text has no DLNA.ORG_PN; the protocol's table writes its empty one.
    info->profile = kind.profile != nullptr ? CopyText(kind.profile) : nullptr;
    info->range_seek = 1;
    info->http_stalling = 1;
    info->background_mode = 1;
    if (IsImage(cls)) info->interactive_mode = 1;
    if (IsStreamed(cls)) info->streaming_mode = 1;
    char* text = DlnaProtocolInfo_ToString(info);
    DlnaProtocolInfo_Destroy(info);
    if (media_class != nullptr) *media_class = cls;
    constexpr std::size_t kKnownLimit = 32;
    if (text != nullptr && dms->known_protocol_infos.size() < kKnownLimit)
        dms->known_protocol_infos.push_back(DmsKnownProtocolInfo{extension, text, cls});
    return text;
}

// One line for each folder left out.
void LogLines(std::string_view lines) noexcept
{
    while (!lines.empty()) {
        std::size_t end = lines.find('\n');
        std::string line(lines.substr(0, end));
        if (!line.empty()) ServerLog("%s", line.c_str());
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    }
}

// The list may be edited by another process while the server runs (the program's --share
// and --unshare): the table follows the file at the next request. A file that vanished
// leaves the table alone, as does one that cannot be read. A folder left out because it is
// not there (a disk mounted after the server started) is looked at again every few seconds,
// and the log repeats the folders left out only when they change.
void FollowSettingsFile(DmsIntegration* dms) noexcept
{
    tv::SharedFolderSet& folders = *dms->context->folders;
    tv::SharedFoldersStamp now = tv::SharedFolders_FileStamp(folders);
    if (now == dms->settings) {
        if (!tv::SharedFolders_SomeLeftOut(folders)) return;
        std::int64_t clock = NowMs();
        if (clock < dms->retry_left_out_ms) return;
        dms->retry_left_out_ms = clock + kRetryLeftOutMs;
    }
    dms->settings = now;
    if (!now.exists) return;
    std::vector<std::string> list;
    std::string message;
    int result = SharedFolders_Load(folders, list, &message);
    if (result < 0) {
        ServerLog("Shared folders not reloaded: %s", message.c_str());
        return;
    }
    if (result != tv::kSharedFoldersNotShared) message.clear();
    // The program's start-up has logged what its own load left out.
    if (dms->left_out_known && message != dms->left_out) LogLines(message);
    dms->left_out_known = true;
    dms->left_out = std::move(message);
}

// ---- Today's listing: what changes below the shared folders ----

// Names the containers changed in the last two intervals, each with the SystemUpdateID of its
// last change, and events both.
void PublishUpdateIds(DmsIntegration* dms) noexcept
{
    DmsModern& modern = *dms->modern;
    const std::int64_t now = NowMs();
    std::erase_if(modern.recent,
                  [&](const DmsModern::Change& c) { return now - c.at_ms > kChangeNamedMs; });
    if (modern.recent.size() > kChangesNamed)
        modern.recent.erase(modern.recent.begin(),
                            modern.recent.end() - static_cast<std::ptrdiff_t>(kChangesNamed));
    std::string pairs;
    for (const DmsModern::Change& change : modern.recent) {
        if (!pairs.empty()) pairs += ',';
        pairs += tv::DmsCsvEscape(change.container_id);
        pairs += ',';
        pairs += std::to_string(change.update_id);
    }
    MSA_SetUpdateIDs(dms->media_server, modern.system_update_id, pairs.c_str());
}

void ContentChanged(DmsIntegration* dms, const std::vector<tv::FolderChange>& changes) noexcept
{
    DmsModern& modern = *dms->modern;
    ++modern.system_update_id;
    for (const tv::FolderChange& change : changes) {
        if (change.device != 0 || change.inode != 0)
            tv::FSE_FolderChanged(dms->enumerator, change.device, change.inode);
        if (change.container_id.empty()) continue;
        std::erase_if(modern.recent, [&](const DmsModern::Change& c) {
            return c.container_id == change.container_id;
        });
        modern.recent.push_back(
            DmsModern::Change{change.container_id, modern.system_update_id, NowMs()});
    }
    PublishUpdateIds(dms);
}

void OnFolderChanges(void* user, const std::vector<tv::FolderChange>& changes) noexcept
{
    ContentChanged(static_cast<DmsIntegration*>(user), changes);
}

void OnFolderSeen(void* user, std::string_view path, int folder_fd, const struct stat& st) noexcept
{
    FolderWatch_Seen(static_cast<DmsIntegration*>(user)->modern->watch, path, folder_fd, st);
}

// The shared folders are watched from the start: a client's first view is of them.
void WatchSharedFolders(DmsIntegration* dms) noexcept
{
    for (const std::string& folder : dms->modern->folders) {
        std::string path = "\\" + tv::FileIoEscapeFolder(folder) + "\\";
        int fd = tv::FileIo_OpenShared(dms->context, path, O_RDONLY | O_DIRECTORY, nullptr);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
            FolderWatch_Seen(dms->modern->watch, path, fd, st);
        ::close(fd);
    }
}

// Follows the settings file; with today's listing a change of the shared folders is a change
// of the root's children.
void FollowFolderList(DmsIntegration* dms) noexcept
{
    FollowSettingsFile(dms);
    if (dms->modern == nullptr) return;
    std::vector<std::string> folders = tv::SharedFolders_List(*dms->context->folders);
    if (folders == dms->modern->folders) return;
    dms->modern->folders = std::move(folders);
    WatchSharedFolders(dms);
    ContentChanged(dms, {tv::FolderChange{"0", 0, 0}});
}

// A list edited by the window or the command line is seen within a second, browsed or not:
// a TV that caches its view hears of it only through the event.
void CheckFolderList(void* data) noexcept
{
    DmsIntegration* dms = static_cast<DmsModern*>(data)->dms;
    FollowFolderList(dms);
    OlvLifeTime_Add(tv::ChainTimer(dms->chain), dms->modern, kFolderListCheckMs, CheckFolderList,
                    nullptr);
}

// Today's listing starts from the clock: a TV that cached its view before a restart sees a new
// SystemUpdateID after it.
void StartModernListing(DmsIntegration* dms) noexcept
{
    auto* modern = new DmsModern;
    dms->modern = modern;
    modern->dms = dms;
    modern->system_update_id = static_cast<std::uint32_t>(std::time(nullptr));
    tv::MicroStackModerateEvents(dms->device, kEventIntervalMs);
    MSA_SetUpdateIDs(dms->media_server, modern->system_update_id, "");
    modern->watch = FolderWatch_Create(dms->chain, OnFolderChanges, dms);
    tv::FSE_SetFolderSeen(dms->enumerator, OnFolderSeen, dms);
    modern->folders = tv::SharedFolders_List(*dms->context->folders);
    WatchSharedFolders(dms);
    OlvLifeTime_Add(tv::ChainTimer(dms->chain), modern, kFolderListCheckMs, CheckFolderList,
                    nullptr);
}

void IgnoreStatistics(MSA_Server*, const tv::MsaStatistics*) noexcept {}

void AnswerSystemUpdateId(MSA_Server* server, OlvWebSession* session) noexcept
{
    long long id = MSA_GetSystemUpdateID(server);
    MSA_RespondGetSystemUpdateID(server, session, static_cast<std::uint32_t>(id < 0 ? 0 : id));
}

DmsIntegration* Owner(MSA_Server* server) noexcept
{
    return static_cast<DmsIntegration*>(MSA_GetUser(server));
}

void AnswerSearchCapabilities(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetSearchCapabilities(server, session, Owner(server)->search_capabilities);
}

void AnswerSortCapabilities(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetSortCapabilities(server, session, Owner(server)->sort_capabilities);
}

void AnswerProtocolInfo(MSA_Server* server, OlvWebSession* session) noexcept
{
    DmsIntegration* dms = Owner(server);
    MSA_RespondGetProtocolInfo(server, session, dms->source_protocol_info, dms->sink_protocol_info);
}

void AnswerConnectionIds(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetCurrentConnectionIDs(server, session, "0");
}

// A size of the file the caller does not know yet.
constexpr std::int64_t kSizeUnknown = -2;

// DmsIntegration_AddResources with the file's size when it was looked at already.
void AddResources(DmsIntegration* dms, std::uint32_t filter_mask, const MSA_BrowseRequest* request,
                  CdsObject* object, std::int64_t known_size) noexcept;

void IgnoreTransferEnd(OlvWebSession*, MediaTransferState*, tv::MediaTransferDone, void*) noexcept
{
}

bool IsUtf8(const char* text, std::size_t length) noexcept
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        // Most of a DIDL object is ASCII: eight bytes at a time while no high bit is set.
        std::uint64_t word;
        if (length - i >= sizeof word) {
            std::memcpy(&word, bytes + i, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += sizeof word;
                continue;
            }
        }
        std::size_t step = tv::DecodeUtf8({text, length}, i).length;
        if (step == 0) return false;
        i += step;
    }
    return true;
}

}  // namespace

// One Browse or Search answer from its start until its end has been handed to the connection.
// It waits (attached to the session as its answer's owner) while its connection holds more
// than kBrowseUnsentBoundBytes unsent, and goes on when the send queue drains.
struct DmsBrowsePaging {
    DmsIntegration* dms = nullptr;
    MSA_Server* server = nullptr;
    OlvWebSession* session = nullptr;
    MSA_BrowseRequest* request = nullptr;
    FseQuery* query = nullptr;
    std::uint32_t filter_mask = 0;
    std::uint32_t total = 0;
    std::uint32_t returned = 0;
    long long index = -1;
    bool waiting = false;  // attached to the session, listed in dms->waiting_answers
    // With media information: objects built and waiting, in order, for what is read from
    // their files; the page goes on when the service has it.
    struct Held {
        CdsObject* object = nullptr;
        std::int64_t size = -2;
        tv::DmsItemInfo info;
        std::uint32_t order = 0;
    };
    std::deque<Held> held;
    bool built_all = false;
    // A SortCriteria on what is read from the files: every child is built and its information
    // gathered, then they are sorted and the page cut from them.
    std::vector<tv::DmsMediaSortKey> media_sort;
    bool sorted = false;
    std::uint32_t built = 0;  // objects built so far: each held one's place in the query's order
    DmsBrowsePaging* previous = nullptr;
    DmsBrowsePaging* next = nullptr;
};

namespace {

// Objects built ahead of the one the page waits for: enough for a page TVs ask for, so that
// the helper gets them together.
constexpr std::size_t kHeldBound = 256;

void FreePaging(DmsBrowsePaging* paging) noexcept
{
    for (DmsBrowsePaging::Held& held : paging->held) CdsObject_Release(held.object);
    MSA_FreeBrowseRequest(paging->request);
    delete paging;
}

// The session's handlers stop pointing at the answer.
void StopWaiting(DmsBrowsePaging* paging) noexcept
{
    if (!paging->waiting) return;
    paging->waiting = false;
    tv::WebSessionDetachAnswer(paging->session);
    if (paging->previous != nullptr)
        paging->previous->next = paging->next;
    else
        paging->dms->waiting_answers = paging->next;
    if (paging->next != nullptr) paging->next->previous = paging->previous;
    paging->previous = paging->next = nullptr;
}

// Pages the next object into the answer (outside the page objects are only counted): false
// once the query has no more.
void EmitObject(DmsBrowsePaging* paging, CdsObject* object, std::int64_t size,
                const tv::DmsItemInfo* info) noexcept;

bool PageNextObject(DmsBrowsePaging* paging) noexcept
{
    DmsIntegration* dms = paging->dms;
    MSA_BrowseRequest* request = paging->request;
    const long long next = paging->index + 1;
    // Held objects are on the page already, though not yet appended.
    const std::size_t taken = paging->returned + paging->held.size();
    if (paging->media_sort.empty() &&
        (next < static_cast<long long>(request->starting_index) ||
         (request->requested_count != 0 && taken >= request->requested_count))) {
        const std::uint32_t before = static_cast<std::uint32_t>(
            std::min<long long>(request->starting_index - next, UINT32_MAX));
        std::uint32_t skipped = FSE_SkipObjects(
            dms->enumerator, paging->query, next < request->starting_index ? before : UINT32_MAX);
        paging->total += skipped;
        paging->index += skipped;
        return skipped != 0;
    }
    CdsObject* object = CdsObject_Allocate();
    if (FSE_HandleProcessObject(dms->enumerator, request, paging->query, object) == 0) {
        CdsObject_Release(object);
        return false;
    }
    ++paging->total;
    ++paging->index;
    const FseQuery* query = paging->query;
    const std::int64_t size = query->object_size_known != 0 ? query->object_size : kSizeUnknown;
    if (dms->media != nullptr) {
        DmsBrowsePaging::Held held{object, size, {}};
        held.order = paging->built++;
        if (query->object_size_known != 0 && query->object_size >= 0) {
            held.info.has_identity = true;
            held.info.identity = tv::FileIdentity{query->object_device, query->object_inode,
                                                  query->object_size, query->object_mtime_ns};
        }
        if (tv::CdsIsItem(object->media_class)) DmsMedia_Look(dms->media, object, &held.info);
        paging->held.push_back(std::move(held));
        return true;
    }
    EmitObject(paging, object, size, nullptr);
    return true;
}

// The address the first res of an answer names.
std::uint32_t FirstAddress(const MSA_BrowseRequest* request) noexcept
{
    if (request->addresses != nullptr && request->address_count > 0) return request->addresses[0];
    if (request->receiving_address != 0) return request->receiving_address;
    return htonl(INADDR_LOOPBACK);
}

// Adds the object's resources and appends it to the answer; lets go of it.
void EmitObject(DmsBrowsePaging* paging, CdsObject* object, std::int64_t size,
                const tv::DmsItemInfo* info) noexcept
{
    DmsIntegration* dms = paging->dms;
    AddResources(dms, paging->filter_mask, paging->request, object, size);
    if (info != nullptr)
        DmsMedia_Decorate(dms->media, object, *info, FirstAddress(paging->request));
    const tv::CdsDidlText didl =
        CdsToDidl_GetmediaObjectDidlEscaped(object, 0, paging->filter_mask, 0);
    if (didl.text == nullptr || didl.length < 1) {
        // The line keeps the name it always had: whoever reads the error stream knows it so.
        std::fprintf(stderr, "_MSL_ProcessQueue() failed to serialize object %s. Reason=%d.\r\n",
                     object->id != nullptr ? object->id : "", static_cast<int>(didl.error));
    } else if (!IsUtf8(didl.text, static_cast<std::size_t>(didl.length))) {
        // Counted like an object that cannot be rendered: undecodable bytes never reach the
        // document.
        ServerLog("Left out an object whose name is not UTF-8: %s",
                  object->source_path != nullptr ? object->source_path : "");
    } else {
        MSA_AppendResult(paging->server, paging->session, didl.text, didl.length);
        ++paging->returned;
    }
    tv::Free(didl.text);
    CdsObject_Release(object);
}

// Appends the held objects whose information is in, in order: false while the first one
// still waits for it.
bool EmitHeld(DmsBrowsePaging* paging) noexcept
{
    while (!paging->held.empty()) {
        DmsBrowsePaging::Held& front = paging->held.front();
        if (tv::CdsIsItem(front.object->media_class) &&
            DmsMedia_Look(paging->dms->media, front.object, &front.info))
            return false;
        DmsBrowsePaging::Held held = std::move(front);
        paging->held.pop_front();
        EmitObject(paging, held.object, held.size,
                   tv::CdsIsItem(held.object->media_class) ? &held.info : nullptr);
        if (tv::WebSessionUnsentBytes(paging->session) > kBrowseUnsentBoundBytes) break;
    }
    return true;
}

// Containers first, then by the keys in their order; a key the listing sorts by itself
// keeps the listing's order.
bool SortsBefore(const std::vector<tv::DmsMediaSortKey>& keys, const DmsBrowsePaging::Held& a,
                 const DmsBrowsePaging::Held& b) noexcept
{
    const bool a_container = tv::CdsIsContainer(a.object->media_class);
    const bool b_container = tv::CdsIsContainer(b.object->media_class);
    if (a_container != b_container) return a_container;
    for (const tv::DmsMediaSortKey& key : keys) {
        int c = 0;
        switch (key.property) {
        case tv::DmsMediaSortProperty::kAlbum:
            c = tv::NaturalCompare(a.info.record.album, b.info.record.album);
            break;
        case tv::DmsMediaSortProperty::kArtist:
            c = tv::NaturalCompare(a.info.record.artist, b.info.record.artist);
            break;
        case tv::DmsMediaSortProperty::kTrack: {
            // Unknown numbers last.
            const auto number = [](const DmsBrowsePaging::Held& h) {
                return h.info.status == tv::MediaInfoStatus::kKnown && h.info.record.track > 0
                           ? h.info.record.track
                           : INT32_MAX;
            };
            c = number(a) < number(b) ? -1 : number(a) > number(b) ? 1 : 0;
            break;
        }
        case tv::DmsMediaSortProperty::kListing:
            c = a.order < b.order ? -1 : a.order > b.order ? 1 : 0;
            break;
        }
        if (c != 0) return key.ascending ? c < 0 : c > 0;
    }
    return a.order < b.order;
}

// Every child built and known: sorts them and keeps the page asked for.
void SortAndCut(DmsBrowsePaging* paging) noexcept
{
    std::stable_sort(paging->held.begin(), paging->held.end(),
                     [&](const DmsBrowsePaging::Held& a, const DmsBrowsePaging::Held& b) {
                         return SortsBefore(paging->media_sort, a, b);
                     });
    const MSA_BrowseRequest* request = paging->request;
    std::size_t skip = std::min<std::size_t>(request->starting_index, paging->held.size());
    for (std::size_t i = 0; i < skip; ++i) {
        CdsObject_Release(paging->held.front().object);
        paging->held.pop_front();
    }
    while (request->requested_count != 0 && paging->held.size() > request->requested_count) {
        CdsObject_Release(paging->held.back().object);
        paging->held.pop_back();
    }
    paging->sorted = true;
}

// A sorted page: builds every child, then waits until each one's information is in.
bool GatherForSort(DmsBrowsePaging* paging, bool* waiting_for_information) noexcept
{
    if (!paging->built_all) {
        if (!PageNextObject(paging)) paging->built_all = true;
        return true;
    }
    for (DmsBrowsePaging::Held& held : paging->held) {
        if (tv::CdsIsItem(held.object->media_class) &&
            DmsMedia_Look(paging->dms->media, held.object, &held.info)) {
            *waiting_for_information = true;
            return false;
        }
    }
    SortAndCut(paging);
    return true;
}

// With media information: builds ahead while the first held object waits, and appends what
// is ready. Tells whether the page goes on now (false: it waits for the service or is done).
bool PageWithInformation(DmsBrowsePaging* paging, bool* waiting_for_information) noexcept
{
    *waiting_for_information = false;
    if (!paging->media_sort.empty() && !paging->sorted)
        return GatherForSort(paging, waiting_for_information);
    if (!EmitHeld(paging)) {
        if (!paging->built_all && paging->media_sort.empty() && paging->held.size() < kHeldBound) {
            if (!PageNextObject(paging)) paging->built_all = true;
            return true;
        }
        *waiting_for_information = true;
        return false;
    }
    if (!paging->held.empty()) return true;  // stopped for the send queue
    if (paging->built_all) return false;
    if (!PageNextObject(paging)) paging->built_all = true;
    return !paging->built_all || !paging->held.empty();
}

void PagingDrained(OlvWebSession* session) noexcept;
void PagingConnectionEnded(OlvWebSession* session) noexcept;

void WaitForDrain(DmsBrowsePaging* paging) noexcept
{
    if (paging->waiting) return;
    tv::WebSessionAttachAnswer(paging->session, tv::WebAnswerKind::BrowsePaging, paging,
                               PagingDrained, PagingConnectionEnded);
    paging->next = paging->dms->waiting_answers;
    if (paging->next != nullptr) paging->next->previous = paging;
    paging->dms->waiting_answers = paging;
    paging->waiting = true;
}

// Chain thread. Goes on with the answer until it is complete, or until the connection holds
// more unsent bytes than the bound and the answer waits for the drain.
void RunPaging(DmsBrowsePaging* paging) noexcept
{
    OlvWebSession* session = paging->session;
    tv::WebSessionBeginGather(session);
    bool more;
    bool waiting_for_information = false;
    do {
        more = paging->dms->media != nullptr ? PageWithInformation(paging, &waiting_for_information)
                                             : PageNextObject(paging);
    } while (more && tv::WebSessionUnsentBytes(session) <= kBrowseUnsentBoundBytes);
    if (more || waiting_for_information) {
        // Waiting for the service is waiting like for the drain: the connection's end still
        // abandons the answer, and the resume looks again.
        tv::WebSessionEndGather(session);
        WaitForDrain(paging);
        return;
    }
    // The end completes the request when it drains: nothing may point here by then.
    StopWaiting(paging);
    long long update_id = FSE_CloseQuery(paging->dms->enumerator, paging->query);
    // Today's listing reports the SystemUpdateID that GetSystemUpdateID answers.
    if (paging->dms->modern != nullptr) update_id = MSA_GetSystemUpdateID(paging->server);
    MSA_EndResult(paging->server, session, paging->request, 1, paging->returned, paging->total,
                  static_cast<std::uint32_t>(update_id));
    tv::WebSessionEndGather(session);
    FreePaging(paging);
}

DmsBrowsePaging* PagingOf(OlvWebSession* session) noexcept
{
    return static_cast<DmsBrowsePaging*>(
        tv::WebSessionAnswerOwner(session, tv::WebAnswerKind::BrowsePaging));
}

void PagingDrained(OlvWebSession* session) noexcept
{
    if (DmsBrowsePaging* paging = PagingOf(session)) RunPaging(paging);
}

// The answer can no longer reach anyone. Ending it sends nothing and lets go of the session
// (the media server layer holds it until the answer's end). In a destroy hook at the chain's
// end the enumerator and the media server layer are gone already; neither is needed then.
void Abandon(DmsBrowsePaging* paging) noexcept
{
    const bool gone = tv::ChainEnding(paging->dms->chain);
    StopWaiting(paging);
    FSE_CloseQuery(gone ? nullptr : paging->dms->enumerator, paging->query);
    MSA_EndResult(gone ? nullptr : paging->server, paging->session, paging->request, 1,
                  paging->returned, paging->total, 0);
    FreePaging(paging);
}

void PagingConnectionEnded(OlvWebSession* session) noexcept
{
    if (DmsBrowsePaging* paging = PagingOf(session)) Abandon(paging);
}

// New media information: every answer waiting goes on (one that still waits for it parks
// again). A page may finish and leave the list meanwhile, so each is looked for again.
void ResumeWaitingAnswers(DmsIntegration* dms) noexcept
{
    std::vector<DmsBrowsePaging*> waiting;
    for (DmsBrowsePaging* p = dms->waiting_answers; p != nullptr; p = p->next) waiting.push_back(p);
    for (DmsBrowsePaging* paging : waiting) {
        bool listed = false;
        for (DmsBrowsePaging* p = dms->waiting_answers; p != nullptr && !listed; p = p->next)
            listed = p == paging;
        if (listed && !paging->held.empty() &&
            tv::WebSessionUnsentBytes(paging->session) <= kBrowseUnsentBoundBytes)
            RunPaging(paging);
    }
}

// Destroy hooks run after the end callbacks, the web server's among them: no session calls
// back, and every send is refused, so abandoning sends nothing.
void AbandonWaitingAnswers(DmsIntegration* dms) noexcept
{
    while (dms->waiting_answers != nullptr) Abandon(dms->waiting_answers);
}

}  // namespace

// ---- Text ----

char* Utf8FromAnsi(const char* text, int length) noexcept
{
    if (text == nullptr || length < 0) return nullptr;
    auto size = static_cast<std::size_t>(length);
    if (!IsUtf8(text, size)) return nullptr;
    return tv::CopyBytes(text, size);
}

char* AnsiFromUtf8(const char* text, int length) noexcept
{
    if (text == nullptr || length < 0) return nullptr;
    return tv::CopyBytes(text, static_cast<std::size_t>(length));
}

// ---- Creation and teardown ----

namespace {

// The content source answers every action the media server layer hands on.
void AnswerActions(MSA_Server* server)
{
    server->on_browse_search = DmsIntegration_HandleBrowse;
    server->on_get_system_update_id = AnswerSystemUpdateId;
    server->on_get_search_capabilities = AnswerSearchCapabilities;
    server->on_get_sort_capabilities = AnswerSortCapabilities;
    server->on_get_protocol_info = AnswerProtocolInfo;
    server->on_get_current_connection_ids = AnswerConnectionIds;
    server->on_get_current_connection_info = DmsIntegration_HandleConnectionInfo;
    server->on_statistics = IgnoreStatistics;
}

// Media information, when the service is there: its sort keys are offered too.
void StartMediaInformation(DmsIntegration* dms)
{
    dms->media = DmsMedia_Start(dms, ResumeWaitingAnswers);
    if (dms->media == nullptr) return;
    tv::Free(dms->sort_capabilities);
    dms->sort_capabilities = CopyText(tv::kDmsMediaSortCapabilities);
}

}  // namespace

DmsIntegration* DmsIntegration_Create(
    OlvChain* chain, tv::ServerContext* context, OlvThreadPool* pool, std::uint16_t port,
    const char* friendly_name, const char* udn, const char* serial_number,
    std::uint32_t sort_capabilities_mask, std::uint32_t search_capabilities_mask,
    const char* sink_protocol_info, const char* source_protocol_info,
    const char* content_root) noexcept
{
    if (chain == nullptr) return nullptr;
    const bool modern = context != nullptr && context->options.modern_listing;
    auto* dms = tv::NewChainObject<DmsIntegration>(
        tv::ChainHooks{nullptr, nullptr, DmsIntegration_Destroy});
    dms->search_capabilities = CapabilityText(search_capabilities_mask);
    // Today's listing offers what it honours, and serves the types it lists.
    dms->sort_capabilities =
        modern ? CopyText(tv::kFseSortCapabilities) : CapabilityText(sort_capabilities_mask);
    dms->sink_protocol_info = CopyText(sink_protocol_info);
    dms->source_protocol_info =
        modern ? CopyText(tv::ModernSourceProtocolInfo().c_str()) : CopyText(source_protocol_info);
    dms->chain = chain;
    dms->context = context;
    dms->pool = pool;
    dms->port = port;

    dms->device = MicroStack_Create(chain, context, friendly_name, udn, serial_number, 1800, port,
                                    tv::MsaActionTable());
    if (dms->device != nullptr) {
        dms->media_server =
            MSA_Create(chain, dms->device, dms->sink_protocol_info, dms->source_protocol_info, dms);
    }
    if (dms->media_server == nullptr) {
        // The stack (if any) already belongs to the chain and goes with it.
        DmsIntegration_Destroy(dms);
        ::operator delete(dms);
        return nullptr;
    }

    dms->web_server = MicroStack_GetWebServer(dms->device);
    OlvWebServer_AddVirtualDirectory(dms->web_server, kVirtualDirectory,
                                     static_cast<int>(std::strlen(kVirtualDirectory)),
                                     DmsIntegration_HttpRequest, dms);

    MSA_Server* server = dms->media_server;
    AnswerActions(server);
    {
        std::scoped_lock hold(dms->address_lock);
        dms->address_count = OlvLocalAddresses(*dms->context->served, &dms->addresses);
        MSA_SetLocalAddresses(server, dms->addresses, dms->address_count);
    }

    dms->enumerator = FSE_Create(chain, context, content_root, kVirtualDirectory);
    if (modern) StartModernListing(dms);
    if (modern && context->options.media_info) StartMediaInformation(dms);

    // A_ARG_TYPE_SearchCriteria stays declared: the Search action names it, and control
    // points refuse a description whose actions name a variable it does not declare.

    // The folder list was loaded just before the server started.
    dms->settings = tv::SharedFolders_FileStamp(*context->folders);
    OlvChain_Add(chain, dms);
    return dms;
}

void DmsIntegration_NotifyAddressChange(DmsIntegration* dms) noexcept
{
    if (dms == nullptr || dms->device == nullptr) return;
    // ALLIP names the addresses the machine has now, not those it had at start.
    {
        std::scoped_lock hold(dms->address_lock);
        tv::Free(dms->addresses);
        dms->address_count = OlvLocalAddresses(*dms->context->served, &dms->addresses);
        MSA_SetLocalAddresses(dms->media_server, dms->addresses, dms->address_count);
    }
    MicroStack_NotifyAddressChange(dms->device);
}

void DmsIntegration_Destroy(void* object) noexcept
{
    auto* dms = static_cast<DmsIntegration*>(object);
    AbandonWaitingAnswers(dms);
    {
        std::scoped_lock hold(dms->lock);
        tv::Free(dms->search_capabilities);
        tv::Free(dms->sort_capabilities);
        tv::Free(dms->sink_protocol_info);
        tv::Free(dms->source_protocol_info);
        dms->search_capabilities = dms->sort_capabilities = nullptr;
        dms->sink_protocol_info = dms->source_protocol_info = nullptr;
        delete dms->modern;
        dms->modern = nullptr;
        DmsMedia_Destroy(dms->media);
        dms->media = nullptr;
        std::scoped_lock hold_addresses(dms->address_lock);
        tv::Free(dms->addresses);
        dms->addresses = nullptr;
        dms->address_count = 0;
    }
    std::destroy_at(dms);
}

// ---- Content Directory and Connection Manager ----

void DmsIntegration_HandleConnectionInfo(MSA_Server* server, OlvWebSession* session,
                                         std::int32_t connection_id) noexcept
{
    if (connection_id == 0) {
        MSA_RespondGetCurrentConnectionInfo(server, session, -1, -1, "", "", -1, "Output",
                                            "Unknown");
    } else {
        MSA_RespondError(server, session, 706, "Connection does not exist.");
    }
}

namespace {

bool IsLoopback(std::uint32_t address)
{
    return (ntohl(address) >> 24) == 127;
}

// ALLIP res elements name only addresses the requester can reach: the one its request came to
// (first, as always) and, for a requester on another host, the others on a subnet it is on
// itself; never loopback. The server's own host may use any of them.
void KeepReachableAddresses(const tv::ServedInterfaces& served, OlvWebSession* session,
                            MSA_BrowseRequest* request)
{
    if (request->addresses == nullptr || request->address_count <= 1) return;
    std::uint32_t peer = session != nullptr ? tv::WebSessionRemoteAddress(session) : 0;
    const std::vector<tv::LocalAddress> local = tv::LocalAddressList(served);
    auto on_machine = [&](std::uint32_t address) {
        return std::any_of(local.begin(), local.end(),
                           [&](const tv::LocalAddress& l) { return l.address == address; });
    };
    if (IsLoopback(peer) || on_machine(peer)) return;
    int kept = 1;
    for (int i = 1; i < request->address_count; ++i) {
        std::uint32_t address = request->addresses[i];
        bool shared =
            !IsLoopback(address) &&
            std::any_of(local.begin(), local.end(), [&](const tv::LocalAddress& l) {
                return l.address == address && (peer & l.netmask) == (address & l.netmask);
            });
        if (shared) request->addresses[kept++] = address;
    }
    request->address_count = kept;
}

}  // namespace

void DmsIntegration_HandleBrowse(MSA_Server* server, OlvWebSession* session,
                                 MSA_BrowseRequest* request) noexcept
{
    DmsIntegration* dms = Owner(server);
    FollowFolderList(dms);
    std::uint32_t filter_mask = CdsFilter_Parse(request->filter);
    if (dms->media != nullptr && tv::DmsFilterNamesDetails(request->filter))
        filter_mask |= tv::kCdsFilterMediaDetails;
    if ((filter_mask & tv::kCdsFilterAllIp) != 0)
        KeepReachableAddresses(*dms->context->served, session, request);

    const char* id = request->object_id != nullptr ? request->object_id : "";
    char* converted = AnsiFromUtf8(id, static_cast<int>(std::strlen(id)));
    tv::Free(request->object_id);
    request->object_id = converted;

    std::vector<tv::DmsMediaSortKey> media_sort;
    if (dms->media != nullptr && request->kind != 0 && request->sort_criteria != nullptr) {
        // The listing sorts by the rest; what is read from the files is sorted here.
        std::string rest;
        if (tv::DmsSplitSortCriteria(request->sort_criteria, &media_sort, &rest)) {
            tv::Free(request->sort_criteria);
            request->sort_criteria = tv::CopyBytes(rest.data(), rest.size());
        }
    }

    int error = 0;
    FseQuery* query = FSE_OpenQuery(dms->enumerator, request, &error);
    if (query == nullptr) {
        const int code = error != 0 ? error : tv::kFseNoSuchObject;
        MSA_RespondError(server, session, code,
                         code == tv::kFseBadSortCriteria ? kBadSortCriteria : "Error");
        MSA_FreeBrowseRequest(request);
        return;
    }
    MSL_ProcessQueue(server, session, request, query, filter_mask, dms, std::move(media_sort));
}

void MSL_ProcessQueue(MSA_Server* server, OlvWebSession* session, MSA_BrowseRequest* request,
                      FseQuery* query, std::uint32_t filter_mask, DmsIntegration* dms,
                      std::vector<tv::DmsMediaSortKey> media_sort) noexcept
{
    if (session == nullptr) {
        FSE_CloseQuery(dms->enumerator, query);
        MSA_FreeBrowseRequest(request);
        return;
    }
    auto* paging = new DmsBrowsePaging;
    paging->dms = dms;
    paging->server = server;
    paging->session = session;
    paging->request = request;
    paging->query = query;
    paging->filter_mask = filter_mask;
    paging->media_sort = std::move(media_sort);
    // One object is one small chunk: gathered and corked, the answer leaves in few system
    // calls and full segments.
    tv::WebSessionCorkAnswer(session);
    tv::WebSessionBeginGather(session);
    if (dms->media != nullptr) {
        // The media root declares the namespaces of the art and subtitle elements.
        MSA_BeginResult(server, session, request, 0);
        MSA_AppendResult(server, session, tv::kDidlRootStartMedia.data(),
                         static_cast<int>(tv::kDidlRootStartMedia.size()));
    } else {
        MSA_BeginResult(server, session, request, 1);
    }
    RunPaging(paging);
}

void DmsIntegration_AddResources(DmsIntegration* dms, std::uint32_t filter_mask,
                                 const MSA_BrowseRequest* request, CdsObject* object) noexcept
{
    AddResources(dms, filter_mask, request, object, kSizeUnknown);
}

namespace {

void AddResources(DmsIntegration* dms, std::uint32_t filter_mask, const MSA_BrowseRequest* request,
                  CdsObject* object, std::int64_t known_size) noexcept
{
    if (object == nullptr || !tv::CdsIsItem(object->media_class) || object->source_path == nullptr)
        return;
    std::string_view path = object->source_path;
    bool partial = EndsWith(path, kPartialSuffix);
    std::string extension(ExtensionOf(path, true));

    int count = 1;
    if ((filter_mask & tv::kCdsFilterAllIp) != 0 && request->address_count > 1)
        count = request->address_count;

    std::int64_t size = partial ? -1
                        : known_size != kSizeUnknown
                            ? known_size
                            : FileIo_GetSize(dms->context, object->source_path);
    char* url_path = partial ? nullptr : FSE_PathToUrlPath(dms->enumerator, object->source_path);

    for (int i = 0; i < count; ++i) {
        CdsResource* resource = CdsObject_AllocateResource();
        resource->protocol_info = FileProtocolInfo(dms, extension, nullptr);
        resource->owned_mask |= tv::kCdsResOwnProtocolInfo;
        if (!partial && url_path != nullptr) {
            resource->size = size;
            std::uint32_t address = htonl(INADDR_LOOPBACK);
            if (request->addresses != nullptr && i < request->address_count)
                address = request->addresses[i];
            else if (request->receiving_address != 0)
                address = request->receiving_address;
            std::string url = tv::DmsContentUrl(dms, address, "", url_path);
            resource->value = tv::CopyBytes(url.data(), url.size());
            resource->owned_mask |= tv::kCdsResOwnValue;
        }
        tv::CdsObject_AppendResource(object, resource);
    }
    tv::Free(url_path);
}

}  // namespace

// ---- The virtual directory "content" ----

namespace {

// The escaped file path a content URL names: decoded once (the client escaped the escaped
// path once more), then mapped by the enumerator. Empty for a path with a NUL: cut there it
// would name another file than the one asked for, so it names none.
std::string FilePathOf(DmsIntegration* dms, std::string_view path_after) noexcept
{
    std::string raw(path_after);
    int decoded_length = OlvHttpUnescapeInPlace(raw.data());
    raw.resize(static_cast<std::size_t>(decoded_length));
    if (raw.find('\0') != std::string::npos) raw.clear();
    char* ansi = AnsiFromUtf8(raw.data(), static_cast<int>(raw.size()));
    std::string path(raw.size() + 2, '\0');
    int path_length = FSE_UrlPathToPath(dms->enumerator, ansi, static_cast<int>(raw.size()),
                                        path.data(), static_cast<int>(path.size()));
    tv::Free(ansi);
    path.resize(static_cast<std::size_t>(path_length > 0 ? path_length : 0));
    return path;
}

// The refusal of a name that is not served, as the transfer answers a missing file.
void RefuseNotFound(OlvWebSession* session) noexcept
{
    if (!tv::WebSessionRequestWhole(session)) return;
    tv::WebSessionEndAfterAnswer(session);
    OlvWebServer_SendBytes(session, kNotFound, sizeof kNotFound - 1, OwnStatic, 1);
}

}  // namespace

namespace tv {

std::string DmsContentUrl(const DmsIntegration* dms, std::uint32_t address, std::string_view route,
                          const char* url_path)
{
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, dotted, sizeof dotted);
    char port_text[8];
    std::snprintf(port_text, sizeof port_text, "%u",
                  static_cast<unsigned>(OlvWebServer_GetPort(dms->web_server)));
    std::string url = "http://";
    url += dotted;
    url += ':';
    url += port_text;
    url += '/';
    url += kVirtualDirectory;
    url += '/';
    url += route;
    url += url_path;
    auto* escaped =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(OlvHttpEscapeLength(url.c_str()))));
    OlvHttpEscape(escaped, url.c_str());
    std::string whole = escaped;
    tv::Free(escaped);
    // A "?" in a name would start the URL's query, which a client may drop.
    if (dms->modern != nullptr) {
        for (std::size_t at = 0; (at = whole.find('?', at)) != std::string::npos; at += 3)
            whole.replace(at, 1, "%3F");
    }
    return whole;
}

std::string DmsCsvEscape(std::string_view id)
{
    std::string out;
    out.reserve(id.size());
    for (char c : id) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

MediaKind DmsServedKind(const DmsIntegration* dms, std::string_view path) noexcept
{
    if (dms == nullptr || dms->modern == nullptr)
        return MediaKindOf(ExtensionOf(path, false), false);
    std::size_t slash = path.rfind('\\');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    MediaKind kind =
        MediaKindOf(dot == std::string_view::npos ? std::string_view() : name.substr(dot), true);
    if (FseLeftOutPath(path)) kind.published = false;
    return kind;
}

}  // namespace tv

namespace {

// GET or HEAD of a file: the transfer answers with the modes and protocolInfo of its type.
// What the file's known information adds to its answer: the listing's profile, and what a
// Samsung TV may ask for (its duration, the subtitles beside it).
void AddMediaInformation(DmsIntegration* dms, OlvWebSession* session, const std::string& path,
                         char** protocol_info, std::string* caption,
                         tv::MediaTransferSamsung* samsung)
{
    tv::MediaInfoRecord record;
    if (DmsMedia_Known(dms->media, path, &record)) {
        samsung->duration_ms = record.duration_ms;
        const std::string_view profile = tv::MediaInfo_DlnaProfile(record);
        if (!profile.empty()) {
            std::string with = tv::DmsWithProfile(*protocol_info, profile);
            tv::Free(*protocol_info);
            *protocol_info = tv::CopyBytes(with.data(), with.size());
        }
    }
    std::string subtitle = DmsMedia_SubtitleOf(dms->media, path);
    if (!subtitle.empty()) {
        char* url_path = FSE_PathToUrlPath(dms->enumerator, subtitle.c_str());
        *caption = tv::DmsContentUrl(dms, OlvWebServer_SessionLocalAddress(session), "", url_path);
        tv::Free(url_path);
        samsung->caption_uri = caption->c_str();
    }
}

void ServeFile(DmsIntegration* dms, OlvWebSession* session, OlvPacket* header,
               const std::string& path) noexcept
{
    const char* range = OlvPacket_GetHeader(header, "Range", 5);
    ServerLog("GET %s RANGE (%s)", path.c_str(), range != nullptr ? range : "");

    tv::MediaKind kind = tv::DmsServedKind(dms, path);
    // Subtitles are served beside the video they belong to, and only there.
    const std::string_view subtitle_type =
        dms->media != nullptr ? tv::DmsSubtitleType(path) : std::string_view();
    if (!subtitle_type.empty() && !kind.published &&
        DmsMedia_IsSubtitleBesideVideo(dms->media, path)) {
        tv::WebSessionCorkUntilFirstWindow(session);
        MediaTransfer_HandleGet(session, dms->pool, dms->context, header, path.c_str(),
                                tv::kTransferBackground | tv::kTransferInteractive,
                                subtitle_type == "srt" ? "text/srt" : "smi/caption", nullptr,
                                nullptr, nullptr, IgnoreTransferEnd,
                                tv::MediaTransferFraming::Length);
        return;
    }
    // Today's listing serves what it lists: a name it leaves out is not there.
    if (dms->modern != nullptr && !kind.published) {
        RefuseNotFound(session);
        return;
    }
    std::size_t slash = path.rfind('\\');
    std::string extension(ExtensionOf(dms->modern != nullptr && slash != std::string::npos
                                          ? std::string_view(path).substr(slash + 1)
                                          : std::string_view(path),
                                      false));
    CdsMediaClass media_class = 0;
    char* protocol_info = FileProtocolInfo(dms, extension, &media_class);
    int modes = tv::kTransferBackground;
    if (IsImage(media_class)) modes |= tv::kTransferInteractive;
    if (IsStreamed(media_class)) modes |= tv::kTransferStreaming;
    std::string caption;
    tv::MediaTransferSamsung samsung;
    if (dms->media != nullptr)
        AddMediaInformation(dms, session, path, &protocol_info, &caption, &samsung);
    const char* features = std::strrchr(protocol_info, ':');
    features = features != nullptr ? features + 1 : protocol_info;
    // Corked, the header waits for the body's first window and leaves in the same segment.
    tv::WebSessionCorkUntilFirstWindow(session);
    MediaTransfer_HandleGet(session, dms->pool, dms->context, header, path.c_str(), modes,
                            kind.mime_type, features, nullptr, nullptr, IgnoreTransferEnd,
                            dms->modern != nullptr ? tv::MediaTransferFraming::Length
                                                   : tv::MediaTransferFraming::Protocol,
                            samsung);
    tv::Free(protocol_info);
}

// The JPEG_TN of a listed file (a photo, a song's embedded picture, a folder's cover image):
// a listed name, confined like the file itself, and known to the service; else the 404 of a
// missing file.
void ServeThumbnail(DmsIntegration* dms, OlvWebSession* session, OlvPacket* header,
                    const std::string& path) noexcept
{
    ServerLog("GET thumbnail %s", path.c_str());
    std::string jpeg;
    if (!tv::DmsServedKind(dms, path).published || !DmsMedia_Thumbnail(dms->media, path, &jpeg)) {
        RefuseNotFound(session);
        return;
    }
    if (!tv::WebSessionRequestWhole(session)) return;
    const bool head = tv::EqualsCaseless(tv::View(header->method, header->method_length), "HEAD");
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                         std::to_string(jpeg.size()) +
                         "\r\ncontentFeatures.dlna.org: " + tv::kDmsThumbnailFeatures +
                         "\r\ntransferMode.dlna.org: Interactive\r\nConnection: close\r\n\r\n";
    if (!head) answer += jpeg;
    tv::WebSessionEndAfterAnswer(session);
    OlvWebServer_SendBytes(session, answer.data(), answer.size(), OwnCopy, 1);
}

}  // namespace

void DmsIntegration_HttpRequest(OlvWebSession* session, OlvPacket* header, char* /*body*/,
                                int* begin, int end, tv::WebDelivery done, void* user) noexcept
{
    auto* dms = static_cast<DmsIntegration*>(user);
    if (header == nullptr || header->method == nullptr) return;
    if (begin != nullptr) *begin = end;          // a body under "content" has no use here
    if (done != tv::WebDelivery::Final) return;  // answered once the request is complete
    // Nothing is sent for a method this directory does not serve, but the connection is not
    // left waiting for an answer that never comes: with only five connections, a few such
    // requests would otherwise shut every other client out.
    if (header->method_length != 3 && header->method_length != 4) {
        OlvWebServer_CloseSession(session);
        return;
    }
    ServerLog("%s", "Incoming http request");
    FollowFolderList(dms);

    std::string_view method(header->method, static_cast<std::size_t>(header->method_length));
    auto same = [&](std::string_view word) { return tv::EqualsCaseless(method, word); };

    if (same("POST")) {
        // The text has no Content-Length: the client can only see its end when the
        // connection closes, so it is not kept open for another request.
        tv::WebSessionEndAfterAnswer(session);
        OlvWebServer_SendBytes(session, kPost400, sizeof kPost400 - 1, OwnStatic, 1);
        return;
    }
    if (!same("GET") && !same("HEAD")) {
        OlvWebServer_CloseSession(session);
        return;
    }

    constexpr std::string_view kThumbRoute = "/thumb/";
    std::string_view raw(header->path != nullptr ? header->path : "",
                         header->path != nullptr ? static_cast<std::size_t>(header->path_length)
                                                 : 0);
    if (dms->media != nullptr && raw.starts_with(kThumbRoute)) {
        raw.remove_prefix(kThumbRoute.size() - 1);
        ServeThumbnail(dms, session, header, FilePathOf(dms, raw));
        return;
    }
    ServeFile(dms, session, header, FilePathOf(dms, raw));
}
