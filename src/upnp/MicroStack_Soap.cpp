// SOAP control: the action named by SOAPACTION is looked up with its control path in one table,
// its arguments are taken from the envelope, checked and converted, and its slot is called.
// Also the response writers the slots answer with: faults, complete responses, typed responses
// and streamed responses. Routing runs on the chain thread; the writers may run on any thread
// that holds the session.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "http/OlvWebServer.h"
#include "runtime/Memory.h"
#include "runtime/OlvPacket.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvXml.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_internal.h"

namespace {

constexpr char kResponseHeaders[] =
    "\r\nEXT:\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2";
constexpr const char kCmsType[] = "urn:schemas-upnp-org:service:ConnectionManager:1";
constexpr const char kCdsType[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr std::string_view kCmsControl = "ConnectionManager/control";
constexpr std::string_view kCdsControl = "ContentDirectory/control";

constexpr int kMaxInputs = 6;

// Converts and checks the input texts (NUL-terminated, in input order) and calls the slot, or
// sends the fault.
using RunFn = void (*)(const ActionHandlers& slots, OlvWebSession* session, char** values);

struct SoapAction {
    std::string_view path;  // after its first character
    std::string_view name;
    std::string_view inputs[kMaxInputs];  // in slot order; the rest empty
    RunFn run;
    bool names_object = false;  // input 0 is an object identifier
};

int InputCount(const SoapAction& action)
{
    int count = 0;
    while (count < kMaxInputs && !action.inputs[count].empty()) ++count;
    return count;
}

bool NameIs(const OlvXMLNode* node, std::string_view name)
{
    return node != nullptr && tv::View(node->name, node->name_length) == name;
}

// Start elements whose parent is `parent` (null: the top level), in order.
OlvXMLNode* FirstChild(OlvXMLNode* first, OlvXMLNode* parent)
{
    OlvXMLNode* node = parent != nullptr ? parent->next : first;
    for (; node != nullptr; node = node->next) {
        if (parent != nullptr && node == parent->closing) return nullptr;
        if (node->is_start != 0 && node->parent == parent) return node;
    }
    return nullptr;
}

OlvXMLNode* FindChild(OlvXMLNode* first, OlvXMLNode* parent, std::string_view name)
{
    for (OlvXMLNode* node = FirstChild(first, parent); node != nullptr; node = node->next_sibling) {
        if (node->is_start != 0 && NameIs(node, name)) return node;
    }
    return nullptr;
}

// Collects the action's input arguments as NUL-terminated texts in the request buffer.
// Returns 0, or the fault to send: 501 for XML that does not pair, 402 for a missing argument,
// 701 for an object identifier that holds a NUL byte.
int ExtractArguments(char* body, int begin, int end, const SoapAction& action, char** values,
                     char (*empties)[1])
{
    if (body == nullptr || end <= begin) return 501;
    const int count = InputCount(action);
    OlvXMLNode* nodes = OlvXml_Parse(body, begin, end - begin);
    if (OlvXml_Pair(nodes) != 0) {
        OlvXml_Free(nodes);
        return 501;
    }
    char* texts[kMaxInputs] = {};
    int lengths[kMaxInputs] = {};
    bool seen[kMaxInputs] = {};
    OlvXMLNode* envelope = FindChild(nodes, nullptr, "Envelope");
    OlvXMLNode* soap_body = envelope != nullptr ? FindChild(nodes, envelope, "Body") : nullptr;
    OlvXMLNode* call = soap_body != nullptr ? FindChild(nodes, soap_body, action.name) : nullptr;
    for (OlvXMLNode* argument = call != nullptr ? FirstChild(nodes, call) : nullptr;
         argument != nullptr; argument = argument->next_sibling) {
        for (int i = 0; i < count; ++i) {
            if (!NameIs(argument, action.inputs[i])) continue;
            char* text = nullptr;
            int length = OlvXml_InnerXml(argument, &text);
            texts[i] = text;
            lengths[i] = text != nullptr ? length : 0;
            seen[i] = true;
        }
    }
    OlvXml_Free(nodes);
    for (int i = 0; i < count; ++i) {
        if (!seen[i]) return 402;
    }
    // The NUL bytes go in only now: the walk above still read the tags they overwrite.
    for (int i = 0; i < count; ++i) {
        if (texts[i] == nullptr) {
            empties[i][0] = '\0';
            values[i] = empties[i];
        } else {
            // An identifier cut at a NUL of its own would name another object.
            if (i == 0 && action.names_object &&
                std::memchr(texts[i], '\0', static_cast<std::size_t>(lengths[i])) != nullptr)
                return 701;
            texts[i][lengths[i]] = '\0';
            values[i] = texts[i];
        }
    }
    return 0;
}

bool ParseIndex(const char* text, std::uint32_t* value)
{
    unsigned long parsed = 0;
    int length = static_cast<int>(std::strlen(text));
    if (OlvParseULong(text, length, &parsed) != 0 || parsed > UINT32_MAX) return false;
    *value = static_cast<std::uint32_t>(parsed);
    return true;
}

bool BrowseFlagAllowed(const char* flag)
{
    const ServiceRecord* service = MicroStack_GetDeviceRecord()->content_directory;
    const StateVariableEntry* variable = nullptr;
    if (service != nullptr && service->state_variable_count > tv::kCdsVarBrowseFlag)
        variable = service->state_variables[tv::kCdsVarBrowseFlag];
    // A switched-off entry still constrains the argument to the two stored values.
    if (variable == nullptr)
        return std::strcmp(flag, "BrowseMetadata") == 0 ||
               std::strcmp(flag, "BrowseDirectChildren") == 0;
    bool any = false;
    for (const char* value : variable->allowed_values) {
        if (value == nullptr) continue;
        any = true;
        if (std::strcmp(value, flag) == 0) return true;
    }
    return !any;
}

void IllegalValue(OlvWebSession* session)
{
    MicroStack_SendFault(session, 402, "Illegal value");
}

template <class Slot, class... Args>
void Call(OlvWebSession* session, Slot slot, Args... args)
{
    if (slot == nullptr) {
        MicroStack_SendFault(session, 501, "No Function Handler");
        return;
    }
    slot(session, args...);
}

// Filter, StartingIndex, RequestedCount and SortCriteria: the last four inputs of Browse and
// Search alike.
bool PageInputs(char** values, std::uint32_t* index, std::uint32_t* count)
{
    OlvXmlUnescapeInPlace(values[2]);
    if (!ParseIndex(values[3], index) || !ParseIndex(values[4], count)) return false;
    OlvXmlUnescapeInPlace(values[5]);
    return true;
}

void RunBrowse(const ActionHandlers& slots, OlvWebSession* session, char** values)
{
    OlvXmlUnescapeInPlace(values[0]);
    OlvXmlUnescapeInPlace(values[1]);
    std::uint32_t index = 0;
    std::uint32_t count = 0;
    if (!BrowseFlagAllowed(values[1]) || !PageInputs(values, &index, &count))
        return IllegalValue(session);
    Call(session, slots.Browse, values[0], values[1], values[2], index, count, values[5]);
}

void RunSearch(const ActionHandlers& slots, OlvWebSession* session, char** values)
{
    OlvXmlUnescapeInPlace(values[0]);
    OlvXmlUnescapeInPlace(values[1]);
    std::uint32_t index = 0;
    std::uint32_t count = 0;
    if (!PageInputs(values, &index, &count)) return IllegalValue(session);
    Call(session, slots.Search, values[0], values[1], values[2], index, count, values[5]);
}

void RunCreateObject(const ActionHandlers& slots, OlvWebSession* session, char** values)
{
    OlvXmlUnescapeInPlace(values[0]);
    OlvXmlUnescapeInPlace(values[1]);
    Call(session, slots.CreateObject, values[0], values[1]);
}

void RunDestroyObject(const ActionHandlers& slots, OlvWebSession* session, char** values)
{
    OlvXmlUnescapeInPlace(values[0]);
    Call(session, slots.DestroyObject, values[0]);
}

void RunGetCurrentConnectionInfo(const ActionHandlers& slots, OlvWebSession* session, char** values)
{
    long id = 0;
    if (OlvParseLong(values[0], static_cast<int>(std::strlen(values[0])), &id) != 0 ||
        id < INT32_MIN || id > INT32_MAX)
        return IllegalValue(session);
    Call(session, slots.GetCurrentConnectionInfo, static_cast<std::int32_t>(id));
}

// The actions without inputs.
template <tv::SessionActionFn ActionHandlers::*Slot>
void RunPlain(const ActionHandlers& slots, OlvWebSession* session, char**)
{
    Call(session, slots.*Slot);
}

constexpr SoapAction kActions[] = {
    {.path = kCmsControl,
     .name = "GetCurrentConnectionIDs",
     .inputs = {},
     .run = RunPlain<&ActionHandlers::GetCurrentConnectionIDs>},
    {.path = kCmsControl,
     .name = "GetCurrentConnectionInfo",
     .inputs = {"ConnectionID"},
     .run = RunGetCurrentConnectionInfo},
    {.path = kCmsControl,
     .name = "GetProtocolInfo",
     .inputs = {},
     .run = RunPlain<&ActionHandlers::GetProtocolInfo>},
    {.path = kCdsControl,
     .name = "Browse",
     .inputs = {"ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount",
                "SortCriteria"},
     .run = RunBrowse,
     .names_object = true},
    {.path = kCdsControl,
     .name = "Search",
     .inputs = {"ContainerID", "SearchCriteria", "Filter", "StartingIndex", "RequestedCount",
                "SortCriteria"},
     .run = RunSearch,
     .names_object = true},
    {.path = kCdsControl,
     .name = "CreateObject",
     .inputs = {"ContainerID", "Elements"},
     .run = RunCreateObject},
    {.path = kCdsControl, .name = "DestroyObject", .inputs = {"ObjectID"}, .run = RunDestroyObject},
    {.path = kCdsControl,
     .name = "GetSystemUpdateID",
     .inputs = {},
     .run = RunPlain<&ActionHandlers::GetSystemUpdateID>},
    {.path = kCdsControl,
     .name = "GetSortCapabilities",
     .inputs = {},
     .run = RunPlain<&ActionHandlers::GetSortCapabilities>},
    {.path = kCdsControl,
     .name = "GetSearchCapabilities",
     .inputs = {},
     .run = RunPlain<&ActionHandlers::GetSearchCapabilities>},
};

constexpr int RowsFor(std::string_view path)
{
    int rows = 0;
    for (const SoapAction& action : kActions) rows += action.path == path ? 1 : 0;
    return rows;
}
// One row per action of each service record.
static_assert(RowsFor(kCmsControl) == tv::kCmsActionCount);
static_assert(RowsFor(kCdsControl) == tv::kCdsActionCount);

// Exact length and bytes for both, so that neither a prefix nor a longer name matches.
const SoapAction* FindAction(const OlvPacket* header, std::string_view name)
{
    for (const SoapAction& action : kActions) {
        if (action.name == name && tv::PathIs(header->path, header->path_length, action.path))
            return &action;
    }
    return nullptr;
}

// The action name from the SOAPACTION header: the last piece after "#", minus its closing
// quote. The last such header counts.
std::string_view SoapActionName(OlvPacket* header)
{
    std::string_view name;
    for (tv::PacketHeader* h = header->first_header; h != nullptr; h = h->next) {
        if (!tv::EqualsCaseless(tv::View(h->name, h->name_length), "SOAPACTION")) continue;
        std::string_view value = tv::View(h->value, h->value_length);
        std::size_t hash = value.rfind('#');
        std::string_view last = hash == std::string_view::npos ? value : value.substr(hash + 1);
        name = last.empty() ? last : last.substr(0, last.size() - 1);
    }
    return name;
}

char* Format(const char* format_pieces[], int count)
{
    std::size_t size = 1;
    for (int i = 0; i < count; ++i) size += std::strlen(format_pieces[i]);
    auto* text = static_cast<char*>(tv::Malloc(size));
    std::size_t used = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t n = std::strlen(format_pieces[i]);
        std::memcpy(text + used, format_pieces[i], n);
        used += n;
    }
    text[used] = '\0';
    return text;
}

// An XML-escaped heap copy (tv::Free).
char* Escaped(const char* text)
{
    if (text == nullptr) text = "";
    auto* out =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(OlvXmlEscapeLength(text)) + 1));
    OlvXmlEscape(out, text);
    return out;
}

