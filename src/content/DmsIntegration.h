// The content source: builds the device stack and the media server layer on the chain, answers
// Browse and Search from the file system enumerator page by page, adds the res elements of
// items, and serves the virtual directory "content" through the media transfer.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "content/MediaTypes.h"
#include "http/OlvWebReader.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvPacket.h"
#include "runtime/ServerOptions.h"
#include "shares/SharedFolders.h"

struct OlvThreadPool;
struct OlvWebServer;
struct OlvWebSession;
struct MicroStack;
struct MSA_Server;
struct MSA_BrowseRequest;
struct FSE_Enumerator;
struct FseQuery;
struct CdsObject;
struct DmsBrowsePaging;
struct DmsModern;
struct DmsMedia;

namespace tv {
struct ServerContext;

// A SortCriteria key on what is read from the files, or one the listing sorts by itself.
enum class DmsMediaSortProperty : std::uint8_t { kListing, kAlbum, kTrack, kArtist };
struct DmsMediaSortKey {
    DmsMediaSortProperty property = DmsMediaSortProperty::kListing;
    bool ascending = true;
};
// What today's listing sorts by with media information (GetSortCapabilities).
inline constexpr char kDmsMediaSortCapabilities[] =
    "dc:title,dc:date,upnp:class,upnp:album,upnp:originalTrackNumber,upnp:artist";
// True when the criteria name upnp:album, upnp:originalTrackNumber or upnp:artist: *keys gets
// every key in order (the others as kListing) and *rest the criteria without those three.
bool DmsSplitSortCriteria(std::string_view criteria, std::vector<DmsMediaSortKey>* keys,
                          std::string* rest);
}  // namespace tv

// A protocolInfo text built once for the files of one extension.
struct DmsKnownProtocolInfo {
    std::string extension;
    std::string text;
    CdsMediaClass media_class = 0;
};

// A chained object; the chain destroys it.
struct DmsIntegration {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    char* search_capabilities = nullptr;
    char* sort_capabilities = nullptr;
    char* sink_protocol_info = nullptr;
    char* source_protocol_info = nullptr;
    std::mutex lock;  // taken while the record is torn down
    OlvChain* chain = nullptr;
    tv::ServerContext* context = nullptr;  // outlives the chain
    MicroStack* device = nullptr;
    OlvWebServer* web_server = nullptr;
    std::uint16_t port = 0;
    MSA_Server* media_server = nullptr;
    FSE_Enumerator* enumerator = nullptr;
    OlvThreadPool* pool = nullptr;
    DmsBrowsePaging* waiting_answers = nullptr;  // Browse answers waiting for a drain (a list)
    std::mutex address_lock;                     // guards the address list while it is captured
    std::uint32_t* addresses = nullptr;          // network order
    int address_count = 0;
    tv::SharedFoldersStamp settings;     // the settings file as last read (chain thread)
    std::int64_t retry_left_out_ms = 0;  // when folders left out are looked at again
    bool left_out_known = false;
    std::string left_out;         // the lines last logged for folders left out
    DmsModern* modern = nullptr;  // today's listing; null for the protocol's own
    std::vector<DmsKnownProtocolInfo> known_protocol_infos;  // chain thread
    DmsMedia* media = nullptr;  // media information; null without the service
};

// Before the chain runs, on the thread that will run it. Null when the device stack or the
// media server layer cannot be created (nothing is then added to the chain by this call).
// Everything it creates serves by the context, which must outlive the chain. With
// context->options.modern_listing the server lists as today's TVs expect: the source list and
// sort capabilities become today's, and SystemUpdateID starts from the clock and follows the
// shared folders (moderated events with ContainerUpdateIDs).
[[nodiscard]] DmsIntegration* DmsIntegration_Create(
    OlvChain* chain, tv::ServerContext* context, OlvThreadPool* pool, std::uint16_t port,
    const char* friendly_name, const char* udn, const char* serial_number,
    std::uint32_t sort_capabilities_mask, std::uint32_t search_capabilities_mask,
    const char* sink_protocol_info, const char* source_protocol_info,
    const char* content_root) noexcept;

namespace tv {
// The URL of a file below the "content" directory at the address, escaped: `route` ("" for
// the file itself, "thumb/" for its thumbnail) and the file's URL path (FSE_PathToUrlPath).
std::string DmsContentUrl(const DmsIntegration* dms, std::uint32_t address, std::string_view route,
                          const char* url_path);
// ContainerUpdateIDs' CSV form of an ObjectID: "," and "\" escaped with a "\".
std::string DmsCsvEscape(std::string_view id);
// What the "content" directory serves at the escaped file path ("%2Fsrv%2Fmedia\a.mkv"): its
// MIME type and class, and whether it is served at all (today's listing serves only what it
// lists; the protocol's own serves any file, by its table).
MediaKind DmsServedKind(const DmsIntegration* dms, std::string_view path) noexcept;
}  // namespace tv

// Any thread. Flags the device stack and wakes the chain; null is ignored.
void DmsIntegration_NotifyAddressChange(DmsIntegration* dms) noexcept;

// The chain's destroy hook of the record.
void DmsIntegration_Destroy(void* object) noexcept;

// ---- Handlers (chain thread) ----

void DmsIntegration_HandleBrowse(MSA_Server* server, OlvWebSession* session,
                                 MSA_BrowseRequest* request) noexcept;
void DmsIntegration_HandleConnectionInfo(MSA_Server* server, OlvWebSession* session,
                                         std::int32_t connection_id) noexcept;
// The handler of the virtual directory "content"; `user` is the content source.
void DmsIntegration_HttpRequest(OlvWebSession* session, OlvPacket* header, char* body, int* begin,
                                int end, tv::WebDelivery done, void* user) noexcept;

// Pages one open query into the session's Browse response. Takes the query and the request:
// they are freed when the answer has gone out, which for a client that reads slowly is later.
// `media_sort`: a SortCriteria on what is read from the files (with media information).
void MSL_ProcessQueue(MSA_Server* server, OlvWebSession* session, MSA_BrowseRequest* request,
                      FseQuery* query, std::uint32_t filter_mask, DmsIntegration* dms,
                      std::vector<tv::DmsMediaSortKey> media_sort = {}) noexcept;

// Appends the res elements of an item (nothing for containers).
void DmsIntegration_AddResources(DmsIntegration* dms, std::uint32_t filter_mask,
                                 const MSA_BrowseRequest* request, CdsObject* object) noexcept;

// Text conversions between the ANSI code page (UTF-8 here) and UTF-8: new tv::Malloc texts.
// Utf8FromAnsi gives null for text that is not valid UTF-8, so that nothing undecodable
// reaches an XML document; AnsiFromUtf8 passes every byte through.
[[nodiscard]] char* Utf8FromAnsi(const char* text, int length) noexcept;
[[nodiscard]] char* AnsiFromUtf8(const char* text, int length) noexcept;
