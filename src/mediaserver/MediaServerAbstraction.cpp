// The media server layer. Its handlers run on the chain thread, called from the device stack's
// SOAP slots; the content source may answer later from any thread, since every dispatched
// request holds its session until a final response operation gives it back. The server owns
// its state record (texts, address list, counters); the chain owns the server.
#include "mediaserver/MediaServerAbstraction.h"

#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "cds/CdsDidlSerializer.h"
#include "http/OlvWebServer.h"
#include "runtime/Memory.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvThreadPool.h"
#include "runtime/ServerLog.h"
#include "upnp/MicroStack.h"

static_assert(std::is_standard_layout_v<MSA_Server>);
static_assert(offsetof(MSA_Server, hooks) == 0);

namespace {

constexpr char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr char kInternalError[] = "Unknown or internal error encountered.";

const char* OrEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

char* CopyText(const char* text)
{
    text = OrEmpty(text);
    return tv::CopyBytes(text, std::strlen(text));
}

MSA_Server* ServerOf(OlvWebSession* session)
{
    MicroStack* device = tv::MicroStackOfSession(session);
    return device != nullptr ? static_cast<MSA_Server*>(MicroStack_GetTag(device)) : nullptr;
}

MSA_BrowseRequest* BrowseArgument(std::uint64_t argument)
{
    return reinterpret_cast<MSA_BrowseRequest*>(static_cast<std::uintptr_t>(argument));
}

std::uint64_t ArgumentOf(MSA_BrowseRequest* browse)
{
    return reinterpret_cast<std::uintptr_t>(browse);
}

// ---- The action table ----

// A content source slot as the dispatch sees it: whether it is set, how many request
// arguments its signature takes, and a call that passes the argument on in its type.
struct Slot {
    bool (*present)(const MSA_Server& server) noexcept;
    void (*call)(MSA_Server* server, OlvWebSession* session, std::uint64_t argument) noexcept;
    int arguments;
    bool takes_browse_request;  // which the dispatch frees when the slot cannot take it
};

template <auto Member>
using SlotType = std::remove_cvref_t<decltype(std::declval<MSA_Server&>().*Member)>;

template <auto Member>
bool SlotSet(const MSA_Server& server) noexcept
{
    return server.*Member != nullptr;
}

template <auto Member>
void CallSlot(MSA_Server* server, OlvWebSession* session, std::uint64_t argument) noexcept
{
    using Fn = SlotType<Member>;
    if constexpr (std::is_same_v<Fn, tv::MsaSessionFn>) {
        (server->*Member)(server, session);
    } else if constexpr (std::is_same_v<Fn, tv::MsaConnectionInfoFn>) {
        (server->*Member)(server, session,
                          static_cast<std::int32_t>(static_cast<std::uint32_t>(argument)));
    } else {
        static_assert(std::is_same_v<Fn, tv::MsaBrowseSearchFn>);
        (server->*Member)(server, session, BrowseArgument(argument));
    }
}

template <auto Member>
constexpr Slot kSlot = {
    .present = SlotSet<Member>,
    .call = CallSlot<Member>,
    .arguments = std::is_same_v<SlotType<Member>, tv::MsaSessionFn> ? 0 : 1,
    .takes_browse_request = std::is_same_v<SlotType<Member>, tv::MsaBrowseSearchFn>,
};

// `log` is the handler's name in its invocation line.
struct MsaAction {
    tv::MsaActionType type;
    tv::MsaStatistic stat;
    const char* log;
    Slot slot;
};

// In the order of the type bits.
constexpr MsaAction kActions[] = {
    {.type = tv::kMsaBrowse,
     .stat = tv::kMsaStatBrowse,
     .log = "MediaServer_ContentDirectory_Browse",
     .slot = kSlot<&MSA_Server::on_browse_search>},
    {.type = tv::kMsaSearch,
     .stat = tv::kMsaStatSearch,
     .log = "MediaServer_ContentDirectory_Search",
     .slot = kSlot<&MSA_Server::on_browse_search>},
    {.type = tv::kMsaGetSystemUpdateID,
     .stat = tv::kMsaStatGetSystemUpdateID,
     .log = "MediaServer_ContentDirectory_GetSystemUpdateID",
     .slot = kSlot<&MSA_Server::on_get_system_update_id>},
    {.type = tv::kMsaGetSearchCapabilities,
     .stat = tv::kMsaStatGetSearchCapabilities,
     .log = "MediaServer_ContentDirectory_GetSearchCapabilities",
     .slot = kSlot<&MSA_Server::on_get_search_capabilities>},
    {.type = tv::kMsaGetSortCapabilities,
     .stat = tv::kMsaStatGetSortCapabilities,
     .log = "MediaServer_ContentDirectory_GetSortCapabilities",
     .slot = kSlot<&MSA_Server::on_get_sort_capabilities>},
    {.type = tv::kMsaGetProtocolInfo,
     .stat = tv::kMsaStatGetProtocolInfo,
     .log = "MediaServer_ConnectionManager_GetProtocolInfo",
     .slot = kSlot<&MSA_Server::on_get_protocol_info>},
    {.type = tv::kMsaGetCurrentConnectionIDs,
     .stat = tv::kMsaStatGetCurrentConnectionIDs,
     .log = "MediaServer_ConnectionManager_GetCurrentConnectionIDs",
     .slot = kSlot<&MSA_Server::on_get_current_connection_ids>},
    {.type = tv::kMsaGetCurrentConnectionInfo,
     .stat = tv::kMsaStatGetCurrentConnectionInfo,
     .log = "MediaServer_ConnectionManager_GetCurrentConnectionInfo",
     .slot = kSlot<&MSA_Server::on_get_current_connection_info>},
};
static_assert(std::size(kActions) == tv::kMsaActionCount);

// Row i holds type bit i, and each counter belongs to one row.
constexpr bool RowsAreConsistent()
{
    unsigned stats = 0;
    for (int i = 0; i < tv::kMsaActionCount; ++i) {
        if (kActions[i].type != 1 << i || kActions[i].stat < 0 ||
            kActions[i].stat >= tv::kMsaActionCount)
            return false;
        stats |= 1u << kActions[i].stat;
    }
    return stats == (1u << tv::kMsaActionCount) - 1;
}
static_assert(RowsAreConsistent());

// The row of an action type bit; null for anything else.
const MsaAction* ActionOf(int type)
{
    const auto bits = static_cast<unsigned>(type);
    if (!std::has_single_bit(bits) || std::countr_zero(bits) >= tv::kMsaActionCount) return nullptr;
    return &kActions[std::countr_zero(bits)];
}

// ---- Handler steps ----

void CountInvocation(MSA_Server* server, tv::MsaStatistic which)
{
    if (server == nullptr || server->on_statistics == nullptr || server->state == nullptr) return;
    MSA_State* state = server->state;
    {
        std::scoped_lock lock(state->lock);
        if (state->statistics == nullptr) return;
        ++state->statistics->count[which];
    }
    server->on_statistics(server, state->statistics);
}

// Prints "UPnP Invoke: <handler>(<inside>);\r\n", or with " - ID <id>" before the ";" when
// `id` is given, and counts the call. Standard output is flushed at once so that the line
// interleaves in order with the other diagnostics of a headless server. Returns the server.
MSA_Server* Announce(OlvWebSession* session, const MsaAction& action, const char* inside = "",
                     const char* id = nullptr)
{
    MSA_Server* server = ServerOf(session);
    // The identifier comes from the network: a line end in it would start a line of its own.
    std::printf("UPnP Invoke: %s(%s)%s%s;\r\n", action.log, inside, id != nullptr ? " - ID " : "",
                tv::ServerLogEscaped(OrEmpty(id)).c_str());
    std::fflush(stdout);
    CountInvocation(server, action.stat);
    return server;
}

// Hands the action on with its argument, if its slot takes one. Without a server to take it,
// answers 500 itself (after freeing a browse request, which nobody else will).
int Hand(MSA_Server* server, OlvWebSession* session, const MsaAction& action,
         std::uint64_t argument = 0)
{
    MSA_ActionRequest* request = tv::MsaNewActionRequest(action.type, server, session);
    if (action.slot.arguments > 0) tv::MsaAddArgument(request, argument);
    if (tv::MsaDispatch(request) == 0) return 0;
    if (action.slot.takes_browse_request) MSA_FreeBrowseRequest(BrowseArgument(argument));
    return MicroStack_SendFault(session, 500, kInternalError);
}

// The five handlers without arguments.
int Invoke(OlvWebSession* session, tv::MsaActionType type)
{
    const MsaAction& action = *ActionOf(type);
    return Hand(Announce(session, action), session, action);
}

// The address copy of a request: the state's list with the receiving address first. When the
// receiving address sits further down the list, it trades places with the old first entry;
// when it is not in the list at all, it takes the first entry's place.
void CopyAddresses(MSA_Server* server, MSA_BrowseRequest* request)
{
    std::uint32_t* copy = nullptr;
    int count = 0;
    if (server != nullptr && server->state != nullptr) {
        MSA_State* state = server->state;
        std::scoped_lock lock(state->lock);
        if (state->address_count > 0) {
            count = state->address_count;
            copy = static_cast<std::uint32_t*>(
                tv::Malloc(sizeof(std::uint32_t) * static_cast<std::size_t>(count)));
            std::memcpy(copy, state->addresses,
                        sizeof(std::uint32_t) * static_cast<std::size_t>(count));
        }
    }
    const std::uint32_t receiving = request->receiving_address;
    if (count == 0) {
        // An empty list still names the address the request arrived on.
        copy = static_cast<std::uint32_t*>(tv::Malloc(sizeof(std::uint32_t)));
        copy[0] = receiving;
        count = 1;
    } else if (copy[0] != receiving) {
        const std::uint32_t old_first = copy[0];
        copy[0] = receiving;
        for (int i = 1; i < count; ++i) {
            if (copy[i] == receiving) {
                copy[i] = old_first;
                break;
            }
        }
    }
    request->addresses = copy;
    request->address_count = count;
}

MSA_BrowseRequest* NewBrowseRequest(MSA_Server* server, OlvWebSession* session,
                                    tv::MsaBrowseKind kind, const char* object_id,
                                    const char* filter, std::uint32_t starting_index,
                                    std::uint32_t requested_count, const char* sort_criteria,
                                    const char* search_criteria)
{
    auto request = std::make_unique<MSA_BrowseRequest>();
    request->kind = kind;
    request->object_id = CopyText(object_id);
    OlvXmlUnescapeInPlace(request->object_id);
    request->filter = CopyText(filter);
    request->starting_index = starting_index;
    request->requested_count = requested_count;
    request->sort_criteria = CopyText(sort_criteria);
    if (kind == tv::kMsaKindSearch) request->search_criteria = CopyText(search_criteria);
    if (session != nullptr) {
        request->port = MicroStack_GetPort(session);
        request->receiving_address = MicroStack_SessionLocalAddress(session);
    }
    CopyAddresses(server, request.get());
    return request.release();
}

void RunRequest(MSA_ActionRequest* request)
{
    MSA_Server* server = request->server;
    const MsaAction* action = ActionOf(request->type);
    const bool present = action != nullptr && action->slot.present(*server);
    if (present && request->argument_count == action->slot.arguments) {
        action->slot.call(server, request->session, request->arguments[0]);
    } else {
        // Nobody takes the browse request over, so it is freed here rather than lost.
        if (action != nullptr && action->slot.takes_browse_request && request->argument_count >= 1)
            MSA_FreeBrowseRequest(BrowseArgument(request->arguments[0]));
        MSA_RespondError(server, request->session, 501,
                         present ? "Action Failed: Program Error"
                                 : "Action Failed: Action Not Implemented");
    }
    delete request;
}

void RunOnPool(OlvThreadPool*, void* data) noexcept
{
    RunRequest(static_cast<MSA_ActionRequest*>(data));
}

// The device stack's slots return nothing; the handlers return what they sent.
template <auto Handler, class... Args>
void Returnless(Args... args) noexcept
{
    Handler(args...);
}

constexpr tv::ChainHooks kServerHooks = {
    .pre_select = nullptr,
    .post_select = nullptr,
    .destroy = MSA_Destroy,
};

const char* ActionName(const MSA_BrowseRequest* request)
{
    return request != nullptr && request->kind == tv::kMsaKindSearch ? "Search" : "Browse";
}

// Gives the session back after a final response.
int Finish(OlvWebSession* session, int result)
{
    OlvWebServer_ReleaseSession(session);
    return result;
}

}  // namespace

