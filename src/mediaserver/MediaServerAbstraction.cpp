// The media server layer and its action table. Its handlers run on the chain thread, called by
// the device stack's SOAP routing; the content source may answer later from any thread, since
// every request handed over holds its session until a final response operation gives it back.
// The server owns its state record (address list, counters); the chain owns the server.
#include "mediaserver/MediaServerAbstraction.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

#include "cds/CdsDidlSerializer.h"
#include "http/OlvWebServer.h"
#include "runtime/Memory.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerLog.h"
#include "upnp/MicroStack.h"

static_assert(std::is_standard_layout_v<MSA_Server>);
static_assert(offsetof(MSA_Server, hooks) == 0);

namespace {

// ---- The action table ----

using tv::kServiceConnectionManager;
using tv::kServiceContentDirectory;

// One row per action, in each service's document order. CreateObject and DestroyObject are
// routed (and answered 501 "No Function Handler") but not declared; X_GetFeatureList is
// declared and routed with media information only.
constexpr tv::ActionRow kActions[] = {
    {.service = kServiceConnectionManager,
     .name = "GetCurrentConnectionIDs",
     .outputs = {{"ConnectionIDs", "CurrentConnectionIDs"}},
     .handler = tv::kActionHandler<MediaServer_ConnectionManager_GetCurrentConnectionIDs>,
     .statistic = tv::kMsaStatGetCurrentConnectionIDs},
    {.service = kServiceConnectionManager,
     .name = "GetCurrentConnectionInfo",
     .inputs = {{"ConnectionID", "A_ARG_TYPE_ConnectionID"}},
     .outputs = {{"RcsID", "A_ARG_TYPE_RcsID"},
                 {"AVTransportID", "A_ARG_TYPE_AVTransportID"},
                 {"ProtocolInfo", "A_ARG_TYPE_ProtocolInfo"},
                 {"PeerConnectionManager", "A_ARG_TYPE_ConnectionManager"},
                 {"PeerConnectionID", "A_ARG_TYPE_ConnectionID"},
                 {"Direction", "A_ARG_TYPE_Direction"},
                 {"Status", "A_ARG_TYPE_ConnectionStatus"}},
     .handler = tv::kActionHandler<MediaServer_ConnectionManager_GetCurrentConnectionInfo>,
     .statistic = tv::kMsaStatGetCurrentConnectionInfo},
    {.service = kServiceConnectionManager,
     .name = "GetProtocolInfo",
     .outputs = {{"Source", "SourceProtocolInfo"}, {"Sink", "SinkProtocolInfo"}},
     .handler = tv::kActionHandler<MediaServer_ConnectionManager_GetProtocolInfo>,
     .statistic = tv::kMsaStatGetProtocolInfo},
    {.service = kServiceContentDirectory,
     .name = "Browse",
     .inputs = {{"ObjectID", "A_ARG_TYPE_ObjectID"},
                {"BrowseFlag", "A_ARG_TYPE_BrowseFlag"},
                {"Filter", "A_ARG_TYPE_Filter"},
                {"StartingIndex", "A_ARG_TYPE_Index"},
                {"RequestedCount", "A_ARG_TYPE_Count"},
                {"SortCriteria", "A_ARG_TYPE_SortCriteria"}},
     .outputs = {{"Result", "A_ARG_TYPE_Result"},
                 {"NumberReturned", "A_ARG_TYPE_Count"},
                 {"TotalMatches", "A_ARG_TYPE_Count"},
                 {"UpdateID", "A_ARG_TYPE_UpdateID"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_Browse>,
     .statistic = tv::kMsaStatBrowse,
     .names_object = true},
    {.service = kServiceContentDirectory,
     .name = "CreateObject",
     .inputs = {{"ContainerID", "A_ARG_TYPE_ObjectID"}, {"Elements", "A_ARG_TYPE_Result"}},
     .outputs = {{"ObjectID", "A_ARG_TYPE_ObjectID"}, {"Result", "A_ARG_TYPE_Result"}},
     .declared = false},
    {.service = kServiceContentDirectory,
     .name = "DestroyObject",
     .inputs = {{"ObjectID", "A_ARG_TYPE_ObjectID"}},
     .declared = false},
    {.service = kServiceContentDirectory,
     .name = "GetSearchCapabilities",
     .outputs = {{"SearchCaps", "SearchCapabilities"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_GetSearchCapabilities>,
     .statistic = tv::kMsaStatGetSearchCapabilities},
    {.service = kServiceContentDirectory,
     .name = "GetSortCapabilities",
     .outputs = {{"SortCaps", "SortCapabilities"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_GetSortCapabilities>,
     .statistic = tv::kMsaStatGetSortCapabilities},
    {.service = kServiceContentDirectory,
     .name = "GetSystemUpdateID",
     .outputs = {{"Id", "SystemUpdateID"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_GetSystemUpdateID>,
     .statistic = tv::kMsaStatGetSystemUpdateID},
    {.service = kServiceContentDirectory,
     .name = "Search",
     .inputs = {{"ContainerID", "A_ARG_TYPE_ObjectID"},
                {"SearchCriteria", "A_ARG_TYPE_SearchCriteria"},
                {"Filter", "A_ARG_TYPE_Filter"},
                {"StartingIndex", "A_ARG_TYPE_Index"},
                {"RequestedCount", "A_ARG_TYPE_Count"},
                {"SortCriteria", "A_ARG_TYPE_SortCriteria"}},
     .outputs = {{"Result", "A_ARG_TYPE_Result"},
                 {"NumberReturned", "A_ARG_TYPE_Count"},
                 {"TotalMatches", "A_ARG_TYPE_Count"},
                 {"UpdateID", "A_ARG_TYPE_UpdateID"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_Search>,
     .statistic = tv::kMsaStatSearch,
     .names_object = true},
    {.service = kServiceContentDirectory,
     .name = "X_GetFeatureList",
     .outputs = {{"FeatureList", "A_ARG_TYPE_Featurelist"}},
     .handler = tv::kActionHandler<MediaServer_ContentDirectory_X_GetFeatureList>,
     .only_with = &tv::ServerOptions::media_info},
};
static_assert(tv::ActionTableHoldsTogether<tv::FirstUnsoundRow(kActions)>::value);

// Every counter belongs to one row.
constexpr bool StatisticsAreOneToOne()
{
    unsigned seen = 0;
    for (const tv::ActionRow& row : kActions) {
        if (row.statistic < 0) continue;
        if (row.statistic >= tv::kMsaStatisticCount || (seen & (1u << row.statistic)) != 0)
            return false;
        seen |= 1u << row.statistic;
    }
    return seen == (1u << tv::kMsaStatisticCount) - 1;
}
static_assert(StatisticsAreOneToOne());

// The row whose handler this is; a handler without a row does not compile.
template <auto Handler>
constexpr const tv::ActionRow& FindRow()
{
    for (const tv::ActionRow& row : kActions) {
        if (row.handler.call == tv::kActionHandler<Handler>.call) return row;
    }
    throw "a handler without a row";
}
template <auto Handler>
constexpr const tv::ActionRow& kRowOf = FindRow<Handler>();

constexpr char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
// Samsung's BASICVIEW: the TV looks for each kind of item from the root.
constexpr char kFeatureList[] =
    "<Features xmlns=\"urn:schemas-upnp-org:av:avs\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"urn:schemas-upnp-org:av:avs http://www.upnp.org/schemas/av/avs.xsd\">"
    "<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">"
    "<container id=\"0\" type=\"object.item.audioItem\"/>"
    "<container id=\"0\" type=\"object.item.videoItem\"/>"
    "<container id=\"0\" type=\"object.item.imageItem\"/>"
    "</Feature></Features>";
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

// ---- Handler steps ----

void CountInvocation(MSA_Server* server, int which)
{
    if (which < 0 || server == nullptr || server->on_statistics == nullptr ||
        server->state == nullptr)
        return;
    MSA_State* state = server->state;
    {
        std::scoped_lock lock(state->lock);
        if (state->statistics == nullptr) return;
        ++state->statistics->count[which];
    }
    server->on_statistics(server, state->statistics);
}

// Prints "UPnP Invoke: MediaServer_<service>_<action>(<inside>);\r\n", or with " - ID <id>"
// before the ";" when `id` is given, and counts the call. Standard output is flushed at once
// so that the line interleaves in order with the other diagnostics of a headless server.
// Returns the server.
MSA_Server* Announce(OlvWebSession* session, const tv::ActionRow& row, const char* inside = "",
                     const char* id = nullptr)
{
    MSA_Server* server = ServerOf(session);
    const std::string_view service = tv::ServiceName(row.service);
    // The identifier comes from the network: a line end in it would start a line of its own.
    std::printf("UPnP Invoke: MediaServer_%.*s_%.*s(%s)%s%s;\r\n", static_cast<int>(service.size()),
                service.data(), static_cast<int>(row.name.size()), row.name.data(), inside,
                id != nullptr ? " - ID " : "", tv::ServerLogEscaped(OrEmpty(id)).c_str());
    std::fflush(stdout);
    CountInvocation(server, row.statistic);
    return server;
}

// What a slot would have taken over, when none takes it.
void Drop(MSA_BrowseRequest* request)
{
    MSA_FreeBrowseRequest(request);
}

void Drop(std::int32_t) {}

// Hands the action to the content source's slot, holding the session for its answer. Without
// a server the answer is 500, without a slot 501; what the slot would have owned is freed.
template <auto Slot, class... Arguments>
OlvSendResult Forward(MSA_Server* server, OlvWebSession* session, Arguments... arguments)
{
    if (server == nullptr) {
        (Drop(arguments), ...);
        return MicroStack_SendFault(session, 500, kInternalError);
    }
    // The session must outlive this call: the content source may answer from another thread.
    if (session != nullptr) OlvWebServer_HoldSession(session);
    if (server->*Slot == nullptr) {
        (Drop(arguments), ...);
        MSA_RespondError(server, session, 501, "Action Failed: Action Not Implemented");
    } else {
        (server->*Slot)(server, session, arguments...);
    }
    return SendAllSent;
}

// The five actions without inputs.
template <auto Handler, auto Slot>
OlvSendResult Invoke(OlvWebSession* session)
{
    return Forward<Slot>(Announce(session, kRowOf<Handler>), session);
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
OlvSendResult Finish(OlvWebSession* session, OlvSendResult result)
{
    OlvWebServer_ReleaseSession(session);
    return result;
}

}  // namespace

tv::ActionTable tv::MsaActionTable() noexcept
{
    return kActions;
}

// ---- Creation and upkeep ----

MSA_Server* MSA_Create(OlvChain* chain, MicroStack* device, const char* sink_protocol_info,
                       const char* source_protocol_info, void* user) noexcept
{
    if (chain == nullptr || device == nullptr) return nullptr;

    auto state = std::make_unique<MSA_State>();
    state->user = user;
    state->statistics = new tv::MsaStatistics{};

    MSA_Server* server = tv::NewChainObject<MSA_Server>(kServerHooks);
    server->device = device;

    MicroStack_SetSystemUpdateID(device, 0);
    MicroStack_SetContainerUpdateIDs(device, "");
    MicroStack_SetSourceProtocolInfo(device, OrEmpty(source_protocol_info));
    MicroStack_SetSinkProtocolInfo(device, OrEmpty(sink_protocol_info));
    MicroStack_SetCurrentConnectionIDs(device, "");
    server->state = state.release();

    MicroStack_SetTag(device, server);
    OlvChain_Add(chain, server);
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

void MSA_SetUpdateIDs(MSA_Server* server, std::uint32_t system_update_id,
                      const char* container_update_ids) noexcept
{
    if (server == nullptr || server->state == nullptr) return;
    {
        std::scoped_lock lock(server->state->lock);
        server->state->system_update_id = system_update_id;
    }
    // The containers first: a subscriber that hears the new SystemUpdateID has them already.
    MicroStack_SetContainerUpdateIDs(server->device, OrEmpty(container_update_ids));
    MicroStack_SetSystemUpdateID(server->device, system_update_id);
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

OlvSendResult MediaServer_ContentDirectory_Browse(OlvWebSession* session, const char* object_id,
                                                  const char* browse_flag, const char* filter,
                                                  std::uint32_t starting_index,
                                                  std::uint32_t requested_count,
                                                  const char* sort_criteria) noexcept
{
    MSA_Server* server =
        Announce(session, kRowOf<MediaServer_ContentDirectory_Browse>, "", OrEmpty(object_id));
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
    return Forward<&MSA_Server::on_browse_search>(
        server, session,
        NewBrowseRequest(server, session, kind, object_id, filter, starting_index, requested_count,
                         sort_criteria, nullptr));
}

OlvSendResult MediaServer_ContentDirectory_Search(OlvWebSession* session, const char* container_id,
                                                  const char* search_criteria, const char* filter,
                                                  std::uint32_t starting_index,
                                                  std::uint32_t requested_count,
                                                  const char* sort_criteria) noexcept
{
    MSA_Server* server = Announce(session, kRowOf<MediaServer_ContentDirectory_Search>);
    return Forward<&MSA_Server::on_browse_search>(
        server, session,
        NewBrowseRequest(server, session, tv::kMsaKindSearch, container_id, filter, starting_index,
                         requested_count, sort_criteria, search_criteria));
}

OlvSendResult MediaServer_ContentDirectory_GetSystemUpdateID(OlvWebSession* session) noexcept
{
    return Invoke<MediaServer_ContentDirectory_GetSystemUpdateID,
                  &MSA_Server::on_get_system_update_id>(session);
}

OlvSendResult MediaServer_ContentDirectory_GetSearchCapabilities(OlvWebSession* session) noexcept
{
    return Invoke<MediaServer_ContentDirectory_GetSearchCapabilities,
                  &MSA_Server::on_get_search_capabilities>(session);
}

OlvSendResult MediaServer_ContentDirectory_GetSortCapabilities(OlvWebSession* session) noexcept
{
    return Invoke<MediaServer_ContentDirectory_GetSortCapabilities,
                  &MSA_Server::on_get_sort_capabilities>(session);
}

OlvSendResult MediaServer_ConnectionManager_GetProtocolInfo(OlvWebSession* session) noexcept
{
    return Invoke<MediaServer_ConnectionManager_GetProtocolInfo, &MSA_Server::on_get_protocol_info>(
        session);
}

OlvSendResult MediaServer_ConnectionManager_GetCurrentConnectionIDs(OlvWebSession* session) noexcept
{
    return Invoke<MediaServer_ConnectionManager_GetCurrentConnectionIDs,
                  &MSA_Server::on_get_current_connection_ids>(session);
}

OlvSendResult MediaServer_ConnectionManager_GetCurrentConnectionInfo(
    OlvWebSession* session, std::int32_t connection_id) noexcept
{
    char inside[16];
    std::snprintf(inside, sizeof inside, "%u", static_cast<unsigned>(connection_id));
    MSA_Server* server =
        Announce(session, kRowOf<MediaServer_ConnectionManager_GetCurrentConnectionInfo>, inside);
    return Forward<&MSA_Server::on_get_current_connection_info>(server, session, connection_id);
}

OlvSendResult MediaServer_ContentDirectory_X_GetFeatureList(OlvWebSession* session) noexcept
{
    Announce(session, kRowOf<MediaServer_ContentDirectory_X_GetFeatureList>);
    if (session == nullptr) return SendNoSession;
    return MicroStack_RespondX_GetFeatureList(session, kFeatureList);
}

// ---- Response operations ----

OlvSendResult MSA_RespondError(MSA_Server*, OlvWebSession* session, int error_code,
                               const char* description) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session, MicroStack_SendFault(session, error_code, OrEmpty(description)));
}

OlvSendResult MSA_BeginResult(MSA_Server*, OlvWebSession* session, const MSA_BrowseRequest* request,
                              int with_root) noexcept
{
    if (session == nullptr) return SendNoSession;
    OlvSendResult result = MicroStack_BeginResponse(session, ActionName(request), kCdsType);
    if (tv::SendStopped(result)) return result;
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

OlvSendResult MSA_AppendResult(MSA_Server*, OlvWebSession* session, const char* text,
                               int length) noexcept
{
    if (session == nullptr) return SendNoSession;
    if (text == nullptr) length = 0;
    return MicroStack_SendArgument(session, "Result", text, length, OwnCopy, 0, 0);
}

OlvSendResult MSA_EndResult(MSA_Server*, OlvWebSession* session, const MSA_BrowseRequest* request,
                            int with_root, std::uint32_t number_returned,
                            std::uint32_t total_matches, std::uint32_t update_id) noexcept
{
    if (session == nullptr) return SendNoSession;
    OlvSendResult result =
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
        if (tv::SendStopped(result)) break;
        char text[16];
        int length = std::snprintf(text, sizeof text, "%u", number.value);
        result = MicroStack_SendArgument(session, number.name, text, length, OwnCopy, 1, 1);
    }
    if (!tv::SendStopped(result)) result = MicroStack_EndResponse(session, ActionName(request));
    return Finish(session, result);
}

OlvSendResult MSA_RespondGetSystemUpdateID(MSA_Server*, OlvWebSession* session,
                                           std::uint32_t id) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session, MicroStack_RespondGetSystemUpdateID(session, id));
}

OlvSendResult MSA_RespondGetSearchCapabilities(MSA_Server*, OlvWebSession* session,
                                               const char* search_capabilities) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session,
                  MicroStack_RespondGetSearchCapabilities(session, OrEmpty(search_capabilities)));
}

OlvSendResult MSA_RespondGetSortCapabilities(MSA_Server*, OlvWebSession* session,
                                             const char* sort_capabilities) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session,
                  MicroStack_RespondGetSortCapabilities(session, OrEmpty(sort_capabilities)));
}

OlvSendResult MSA_RespondGetProtocolInfo(MSA_Server*, OlvWebSession* session, const char* source,
                                         const char* sink) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session,
                  MicroStack_RespondGetProtocolInfo(session, OrEmpty(source), OrEmpty(sink)));
}

OlvSendResult MSA_RespondGetCurrentConnectionIDs(MSA_Server*, OlvWebSession* session,
                                                 const char* connection_ids) noexcept
{
    if (session == nullptr) return SendNoSession;
    return Finish(session,
                  MicroStack_RespondGetCurrentConnectionIDs(session, OrEmpty(connection_ids)));
}

OlvSendResult MSA_RespondGetCurrentConnectionInfo(MSA_Server*, OlvWebSession* session, int rcs_id,
                                                  int av_transport_id, const char* protocol_info,
                                                  const char* peer_connection_manager,
                                                  int peer_connection_id, const char* direction,
                                                  const char* status) noexcept
{
    if (session == nullptr) return SendNoSession;
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