OlvSendResult RespondOne(OlvWebSession* session, const char* type, const char* action,
                         const char* name, const char* value)
{
    char* escaped = Escaped(value);
    const char* pieces[] = {"<", name, ">", escaped, "</", name, ">"};
    char* xml = Format(pieces, 7);
    OlvSendResult result = MicroStack_SendResponse(session, type, action, xml);
    tv::Free(xml);
    tv::Free(escaped);
    return result;
}

}  // namespace

namespace tv {

int SoapDispatch(MicroStack* stack, OlvWebSession* session, OlvPacket* header, char* body,
                 int begin, int end) noexcept
{
    const SoapAction* action = FindAction(header, SoapActionName(header));
    if (action == nullptr) return 1;
    // An action without inputs never reads the body.
    char* values[kMaxInputs] = {};
    char empties[kMaxInputs][1] = {};
    const int fault =
        InputCount(*action) > 0 ? ExtractArguments(body, begin, end, *action, values, empties) : 0;
    if (fault == 501) {
        MicroStack_SendFault(session, 501, "Invalid XML");
    } else if (fault == 701) {
        MicroStack_SendFault(session, 701, "Error");
    } else if (fault != 0) {
        IllegalValue(session);
    } else {
        action->run(stack->handlers, session, values);
    }
    return 0;
}

}  // namespace tv

