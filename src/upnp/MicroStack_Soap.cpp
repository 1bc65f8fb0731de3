// SOAP control: the action named by SOAPACTION is looked up per control path, its arguments
// are taken from the envelope, checked and converted, and its slot is called. Also the
// response writers the slots answer with: faults, complete responses, typed responses and
// streamed responses. Routing runs on the chain thread; the writers may run on any thread
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

constexpr int kMaxInputs = 6;

// The input arguments of the actions that carry any, in slot order.
enum class Action {
    Browse,
    Search,
    CreateObject,
    DestroyObject,
    GetCurrentConnectionInfo,
};

struct ActionInputs {
    std::string_view name;
    std::string_view inputs[kMaxInputs];
    int count;
};

constexpr ActionInputs kInputs[] = {
    {"Browse",
     {"ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount", "SortCriteria"},
     6},
    {"Search",
     {"ContainerID", "SearchCriteria", "Filter", "StartingIndex", "RequestedCount",
      "SortCriteria"},
     6},
    {"CreateObject", {"ContainerID", "Elements"}, 2},
    {"DestroyObject", {"ObjectID"}, 1},
    {"GetCurrentConnectionInfo", {"ConnectionID"}, 1},
};

OlvSendResult Fault(OlvWebSession* session, int code, const char* description)
{
    return MicroStack_SendFault(session, code, description);
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

// Collects the action's input arguments as NUL-terminated texts in the request buffer;
// with_nul[i] tells that argument i held a NUL byte of its own, where its text now ends.
// Returns 0, or the fault to send: 501 for XML that does not pair, 402 for a missing argument.
int ExtractArguments(char* body, int begin, int end, const ActionInputs& action,
                     char** values, char (*empties)[1], bool* with_nul)
{
    if (body == nullptr || end <= begin) return 501;
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
        for (int i = 0; i < action.count; ++i) {
            if (!NameIs(argument, action.inputs[i])) continue;
            char* text = nullptr;
            int length = OlvXml_InnerXml(argument, &text);
            texts[i] = text;
            lengths[i] = text != nullptr ? length : 0;
            seen[i] = true;
        }
    }
    OlvXml_Free(nodes);
    for (int i = 0; i < action.count; ++i) {
        if (!seen[i]) return 402;
    }
    // The NUL bytes go in only now: the walk above still read the tags they overwrite.
    for (int i = 0; i < action.count; ++i) {
        if (texts[i] == nullptr) {
            empties[i][0] = '\0';
            values[i] = empties[i];
        } else {
            with_nul[i] = std::memchr(texts[i], '\0', static_cast<std::size_t>(lengths[i])) != nullptr;
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
        return std::strcmp(flag, "BrowseMetadata") == 0 || std::strcmp(flag, "BrowseDirectChildren") == 0;
    bool any = false;
    for (const char* value : variable->allowed_values) {
        if (value == nullptr) continue;
        any = true;
        if (std::strcmp(value, flag) == 0) return true;
    }
    return !any;
}

void Unescape(char* text)
{
    OlvXmlUnescapeInPlace(text);
}

void RunAction(MicroStack* stack, OlvWebSession* session, Action action, char* body, int begin,
               int end)
{
    const ActionInputs& inputs = kInputs[static_cast<int>(action)];
    char* values[kMaxInputs] = {};
    char empties[kMaxInputs][1] = {};
    bool with_nul[kMaxInputs] = {};
    int fault = ExtractArguments(body, begin, end, inputs, values, empties, with_nul);
    if (fault == 501) {
        Fault(session, 501, "Invalid XML");
        return;
    }
    if (fault != 0) {
        Fault(session, 402, "Illegal value");
        return;
    }
    const ActionHandlers& slots = stack->handlers;
    switch (action) {
    case Action::GetCurrentConnectionInfo: {
        long id = 0;
        if (OlvParseLong(values[0], static_cast<int>(std::strlen(values[0])), &id) != 0 ||
            id < INT32_MIN || id > INT32_MAX) {
            Fault(session, 402, "Illegal value");
            return;
        }
        if (slots.GetCurrentConnectionInfo == nullptr) break;
        slots.GetCurrentConnectionInfo(session, static_cast<std::int32_t>(id));
        return;
    }
    case Action::Browse: {
        // An identifier cut at a NUL would name another object than the one asked for.
        if (with_nul[0]) {
            Fault(session, 701, "Error");
            return;
        }
        Unescape(values[0]);
        Unescape(values[1]);
        if (!BrowseFlagAllowed(values[1])) {
            Fault(session, 402, "Illegal value");
            return;
        }
        Unescape(values[2]);
        std::uint32_t index = 0;
        std::uint32_t count = 0;
        if (!ParseIndex(values[3], &index) || !ParseIndex(values[4], &count)) {
            Fault(session, 402, "Illegal value");
            return;
        }
        Unescape(values[5]);
        if (slots.Browse == nullptr) break;
        slots.Browse(session, values[0], values[1], values[2], index, count, values[5]);
        return;
    }
    case Action::Search: {
        if (with_nul[0]) {
            Fault(session, 701, "Error");
            return;
        }
        Unescape(values[0]);
        Unescape(values[1]);
        Unescape(values[2]);
        std::uint32_t index = 0;
        std::uint32_t count = 0;
        if (!ParseIndex(values[3], &index) || !ParseIndex(values[4], &count)) {
            Fault(session, 402, "Illegal value");
            return;
        }
        Unescape(values[5]);
        if (slots.Search == nullptr) break;
        slots.Search(session, values[0], values[1], values[2], index, count, values[5]);
        return;
    }
    case Action::CreateObject:
        Unescape(values[0]);
        Unescape(values[1]);
        if (slots.CreateObject == nullptr) break;
        slots.CreateObject(session, values[0], values[1]);
        return;
    case Action::DestroyObject:
        Unescape(values[0]);
        if (slots.DestroyObject == nullptr) break;
        slots.DestroyObject(session, values[0]);
        return;
    }
    Fault(session, 501, "No Function Handler");
}

void RunSimple(OlvWebSession* session, tv::SessionActionFn slot)
{
    if (slot == nullptr) {
        Fault(session, 501, "No Function Handler");
        return;
    }
    slot(session);
}

// The action name from the SOAPACTION header: the last piece after "#", minus its closing
// quote. The last such header counts.
std::string_view SoapActionName(OlvPacket* header)
{
    std::string_view name;
    for (tv::PacketHeader* h = header->first_header; h != nullptr; h = h->next) {
        if (h->name_length != 10 ||
            OlvStartsWithEx(h->name, h->name_length, "SOAPACTION", 10, 0) == 0)
            continue;
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
    auto* out = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(OlvXmlEscapeLength(text)) + 1));
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
    std::string_view action = SoapActionName(header);
    const char* path = header->path;
    int path_length = header->path_length;
    const ActionHandlers& slots = stack->handlers;
    if (PathIs(path, path_length, "ConnectionManager/control")) {
        if (action == "GetCurrentConnectionIDs") {
            RunSimple(session, slots.GetCurrentConnectionIDs);
        } else if (action == "GetCurrentConnectionInfo") {
            RunAction(stack, session, Action::GetCurrentConnectionInfo, body, begin, end);
        } else if (action == "GetProtocolInfo") {
            RunSimple(session, slots.GetProtocolInfo);
        } else {
            return 1;
        }
        return 0;
    }
    if (PathIs(path, path_length, "ContentDirectory/control")) {
        if (action == "Browse") {
            RunAction(stack, session, Action::Browse, body, begin, end);
        } else if (action == "Search") {
            RunAction(stack, session, Action::Search, body, begin, end);
        } else if (action == "CreateObject") {
            RunAction(stack, session, Action::CreateObject, body, begin, end);
        } else if (action == "DestroyObject") {
            RunAction(stack, session, Action::DestroyObject, body, begin, end);
        } else if (action == "GetSystemUpdateID") {
            RunSimple(session, slots.GetSystemUpdateID);
        } else if (action == "GetSortCapabilities") {
            RunSimple(session, slots.GetSortCapabilities);
        } else if (action == "GetSearchCapabilities") {
            RunSimple(session, slots.GetSearchCapabilities);
        } else {
            return 1;
        }
        return 0;
    }
    return 1;
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
    int head_length = std::snprintf(head, sizeof head,
                                    "HTTP/1.1 500 Internal\r\nContent-Length: %d\r\n\r\n",
                                    body_length);
    OlvSendResult result = static_cast<OlvSendResult>(OlvWebServer_SendBytes(
        session, head, static_cast<std::size_t>(head_length), OwnCopy, 0));
    if (result == SendWillClose || result == SendClosed || result == SendNoSession) {
        tv::Free(body);
        return result;
    }
    return static_cast<OlvSendResult>(OlvWebServer_SendBytes(
        session, body, static_cast<std::size_t>(body_length), OwnTransfer, 1));
}

OlvSendResult MicroStack_SendResponse(OlvWebSession* session, const char* service_type,
                                      const char* action_name, const char* argument_xml) noexcept
{
    OlvSendResult result = static_cast<OlvSendResult>(OlvWebServer_BeginResponse(
        session, 200, "OK", kResponseHeaders, OwnStatic));
    if (result == SendWillClose || result == SendClosed) return result;
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
    return static_cast<OlvSendResult>(
        OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 1));
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
    auto* xml = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(length < 0 ? 0 : length) + 1));
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

OlvSendResult MicroStack_RespondGetSystemUpdateID(OlvWebSession* session,
                                                  std::uint32_t id) noexcept
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
    OlvSendResult result = static_cast<OlvSendResult>(OlvWebServer_BeginResponse(
        session, 200, "OK", kResponseHeaders, OwnStatic));
    if (result < 0) {
        tv::Free(text);
        return result;
    }
    return static_cast<OlvSendResult>(
        OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 0));
}

OlvSendResult MicroStack_SendArgument(OlvWebSession* session, const char* name,
                                      const char* data, int length, OlvSendOwnership ownership,
                                      int start_tag, int end_tag) noexcept
{
    OlvSendResult result = SendAllSent;
    auto piece = [&](const char* text) {
        if (result >= 0) {
            result = static_cast<OlvSendResult>(
                OlvWebServer_SendBody(session, text, std::strlen(text), OwnStatic, 0));
        }
    };
    if (start_tag != 0) {
        piece("<");
        piece(name);
        piece(">");
    }
    if (length > 0) {
        if (result >= 0) {
            result = static_cast<OlvSendResult>(OlvWebServer_SendBody(
                session, data, static_cast<std::size_t>(length), ownership, 0));
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
    return static_cast<OlvSendResult>(
        OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 1));
}