// ---- Creation and upkeep ----

MSA_Server* MSA_Create(OlvChain* chain, MicroStack* device, void* /*context*/, int /*unused*/,
                       const char* sink_protocol_info, const char* source_protocol_info,
                       const char* /*sort_capabilities*/, const char* /*search_capabilities*/,
                       OlvThreadPool* pool, void* user) noexcept
{
    if (chain == nullptr || device == nullptr) return nullptr;

    auto state = std::make_unique<MSA_State>();
    state->user = user;
    state->statistics = new tv::MsaStatistics{};

    MSA_Server* server = tv::NewChainObject<MSA_Server>(kServerHooks);
    server->device = device;
    server->pool = pool;

    MicroStack_SetSystemUpdateID(device, 0);
    MicroStack_SetContainerUpdateIDs(device, "");
    MicroStack_SetSourceProtocolInfo(device, OrEmpty(source_protocol_info));
    MicroStack_SetSinkProtocolInfo(device, OrEmpty(sink_protocol_info));
    MicroStack_SetCurrentConnectionIDs(device, "");
    server->state = state.release();

    MicroStack_SetTag(device, server);
    OlvChain_Add(chain, server);

    ActionHandlers* slots = tv::MicroStackActionHandlers(device);
    slots->Browse = Returnless<MediaServer_ContentDirectory_Browse>;
    slots->Search = Returnless<MediaServer_ContentDirectory_Search>;
    slots->GetSearchCapabilities = Returnless<MediaServer_ContentDirectory_GetSearchCapabilities>;
    slots->GetSortCapabilities = Returnless<MediaServer_ContentDirectory_GetSortCapabilities>;
    slots->GetSystemUpdateID = Returnless<MediaServer_ContentDirectory_GetSystemUpdateID>;
    slots->GetCurrentConnectionIDs =
        Returnless<MediaServer_ConnectionManager_GetCurrentConnectionIDs>;
    slots->GetCurrentConnectionInfo =
        Returnless<MediaServer_ConnectionManager_GetCurrentConnectionInfo>;
    slots->GetProtocolInfo = Returnless<MediaServer_ConnectionManager_GetProtocolInfo>;

    DeviceRecord* record = MicroStack_GetDeviceRecord();
    if (record != nullptr && record->content_directory != nullptr) {
        record->content_directory->actions[tv::kCdsCreateObject] = nullptr;
        record->content_directory->actions[tv::kCdsDestroyObject] = nullptr;
    }
    return server;
}

