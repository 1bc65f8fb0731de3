// SOAP control: the action named by SOAPACTION is looked up with its control path in the stack's
// action table, its inputs are taken from the envelope and converted by the data types of their
// related state variables, and its handler is called. Also the response writers the handlers
// answer with: faults, complete responses, typed responses and streamed responses. Routing
// runs on the chain thread; the writers may run on any thread that holds the session.
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
constexpr std::string_view kControl = "/control";

// Why an action's inputs could not be taken from its envelope.
enum class InputFault { kNone, kInvalidXml, kIllegalValue, kObjectWithNul };

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

// The action's inputs as NUL-terminated texts in the request buffer (or in `empties` for an
// element without content), in input order.
InputFault ExtractInputs(char* body, int begin, int end, const tv::ActionRow& row, char** values,
                         char (*empties)[1])
{
    if (body == nullptr || end <= begin) return InputFault::kInvalidXml;
    const int count = tv::InputCount(row);
    OlvXMLNode* nodes = OlvXml_Parse(body, begin, end - begin);
    if (OlvXml_Pair(nodes) != 0) {
        OlvXml_Free(nodes);
        return InputFault::kInvalidXml;
    }
    char* texts[tv::kMaxActionInputs] = {};
    int lengths[tv::kMaxActionInputs] = {};
    bool seen[tv::kMaxActionInputs] = {};
    OlvXMLNode* envelope = FindChild(nodes, nullptr, "Envelope");
    OlvXMLNode* soap_body = envelope != nullptr ? FindChild(nodes, envelope, "Body") : nullptr;
    OlvXMLNode* call = soap_body != nullptr ? FindChild(nodes, soap_body, row.name) : nullptr;
    for (OlvXMLNode* argument = call != nullptr ? FirstChild(nodes, call) : nullptr;
         argument != nullptr; argument = argument->next_sibling) {
        for (int i = 0; i < count; ++i) {
            if (!NameIs(argument, row.inputs[i].name)) continue;
            char* text = nullptr;
            int length = OlvXml_InnerXml(argument, &text);
            texts[i] = text;
            lengths[i] = text != nullptr ? length : 0;
            seen[i] = true;
        }
    }
    OlvXml_Free(nodes);
    for (int i = 0; i < count; ++i) {
        if (!seen[i]) return InputFault::kIllegalValue;
    }
    // The NUL bytes go in only now: the walk above still read the tags they overwrite.
    for (int i = 0; i < count; ++i) {
        if (texts[i] == nullptr) {
            empties[i][0] = '\0';
            values[i] = empties[i];
        } else {
            if (i == 0 && row.names_object &&
                std::memchr(texts[i], '\0', static_cast<std::size_t>(lengths[i])) != nullptr)
                return InputFault::kObjectWithNul;
            texts[i][lengths[i]] = '\0';
            values[i] = texts[i];
        }
    }
    return InputFault::kNone;
}

// A value the variable allows: one of the allowed values of its entry in the service record,
// or, with the entry switched off, of its declaration. A variable without allowed values
// allows anything.
bool Allowed(const DeviceRecord& device, tv::ServiceId service, int variable, const char* value)
{
    const ServiceRecord* record = service == tv::kServiceConnectionManager
                                      ? device.connection_manager
                                      : device.content_directory;
    const StateVariableEntry* entry = nullptr;
    if (record != nullptr && record->state_variable_count > variable)
        entry = record->state_variables[variable];
    const char* const* values =
        entry != nullptr ? entry->allowed_values : tv::ServiceVariables(service)[variable].allowed;
    bool any = false;
    for (int i = 0; i < 6; ++i) {
        if (values[i] == nullptr) continue;
        any = true;
        if (std::strcmp(values[i], value) == 0) return true;
    }
    return !any;
}