OlvSendResult MicroStack_SendFault(OlvWebSession* session, int error_code,
                                   const char* description) noexcept
{
    if (description == nullptr) description = "";
    constexpr char kBody[] =
        "<s:Envelope\r\n xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
        "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>%d</errorCode>"
        "<errorDescription>%s</errorDescription></UPnPError></detail></s:Fault></s:Body>"
        "</s:Envelope>";
    int body_length = std::snprintf(nullptr, 0, kBody, error_code, description);
    if (body_length < 0) return SendClosed;
    auto* body = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(body_length) + 1));
    std::snprintf(body, static_cast<std::size_t>(body_length) + 1, kBody, error_code, description);
    char head[96];
    int head_length = std::snprintf(
        head, sizeof head, "HTTP/1.1 500 Internal\r\nContent-Length: %d\r\n\r\n", body_length);
    OlvSendResult result =
        OlvWebServer_SendBytes(session, head, static_cast<std::size_t>(head_length), OwnCopy, 0);
    if (tv::SendStopped(result)) {
        tv::Free(body);
        return result;
    }
    return OlvWebServer_SendBytes(session, body, static_cast<std::size_t>(body_length), OwnTransfer,
                                  1);
}

OlvSendResult MicroStack_SendResponse(OlvWebSession* session, const char* service_type,
                                      const char* action_name, const char* argument_xml) noexcept
{
    OlvSendResult result =
        OlvWebServer_BeginResponse(session, 200, "OK", kResponseHeaders, OwnStatic);
    if (tv::SendStopped(result)) return result;
    const char* pieces[] = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:",
        action_name,
        "Response xmlns:u=\"",
        service_type,
        "\">",
        argument_xml != nullptr ? argument_xml : "",
        "</u:",
        action_name,
        "Response></s:Body></s:Envelope>"};
    char* text = Format(pieces, 9);
    return OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 1);
}