void MSA_SetLocalAddresses(MSA_Server* server, const std::uint32_t* addresses, int count) noexcept
{
    if (server == nullptr || server->state == nullptr) return;
    std::uint32_t* copy = nullptr;
    if (count > 0 && addresses != nullptr) {
        copy = static_cast<std::uint32_t*>(
            tv::Malloc(sizeof(std::uint32_t) * static_cast<std::size_t>(count)));
        std::memcpy(copy, addresses, sizeof(std::uint32_t) * static_cast<std::size_t>(count));
    } else {
        count = 0;
    }
    MSA_State* state = server->state;
    std::uint32_t* old = nullptr;
    {
        std::scoped_lock lock(state->lock);
        old = state->addresses;
        state->addresses = copy;
        state->address_count = count;
    }
    tv::Free(old);
}

long long MSA_GetSystemUpdateID(MSA_Server* server) noexcept
{
    if (server == nullptr || server->state == nullptr) return -1;
    std::scoped_lock lock(server->state->lock);
    return server->state->system_update_id;
}

void* MSA_GetUser(MSA_Server* server) noexcept
{
    if (server == nullptr || server->state == nullptr) return nullptr;
    std::scoped_lock lock(server->state->lock);
    return server->state->user;
}

void MSA_Destroy(void* object) noexcept
{
    auto* server = static_cast<MSA_Server*>(object);
    MSA_State* state = server->state;
    if (state != nullptr) {
        {
            // Waits for a MSA_SetLocalAddresses that is under way on another thread.
            std::scoped_lock lock(state->lock);
            delete state->statistics;
            tv::Free(state->addresses);
        }
        delete state;
    }
    std::destroy_at(server);
}

