// The media server layer: the ContentDirectory and ConnectionManager actions between the device
// stack's SOAP routing and the content source. It owns the action table the stack is created
// with; its handlers log, check and copy the arguments, hold the session and pass a request to
// the content source's slot; the content source answers through the MSA_Respond*/MSA_*Result
// operations, each final one giving the session back.
#pragma once

#include <cstdint>
#include <mutex>

#include "net/OlvAsyncSocket.h"
#include "runtime/OlvChain.h"
#include "upnp/ActionTable.h"

struct MicroStack;
struct OlvWebSession;
struct MSA_Server;

namespace tv {

enum MsaBrowseKind : std::int32_t {
    kMsaKindBrowseMetadata = 0,
    kMsaKindBrowseDirectChildren = 1,
    kMsaKindSearch = 2,
};

// Positions of the invocation counters; each row of the action table names its own.
enum MsaStatistic : int {
    kMsaStatBrowse = 0,
    kMsaStatSearch = 1,
    kMsaStatGetSystemUpdateID = 2,
    kMsaStatGetSearchCapabilities = 3,
    kMsaStatGetSortCapabilities = 4,
    kMsaStatGetCurrentConnectionIDs = 5,
    kMsaStatGetCurrentConnectionInfo = 6,
    kMsaStatGetProtocolInfo = 7,
};
inline constexpr int kMsaStatisticCount = 8;

struct MsaStatistics {
    std::uint32_t count[kMsaStatisticCount] = {};
};

}  // namespace tv

// Browse or Search arguments as the content source receives them. The texts and `addresses` are
// tv::Malloc memory freed by MSA_FreeBrowseRequest: a consumer that replaces a text frees the
// old one with tv::Free and stores tv::Malloc memory.
struct MSA_BrowseRequest {
    std::int32_t kind = tv::kMsaKindBrowseMetadata;  // a tv::MsaBrowseKind
    char* object_id = nullptr;  // ObjectID or ContainerID, XML-unescaped a second time
    char* filter = nullptr;
    std::uint32_t starting_index = 0;
    std::uint32_t requested_count = 0;
    char* sort_criteria = nullptr;
    char* search_criteria = nullptr;      // Search only
    std::uint16_t port = 0;               // of the web server that took the request
    std::uint32_t receiving_address = 0;  // network order
    std::uint32_t* addresses = nullptr;   // the local addresses, receiving_address first
    int address_count = 0;
};

namespace tv {

// Content source slots, on the chain thread. Each must answer through exactly one final
// response operation; the browse handler owns the request.
using MsaBrowseSearchFn = void (*)(MSA_Server* server, OlvWebSession* session,
                                   MSA_BrowseRequest* request) noexcept;
using MsaSessionFn = void (*)(MSA_Server* server, OlvWebSession* session) noexcept;
using MsaConnectionInfoFn = void (*)(MSA_Server* server, OlvWebSession* session,
                                     std::int32_t connection_id) noexcept;
using MsaStatisticsFn = void (*)(MSA_Server* server, const MsaStatistics* statistics) noexcept;

// The layer's action table: one row per action of both services, each with its handler below.
// The device stack is created with it.
ActionTable MsaActionTable() noexcept;

}  // namespace tv

// Guarded by `lock`.
struct MSA_State {
    std::mutex lock;
    std::uint32_t system_update_id = 0;
    std::uint32_t* addresses = nullptr;  // network order
    int address_count = 0;
    void* user = nullptr;
    tv::MsaStatistics* statistics = nullptr;
};

// A chained object; the chain destroys it. The content source fills the on_* slots after
// MSA_Create and before the chain runs; an action whose slot is empty is answered with 501
// "Action Failed: Action Not Implemented".
struct MSA_Server {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    MicroStack* device = nullptr;
    MSA_State* state = nullptr;
    tv::MsaStatisticsFn on_statistics = nullptr;
    tv::MsaBrowseSearchFn on_browse_search = nullptr;
    tv::MsaSessionFn on_get_system_update_id = nullptr;
    tv::MsaSessionFn on_get_search_capabilities = nullptr;
    tv::MsaSessionFn on_get_sort_capabilities = nullptr;
    tv::MsaSessionFn on_get_protocol_info = nullptr;
    tv::MsaSessionFn on_get_current_connection_ids = nullptr;
    tv::MsaConnectionInfoFn on_get_current_connection_info = nullptr;
};

// ---- Creation and upkeep ----

// Before the chain runs, on the thread that will run it, for a device created with
// tv::MsaActionTable(). Publishes the evented variables (the protocolInfo texts are copied
// there; null counts as ""), becomes the device's tag and joins the chain. Null for a null
// chain or device.
[[nodiscard]] MSA_Server* MSA_Create(OlvChain* chain, MicroStack* device,
                                     const char* sink_protocol_info,
                                     const char* source_protocol_info, void* user) noexcept;