// Each input as the data type of its variable has it: a text unescaped and within the allowed
// values, a ui4 or i4 a decimal number in range. False for any that is not.
bool ConvertInputs(const DeviceRecord& device, const tv::ActionRow& row, char** values,
                   tv::ActionInput* inputs)
{
    for (int i = 0; i < tv::InputCount(row); ++i) {
        const int variable = tv::VariableIndex(row.service, row.inputs[i].variable);
        if (variable < 0) return false;
        char* text = values[i];
        const int length = static_cast<int>(std::strlen(text));
        switch (tv::InputKindOf(tv::ServiceVariables(row.service)[variable].type)) {
        case tv::InputKind::kText:
            OlvXmlUnescapeInPlace(text);
            if (!Allowed(device, row.service, variable, text)) return false;
            inputs[i].text = text;
            break;
        case tv::InputKind::kUnsigned: {
            unsigned long parsed = 0;
            if (OlvParseULong(text, length, &parsed) != 0 || parsed > UINT32_MAX) return false;
            inputs[i].number = static_cast<std::int64_t>(parsed);
            break;
        }
        case tv::InputKind::kSigned: {
            long parsed = 0;
            if (OlvParseLong(text, length, &parsed) != 0 || parsed < INT32_MIN ||
                parsed > INT32_MAX)
                return false;
            inputs[i].number = parsed;
            break;
        }
        }
    }
    return true;
}

// "<service>/control" after the path's first character.
bool IsControlPath(const OlvPacket* header, tv::ServiceId service)
{
    if (header->path == nullptr || header->path_length < 1) return false;
    std::string_view rest = tv::View(header->path + 1, header->path_length - 1);
    std::string_view name = tv::ServiceName(service);
    return rest.size() == name.size() + kControl.size() && rest.starts_with(name) &&
           rest.ends_with(kControl);
}

// Exact length and bytes for both, so that neither a prefix nor a longer name matches. A row
// of a mode the server is not in is no action of its.
const tv::ActionRow* FindAction(tv::ActionTable actions, const tv::ServerOptions& options,
                                const OlvPacket* header, std::string_view name)
{
    for (const tv::ActionRow& row : actions) {
        if (row.name == name && IsControlPath(header, row.service) &&
            tv::InMode(row.only_with, options))
            return &row;
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

char* Concatenate(const char* pieces[], int count)
{
    std::size_t size = 1;
    for (int i = 0; i < count; ++i) size += std::strlen(pieces[i]);
    auto* text = static_cast<char*>(tv::Malloc(size));
    std::size_t used = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t n = std::strlen(pieces[i]);
        std::memcpy(text + used, pieces[i], n);
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
    char* xml = Concatenate(pieces, 7);
    OlvSendResult result = MicroStack_SendResponse(session, type, action, xml);
    tv::Free(xml);
    tv::Free(escaped);
    return result;
}

}  // namespace

namespace tv {

SoapRouting SoapDispatch(MicroStack* stack, OlvWebSession* session, OlvPacket* header, char* body,
                         int begin, int end) noexcept
{
    const ActionRow* row =
        FindAction(stack->actions, stack->context->options, header, SoapActionName(header));
    if (row == nullptr) return SoapRouting::kUnknownAction;
    // An action without inputs never reads the body.
    char* values[kMaxActionInputs] = {};
    char empties[kMaxActionInputs][1] = {};
    ActionInput inputs[kMaxActionInputs] = {};
    InputFault fault = InputCount(*row) > 0 ? ExtractInputs(body, begin, end, *row, values, empties)
                                            : InputFault::kNone;
    if (fault == InputFault::kNone && !ConvertInputs(*stack->context->device, *row, values, inputs))
        fault = InputFault::kIllegalValue;
    switch (fault) {
    case InputFault::kInvalidXml:
        MicroStack_SendFault(session, 501, "Invalid XML");
        break;
    case InputFault::kObjectWithNul:
        MicroStack_SendFault(session, 701, "Error");
        break;
    case InputFault::kIllegalValue:
        MicroStack_SendFault(session, 402, "Illegal value");
        break;
    case InputFault::kNone:
        if (row->handler.call == nullptr)
            MicroStack_SendFault(session, 501, "No Function Handler");
        else
            row->handler.call(session, inputs);
        break;
    }
    return SoapRouting::kRecognised;
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
    char* text = Concatenate(pieces, 9);
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
    char* xml = Concatenate(pieces, 5);
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

OlvSendResult MicroStack_RespondX_GetFeatureList(OlvWebSession* session,
                                                 const char* feature_list) noexcept
{
    return RespondOne(session, kCdsType, "X_GetFeatureList", "FeatureList", feature_list);
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
    char* text = Concatenate(pieces, 5);
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
    char* text = Concatenate(pieces, 3);
    return OlvWebServer_SendBody(session, text, std::strlen(text), OwnTransfer, 1);
}