// ---- Action handlers ----

int MediaServer_ContentDirectory_Browse(OlvWebSession* session, const char* object_id,
                                        const char* browse_flag, const char* filter,
                                        std::uint32_t starting_index, std::uint32_t requested_count,
                                        const char* sort_criteria) noexcept
{
    const MsaAction& action = *ActionOf(tv::kMsaBrowse);
    MSA_Server* server = Announce(session, action, "", OrEmpty(object_id));
    const char* flag = OrEmpty(browse_flag);
    tv::MsaBrowseKind kind = tv::kMsaKindBrowseMetadata;
    if (tv::EqualsCaseless(flag, "BrowseDirectChildren")) {
        kind = tv::kMsaKindBrowseDirectChildren;
        ServerLog("%s", "BrowseDirectChildren");
    } else if (tv::EqualsCaseless(flag, "BrowseMetadata")) {
        ServerLog("%s", "BrowseMetaData");
    } else {
        std::fprintf(stderr,
                     "WARNING: MediaServer_ContentDirectory_Browse(): Possible error with "
                     "generated microstack. Encountered BrowseFlag='%s'\r\n",
                     tv::ServerLogEscaped(flag).c_str());
        return MicroStack_SendFault(session, 402, "Invalid value specified for BrowseFlag.");
    }
    return Hand(
        server, session, action,
        ArgumentOf(NewBrowseRequest(server, session, kind, object_id, filter, starting_index,
                                    requested_count, sort_criteria, nullptr)));
}