// Any thread. Replaces the address list (network order) with a copy.
void MSA_SetLocalAddresses(MSA_Server* server, const std::uint32_t* addresses, int count) noexcept;
// Any thread. -1 for a null server.
long long MSA_GetSystemUpdateID(MSA_Server* server) noexcept;
// Any thread. The content changed: SystemUpdateID becomes `system_update_id`, and
// ContainerUpdateIDs the containers' "id,updateID" pairs; both are evented.
void MSA_SetUpdateIDs(MSA_Server* server, std::uint32_t system_update_id,
                      const char* container_update_ids) noexcept;
// Any thread. Null for a null server.
void* MSA_GetUser(MSA_Server* server) noexcept;
// The chain's destroy hook.
void MSA_Destroy(void* object) noexcept;

// ---- Action handlers (chain thread; the table's rows) ----
// Each logs its invocation line, counts it, and hands the action to its content source slot,
// holding the session until the answer gives it back. Each returns SendAllSent once it did so,
// else the result of the fault it sent.

OlvSendResult MediaServer_ContentDirectory_Browse(OlvWebSession* session, const char* object_id,
                                                  const char* browse_flag, const char* filter,
                                                  std::uint32_t starting_index,
                                                  std::uint32_t requested_count,
                                                  const char* sort_criteria) noexcept;
OlvSendResult MediaServer_ContentDirectory_Search(OlvWebSession* session, const char* container_id,
                                                  const char* search_criteria, const char* filter,
                                                  std::uint32_t starting_index,
                                                  std::uint32_t requested_count,
                                                  const char* sort_criteria) noexcept;
OlvSendResult MediaServer_ContentDirectory_GetSystemUpdateID(OlvWebSession* session) noexcept;
OlvSendResult MediaServer_ContentDirectory_GetSearchCapabilities(OlvWebSession* session) noexcept;
OlvSendResult MediaServer_ContentDirectory_GetSortCapabilities(OlvWebSession* session) noexcept;
OlvSendResult MediaServer_ConnectionManager_GetProtocolInfo(OlvWebSession* session) noexcept;
OlvSendResult MediaServer_ConnectionManager_GetCurrentConnectionIDs(
    OlvWebSession* session) noexcept;
OlvSendResult MediaServer_ConnectionManager_GetCurrentConnectionInfo(
    OlvWebSession* session, std::int32_t connection_id) noexcept;
// Samsung's, with media information only: logs its line and answers at once, uncounted, with
// the fixed FeatureList (every kind of item from the root). A Samsung TV that gets an error
// for it shows no files.
OlvSendResult MediaServer_ContentDirectory_X_GetFeatureList(OlvWebSession* session) noexcept;

// ---- Response operations (any thread while the session is held) ----
// All but MSA_BeginResult and MSA_AppendResult give the session back. A null session makes
// them do nothing and return SendNoSession.

OlvSendResult MSA_RespondError(MSA_Server* server, OlvWebSession* session, int error_code,
                               const char* description) noexcept;
// Opens the Browse or Search response and its Result, with the DIDL-Lite root start tag when
// `with_root`. Negative on failure.
OlvSendResult MSA_BeginResult(MSA_Server* server, OlvWebSession* session,
                              const MSA_BrowseRequest* request, int with_root) noexcept;
// Appends `length` bytes (copied) to Result.
OlvSendResult MSA_AppendResult(MSA_Server* server, OlvWebSession* session, const char* text,
                               int length) noexcept;
// Closes Result, writes NumberReturned, TotalMatches and UpdateID and ends the response.
OlvSendResult MSA_EndResult(MSA_Server* server, OlvWebSession* session,
                            const MSA_BrowseRequest* request, int with_root,
                            std::uint32_t number_returned, std::uint32_t total_matches,
                            std::uint32_t update_id) noexcept;
OlvSendResult MSA_RespondGetSystemUpdateID(MSA_Server* server, OlvWebSession* session,
                                           std::uint32_t id) noexcept;
OlvSendResult MSA_RespondGetSearchCapabilities(MSA_Server* server, OlvWebSession* session,
                                               const char* search_capabilities) noexcept;
OlvSendResult MSA_RespondGetSortCapabilities(MSA_Server* server, OlvWebSession* session,
                                             const char* sort_capabilities) noexcept;
OlvSendResult MSA_RespondGetProtocolInfo(MSA_Server* server, OlvWebSession* session,
                                         const char* source, const char* sink) noexcept;
OlvSendResult MSA_RespondGetCurrentConnectionIDs(MSA_Server* server, OlvWebSession* session,
                                                 const char* connection_ids) noexcept;
OlvSendResult MSA_RespondGetCurrentConnectionInfo(MSA_Server* server, OlvWebSession* session,
                                                  int rcs_id, int av_transport_id,
                                                  const char* protocol_info,
                                                  const char* peer_connection_manager,
                                                  int peer_connection_id, const char* direction,
                                                  const char* status) noexcept;

// Any thread. Frees the texts, the address copy and the record; null is ignored.
void MSA_FreeBrowseRequest(MSA_BrowseRequest* request) noexcept;