OlvSendResult MicroStack_RespondGetCurrentConnectionIDs(OlvWebSession* session,
                                                        const char* connection_ids) noexcept
{
    return RespondOne(session, kCmsType, "GetCurrentConnectionIDs", "ConnectionIDs",
                      connection_ids);
}

OlvSendResult MicroStack_RespondGetCurrentConnectionInfo(
    OlvWebSession* session, int rcs_id, int av_transport_id, const char* protocol_info,
    const char* peer_connection_manager, int peer_connection_id, const char* direction,
    const char* status) noexcept
{
    char* info = Escaped(protocol_info);
    char* peer = Escaped(peer_connection_manager);
    char* dir = Escaped(direction);
    char* stat = Escaped(status);
    constexpr char kFormat[] =
        "<RcsID>%d</RcsID><AVTransportID>%d</AVTransportID><ProtocolInfo>%s</ProtocolInfo>"
        "<PeerConnectionManager>%s</PeerConnectionManager><PeerConnectionID>%d"
        "</PeerConnectionID><Direction>%s</Direction><Status>%s</Status>";
    int length = std::snprintf(nullptr, 0, kFormat, rcs_id, av_transport_id, info, peer,
                               peer_connection_id, dir, stat);
    auto* xml =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(length < 0 ? 0 : length) + 1));
    xml[0] = '\0';
    if (length >= 0) {
        std::snprintf(xml, static_cast<std::size_t>(length) + 1, kFormat, rcs_id, av_transport_id,
                      info, peer, peer_connection_id, dir, stat);
    }
    OlvSendResult result =
        MicroStack_SendResponse(session, kCmsType, "GetCurrentConnectionInfo", xml);
    tv::Free(xml);
    tv::Free(info);
    tv::Free(peer);
    tv::Free(dir);
    tv::Free(stat);
    return result;
}