int MediaServer_ContentDirectory_Search(OlvWebSession* session, const char* container_id,
                                        const char* search_criteria, const char* filter,
                                        std::uint32_t starting_index, std::uint32_t requested_count,
                                        const char* sort_criteria) noexcept
{
    const MsaAction& action = *ActionOf(tv::kMsaSearch);
    MSA_Server* server = Announce(session, action);
    return Hand(server, session, action,
                ArgumentOf(NewBrowseRequest(server, session, tv::kMsaKindSearch, container_id,
                                            filter, starting_index, requested_count, sort_criteria,
                                            search_criteria)));
}

int MediaServer_ContentDirectory_GetSystemUpdateID(OlvWebSession* session) noexcept
{
    return Invoke(session, tv::kMsaGetSystemUpdateID);
}

int MediaServer_ContentDirectory_GetSearchCapabilities(OlvWebSession* session) noexcept
{
    return Invoke(session, tv::kMsaGetSearchCapabilities);
}

int MediaServer_ContentDirectory_GetSortCapabilities(OlvWebSession* session) noexcept
{
    return Invoke(session, tv::kMsaGetSortCapabilities);
}

int MediaServer_ConnectionManager_GetProtocolInfo(OlvWebSession* session) noexcept
{
    return Invoke(session, tv::kMsaGetProtocolInfo);
}

int MediaServer_ConnectionManager_GetCurrentConnectionIDs(OlvWebSession* session) noexcept
{
    return Invoke(session, tv::kMsaGetCurrentConnectionIDs);
}

int MediaServer_ConnectionManager_GetCurrentConnectionInfo(OlvWebSession* session,
                                                           std::int32_t connection_id) noexcept
{
    const MsaAction& action = *ActionOf(tv::kMsaGetCurrentConnectionInfo);
    char inside[16];
    std::snprintf(inside, sizeof inside, "%u", static_cast<unsigned>(connection_id));
    return Hand(Announce(session, action, inside), session, action,
                static_cast<std::uint32_t>(connection_id));
}

// ---- Dispatch ----

namespace tv {

MSA_ActionRequest* MsaNewActionRequest(int type, MSA_Server* server,
                                       OlvWebSession* session) noexcept
{
    auto* request = new MSA_ActionRequest{};
    request->type = type;
    request->server = server;
    request->session = session;
    return request;
}

int MsaAddArgument(MSA_ActionRequest* request, std::uint64_t value) noexcept
{
    if (request == nullptr || request->argument_count >= kMsaMaxArguments) return -1;
    request->arguments[request->argument_count++] = value;
    return 0;
}

int MsaDispatch(MSA_ActionRequest* request) noexcept
{
    if (request == nullptr) return -1;
    MSA_Server* server = request->server;
    if (server == nullptr) {
        delete request;
        return -1;
    }
    // The session must outlive this call: the content source may answer from another thread.
    if (request->session != nullptr) OlvWebServer_HoldSession(request->session);
    if ((server->pool_mask & request->type) != 0 && server->pool != nullptr) {
        OlvThreadPool_Queue(server->pool, request, RunOnPool);
    } else {
        RunRequest(request);
    }
    return 0;
}

}  // namespace tv

// ---- Response operations ----

int MSA_RespondError(MSA_Server*, OlvWebSession* session, int error_code,
                     const char* description) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session, MicroStack_SendFault(session, error_code, OrEmpty(description)));
}

