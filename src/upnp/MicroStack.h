// The UPnP device stack of the MediaServer:1 device: its identity and service records, the
// documents it serves, SSDP discovery, request routing, SOAP control and GENA eventing. The
// stack is a chained object; everything runs on the chain thread unless a function says
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/OlvAsyncSocket.h"
#include "upnp/ActionTable.h"

struct OlvChain;
struct OlvWebServer;
struct OlvWebSession;
struct MicroStack;

namespace tv {
struct ServerContext;
}

// ---- Identity and service records ----

// One complete <action> element of a service's action text.
struct ActionEntry {
    int offset = 0;
    int length = 0;
};

// One <stateVariable> element: head (from "<stateVariable" to the end of the dataType
// element) and tail ("</stateVariable>"); a variable with allowed values also has the list
// opening and closing and up to six values (empty slots null).
struct StateVariableEntry {
    int head_offset = 0;
    int head_length = 0;
    int list_open_offset = 0;
    int list_open_length = 0;  // 0: no allowed value list
    const char* allowed_values[6] = {};
    int list_close_offset = 0;
    int list_close_length = 0;
    int tail_offset = 0;
    int tail_length = 0;
};

inline constexpr int kServiceMaxStateVariables = 16;

// A service's SCPD pieces. An entry set to null is switched off: it is left out of the SCPD
// (SOAP routing still knows the action). Switch entries off before the chain runs. The action
// entries come from the table the stack was created with, in row order; the entry of a row
// that is not declared starts switched off.
struct ServiceRecord {
    ActionEntry* actions[kServiceMaxActions] = {};
    int action_count = 0;
    StateVariableEntry* state_variables[kServiceMaxStateVariables] = {};
    int state_variable_count = 0;
    const char* action_text = nullptr;
    const char* state_variable_text = nullptr;
    const char* service_list_entry = nullptr;
    int service_list_entry_length = 0;
};

// The device's identity and service records: the server context's. The owner may set the six
// fields from `manufacturer` to `model_url` before MicroStack_Create (the strings must outlive
// the stack); Create fills in the rest, applies defaults to what is still null and points both
// services at the stack's own records, which live as long as the stack. A service set to null
// after that is left out of the description.
struct DeviceRecord {
    ServiceRecord* connection_manager = nullptr;
    ServiceRecord* content_directory = nullptr;
    const char* friendly_name = nullptr;
    const char* udn = nullptr;
    const char* serial_number = nullptr;
    const char* manufacturer = nullptr;
    const char* manufacturer_url = nullptr;
    const char* model_description = nullptr;
    const char* model_name = nullptr;
    const char* model_number = nullptr;
    const char* model_url = nullptr;
    const char* description_template = nullptr;
    int description_length = 0;
    MicroStack* stack = nullptr;
};

namespace tv {

// Positions of the ContentDirectory state variables in its record.
enum ContentDirectoryVariable : int {
    kCdsVarBrowseFlag = 0,
    kCdsVarContainerUpdateIDs = 1,
    kCdsVarSystemUpdateID = 2,
    kCdsVarCount = 3,
    kCdsVarSortCriteria = 4,
    kCdsVarSortCapabilities = 5,
    kCdsVarIndex = 6,
    kCdsVarObjectID = 7,
    kCdsVarUpdateID = 8,
    kCdsVarResult = 9,
    kCdsVarSearchCapabilities = 10,
    kCdsVarSearchCriteria = 11,
    kCdsVarFilter = 12,
    kCdsVarFeatureList = 13,  // with media information only
};

}  // namespace tv

// ---- The stack ----

// Before the chain runs, on the thread that will run it. Creates the web server (5 slots; port
// 0 draws a random free port in 50000..64999), the SSDP sockets, the timers and the event
// client, all serving the context's interfaces and drawing from its random source. The
// strings are copied. The stack routes SOAP by `actions` and describes its services' actions
// from it, each row and variable only in its mode (the context's options): the table must
// outlive the stack, the context the chain. Null when the web server
// cannot be created.
[[nodiscard]] MicroStack* MicroStack_Create(OlvChain* chain, tv::ServerContext* context,
                                            const char* friendly_name, const char* udn,
                                            const char* serial_number, int notify_cycle,
                                            std::uint16_t port, tv::ActionTable actions) noexcept;

OlvWebServer* MicroStack_GetWebServer(MicroStack* stack) noexcept;
void MicroStack_SetTag(MicroStack* stack, void* tag) noexcept;
void* MicroStack_GetTag(MicroStack* stack) noexcept;
// The bound HTTP port of the stack's web server.
std::uint16_t MicroStack_GetHttpPort(MicroStack* stack) noexcept;