OlvSendResult MicroStack_RespondGetProtocolInfo(OlvWebSession* session, const char* source,
                                                const char* sink) noexcept
{
    char* src = Escaped(source);
    char* snk = Escaped(sink);
    const char* pieces[] = {"<Source>", src, "</Source><Sink>", snk, "</Sink>"};
    char* xml = Format(pieces, 5);
    OlvSendResult result = MicroStack_SendResponse(session, kCmsType, "GetProtocolInfo", xml);
    tv::Free(xml);
    tv::Free(src);
    tv::Free(snk);
    return result;
}

OlvSendResult MicroStack_RespondGetSearchCapabilities(OlvWebSession* session,
                                                      const char* search_caps) noexcept
{
    return RespondOne(session, kCdsType, "GetSearchCapabilities", "SearchCaps", search_caps);
}

OlvSendResult MicroStack_RespondGetSortCapabilities(OlvWebSession* session,
                                                    const char* sort_caps) noexcept
{
    return RespondOne(session, kCdsType, "GetSortCapabilities", "SortCaps", sort_caps);
}

OlvSendResult MicroStack_RespondGetSystemUpdateID(OlvWebSession* session, std::uint32_t id) noexcept
{
    char xml[40];
    std::snprintf(xml, sizeof xml, "<Id>%u</Id>", id);
    return MicroStack_SendResponse(session, kCdsType, "GetSystemUpdateID", xml);
}

OlvSendResult MicroStack_BeginResponse(OlvWebSession* session, const char* action_name,
                                       const char* service_type) noexcept
{
    if (session == nullptr) return SendQueued;
    const char* pieces[] = {
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<s:Body>\r\n<u:",
        action_name, "Response xmlns:u=\"", service_type, "\">"};
    char* text = Format(pieces, 5);
    OlvSendResult result =
        OlvWebServer_BeginResponse(session, 200, "OK", kResponseHeaders, OwnStatic);
    if (tv::SendStopped(result)) {
        tv::Free(text);
        return result;
    }
    return OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 0);
}

OlvSendResult MicroStack_SendArgument(OlvWebSession* session, const char* name, const char* data,
                                      int length, OlvSendOwnership ownership, int start_tag,
                                      int end_tag) noexcept
{
    OlvSendResult result = SendAllSent;
    auto piece = [&](const char* text) {
        if (!tv::SendStopped(result)) {
            result = OlvWebServer_SendBody(session, text, std::strlen(text), OwnStatic, 0);
        }
    };
    if (start_tag != 0) {
        piece("<");
        piece(name);
        piece(">");
    }
    if (length > 0) {
        if (!tv::SendStopped(result)) {
            result = OlvWebServer_SendBody(session, data, static_cast<std::size_t>(length),
                                           ownership, 0);
        } else if (ownership == OwnTransfer) {
            tv::Free(const_cast<char*>(data));
        }
    } else if (ownership == OwnTransfer && data != nullptr) {
        tv::Free(const_cast<char*>(data));
    }
    if (end_tag != 0) {
        piece("</");
        piece(name);
        piece(">\r\n");
    }
    return result;
}

OlvSendResult MicroStack_EndResponse(OlvWebSession* session, const char* action_name) noexcept
{
    const char* pieces[] = {"</u:", action_name, "Response>\r\n   </s:Body>\r\n</s:Envelope>"};
    char* text = Format(pieces, 3);
    return OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 1);
}