int MSA_BeginResult(MSA_Server*, OlvWebSession* session, const MSA_BrowseRequest* request,
                    int with_root) noexcept
{
    if (session == nullptr) return -1;
    int result = MicroStack_BeginResponse(session, ActionName(request), kCdsType);
    if (result < 0) return result;
    if (with_root != 0) {
        const char* filter = request != nullptr ? request->filter : nullptr;
        std::string_view root = CdsFilter_NeedsDlnaNamespace(CdsFilter_Parse(filter))
                                    ? tv::kDidlRootStartDlna
                                    : tv::kDidlRootStart;
        return MicroStack_SendArgument(session, "Result", root.data(),
                                       static_cast<int>(root.size()), OwnStatic, 1, 0);
    }
    return MicroStack_SendArgument(session, "Result", nullptr, 0, OwnStatic, 1, 0);
}

int MSA_AppendResult(MSA_Server*, OlvWebSession* session, const char* text, int length) noexcept
{
    if (session == nullptr) return -1;
    if (text == nullptr) length = 0;
    return MicroStack_SendArgument(session, "Result", text, length, OwnCopy, 0, 0);
}

int MSA_EndResult(MSA_Server*, OlvWebSession* session, const MSA_BrowseRequest* request,
                  int with_root, std::uint32_t number_returned, std::uint32_t total_matches,
                  std::uint32_t update_id) noexcept
{
    if (session == nullptr) return -1;
    int result =
        with_root != 0
            ? MicroStack_SendArgument(session, "Result", tv::kDidlRootEnd.data(),
                                      static_cast<int>(tv::kDidlRootEnd.size()), OwnStatic, 0, 1)
            : MicroStack_SendArgument(session, "Result", nullptr, 0, OwnStatic, 0, 1);
    const struct {
        const char* name;
        std::uint32_t value;
    } numbers[] = {
        {"NumberReturned", number_returned},
        {"TotalMatches", total_matches},
        {"UpdateID", update_id},
    };
    for (const auto& number : numbers) {
        if (result < 0) break;
        char text[16];
        int length = std::snprintf(text, sizeof text, "%u", number.value);
        result = MicroStack_SendArgument(session, number.name, text, length, OwnCopy, 1, 1);
    }
    if (result >= 0) result = MicroStack_EndResponse(session, ActionName(request));
    return Finish(session, result);
}

int MSA_RespondGetSystemUpdateID(MSA_Server*, OlvWebSession* session, std::uint32_t id) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session, MicroStack_RespondGetSystemUpdateID(session, id));
}

int MSA_RespondGetSearchCapabilities(MSA_Server*, OlvWebSession* session,
                                     const char* search_capabilities) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session,
                  MicroStack_RespondGetSearchCapabilities(session, OrEmpty(search_capabilities)));
}

int MSA_RespondGetSortCapabilities(MSA_Server*, OlvWebSession* session,
                                   const char* sort_capabilities) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session,
                  MicroStack_RespondGetSortCapabilities(session, OrEmpty(sort_capabilities)));
}

int MSA_RespondGetProtocolInfo(MSA_Server*, OlvWebSession* session, const char* source,
                               const char* sink) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session,
                  MicroStack_RespondGetProtocolInfo(session, OrEmpty(source), OrEmpty(sink)));
}

int MSA_RespondGetCurrentConnectionIDs(MSA_Server*, OlvWebSession* session,
                                       const char* connection_ids) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session,
                  MicroStack_RespondGetCurrentConnectionIDs(session, OrEmpty(connection_ids)));
}

int MSA_RespondGetCurrentConnectionInfo(MSA_Server*, OlvWebSession* session, int rcs_id,
                                        int av_transport_id, const char* protocol_info,
                                        const char* peer_connection_manager, int peer_connection_id,
                                        const char* direction, const char* status) noexcept
{
    if (session == nullptr) return -1;
    return Finish(session, MicroStack_RespondGetCurrentConnectionInfo(
                               session, rcs_id, av_transport_id, OrEmpty(protocol_info),
                               OrEmpty(peer_connection_manager), peer_connection_id,
                               OrEmpty(direction), OrEmpty(status)));
}

void MSA_FreeBrowseRequest(MSA_BrowseRequest* request) noexcept
{
    if (request == nullptr) return;
    tv::Free(request->object_id);
    tv::Free(request->filter);
    tv::Free(request->sort_criteria);
    tv::Free(request->search_criteria);
    tv::Free(request->addresses);
    delete request;
}