// Port of the web server the session belongs to; local IPv4 address (network order) its
// connection arrived on.
std::uint16_t MicroStack_GetPort(OlvWebSession* session) noexcept;
std::uint32_t MicroStack_SessionLocalAddress(OlvWebSession* session) noexcept;

// "HTTP/1.1 <code> <reason>" with the Server header and Content-Length 0; completes the
// request.
OlvSendResult MicroStack_SendStatus(OlvWebSession* session, int code, const char* reason) noexcept;

// Any thread. Rebuilds the SSDP sockets for the current address list on the next chain turn.
void MicroStack_NotifyAddressChange(MicroStack* stack) noexcept;

// ---- SOAP control ----

// A row's handler is called with the session and its inputs; it must answer, at once or later
// while holding the session. A row without one is answered with fault 501 "No Function
// Handler".

namespace tv {
// The stack a session of its web server belongs to (null for a null session).
MicroStack* MicroStackOfSession(OlvWebSession* session) noexcept;
}  // namespace tv

// The response functions only queue data on the session: callable from any thread while the
// caller holds the session.

// "HTTP/1.1 500 Internal" with a UPnPError body (not chunked); completes the request.
OlvSendResult MicroStack_SendFault(OlvWebSession* session, int error_code,
                                   const char* description) noexcept;
// A complete 200 response; `argument_xml` is inserted as it is.
OlvSendResult MicroStack_SendResponse(OlvWebSession* session, const char* service_type,
                                      const char* action_name, const char* argument_xml) noexcept;

// Typed responses; text arguments are XML-escaped here.
OlvSendResult MicroStack_RespondGetCurrentConnectionIDs(OlvWebSession* session,
                                                        const char* connection_ids) noexcept;
OlvSendResult MicroStack_RespondGetCurrentConnectionInfo(
    OlvWebSession* session, int rcs_id, int av_transport_id, const char* protocol_info,
    const char* peer_connection_manager, int peer_connection_id, const char* direction,
    const char* status) noexcept;
OlvSendResult MicroStack_RespondGetProtocolInfo(OlvWebSession* session, const char* source,
                                                const char* sink) noexcept;
OlvSendResult MicroStack_RespondGetSearchCapabilities(OlvWebSession* session,
                                                      const char* search_caps) noexcept;
OlvSendResult MicroStack_RespondGetSortCapabilities(OlvWebSession* session,
                                                    const char* sort_caps) noexcept;
OlvSendResult MicroStack_RespondGetSystemUpdateID(OlvWebSession* session,
                                                  std::uint32_t id) noexcept;
// `feature_list` is a FeatureList document.
OlvSendResult MicroStack_RespondX_GetFeatureList(OlvWebSession* session,
                                                 const char* feature_list) noexcept;

// Streamed response: Begin, any number of SendArgument calls, End. Begin returns SendQueued
// (1) for a null session. SendArgument writes "<name>" when start_tag is set, the data when
// length > 0 (with its ownership: OwnTransfer data is freed in every case), and "</name>\r\n"
// when end_tag is set; it stops at the first negative result.
OlvSendResult MicroStack_BeginResponse(OlvWebSession* session, const char* action_name,
                                       const char* service_type) noexcept;
OlvSendResult MicroStack_SendArgument(OlvWebSession* session, const char* name, const char* data,
                                      int length, OlvSendOwnership ownership, int start_tag,
                                      int end_tag) noexcept;
OlvSendResult MicroStack_EndResponse(OlvWebSession* session, const char* action_name) noexcept;

// ---- GENA evented variables (any thread) ----

void MicroStack_SetSourceProtocolInfo(MicroStack* stack, const char* value) noexcept;
void MicroStack_SetSinkProtocolInfo(MicroStack* stack, const char* value) noexcept;
void MicroStack_SetCurrentConnectionIDs(MicroStack* stack, const char* value) noexcept;
void MicroStack_SetContainerUpdateIDs(MicroStack* stack, const char* value) noexcept;
void MicroStack_SetSystemUpdateID(MicroStack* stack, std::uint32_t value) noexcept;

namespace tv {
// Before the chain runs. From now on each subscriber hears at most one event each
// `interval_ms`: changes in between fold into that one, which carries every evented value of
// its service. 0 (the protocol's own way) sends each change at once.
void MicroStackModerateEvents(MicroStack* stack, int interval_ms) noexcept;
}  // namespace tv
