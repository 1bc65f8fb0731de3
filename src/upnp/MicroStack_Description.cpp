// The documents the stack serves: the device description (formatted per request from the
// template and the identity record), the two service descriptions (sent slice by slice,
// leaving out switched-off entries) and the icons. Chain thread.
#include <cstring>
#include <string_view>

#include "http/OlvWebServer.h"
#include "runtime/Memory.h"
#include "upnp/DeviceDocuments.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_internal.h"

namespace {

constexpr char kXmlHeaders[] =
    "\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2";
constexpr char kIconHeaders[] =
    "\r\nCONTENT-TYPE:  image/jpeg;\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2";
constexpr int kDescriptionTailLength = 19;  // " </device>\r\n</root>"

const char* Text(const char* value)
{
    return value != nullptr ? value : "";
}

OlvSendResult Body(OlvWebSession* session, std::string_view piece, int done)
{
    return OlvWebServer_SendBody(session, piece.data(), piece.size(), OwnStatic, done);
}

OlvSendResult Slice(OlvWebSession* session, const char* text, int offset, int length)
{
    if (length <= 0) return SendAllSent;
    return OlvWebServer_SendBody(session, text + offset, static_cast<std::size_t>(length),
                                 OwnStatic, 0);
}

}  // namespace

namespace tv {

// The template's %s fields filled in order, values inserted as they are.
char* BuildDescription(const DeviceRecord& device, int* length) noexcept
{
    const char* values[9] = {
        Text(device.friendly_name),     Text(device.manufacturer),  Text(device.manufacturer_url),
        Text(device.model_description), Text(device.model_name),    Text(device.model_number),
        Text(device.model_url),         Text(device.serial_number), Text(device.udn)};
    std::string_view pattern(Text(device.description_template),
                             static_cast<std::size_t>(device.description_length));
    std::size_t size = pattern.size() + 1;
    for (const char* value : values) size += std::strlen(value);
    auto* out = static_cast<char*>(tv::Malloc(size));
    std::size_t used = 0;
    int field = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' && field < 9) {
            std::size_t n = std::strlen(values[field]);
            std::memcpy(out + used, values[field], n);
            used += n;
            ++field;
            ++i;
        } else {
            out[used++] = pattern[i];
        }
    }
    out[used] = '\0';
    *length = static_cast<int>(used);
    return out;
}

void SendDescription(OlvWebSession* session, const DeviceRecord& device, bool head) noexcept
{
    OlvSendResult result = OlvWebServer_BeginResponse(session, 200, "OK", kXmlHeaders, OwnStatic);
    if (SendStopped(result)) return;
    if (head) {
        OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
        return;
    }
    int length = 0;
    char* text = BuildDescription(device, &length);
    int first = length - kDescriptionTailLength;
    if (first < 0) first = 0;
    result = OlvWebServer_SendBody(session, text, static_cast<std::size_t>(first), OwnTransfer, 0);
    if (SendStopped(result)) return;
    result = Body(session, "<serviceList>", 0);
    for (ServiceRecord* service : {device.connection_manager, device.content_directory}) {
        if (service == nullptr || SendStopped(result)) continue;
        result = Slice(session, service->service_list_entry, 0, service->service_list_entry_length);
    }
    if (SendStopped(result)) return;
    Body(session, "</serviceList>", 0);
    Body(session, "</device>", 0);
    Body(session, "</root>", 1);
}

void SendScpd(OlvWebSession* session, ServiceRecord* service, bool head) noexcept
{
    OlvSendResult result = OlvWebServer_BeginResponse(session, 200, "OK", kXmlHeaders, OwnStatic);
    if (SendStopped(result)) return;
    if (head || service == nullptr) {
        OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
        return;
    }
    result = Body(session, std::string_view(kScpdHead, kScpdHeadLength), 0);
    for (int i = 0; i < service->action_count && !SendStopped(result); ++i) {
        const ActionEntry* action = service->actions[i];
        if (action == nullptr) continue;
        result = Slice(session, service->action_text, action->offset, action->length);
    }
    if (SendStopped(result)) return;
    result = Body(session, "</actionList><serviceStateTable>", 0);
    const char* text = service->state_variable_text;
    for (int i = 0; i < service->state_variable_count && !SendStopped(result); ++i) {
        const StateVariableEntry* variable = service->state_variables[i];
        if (variable == nullptr) continue;
        result = Slice(session, text, variable->head_offset, variable->head_length);
        if (variable->list_open_length > 0) {
            Slice(session, text, variable->list_open_offset, variable->list_open_length);
            for (const char* value : variable->allowed_values) {
                if (value == nullptr || value[0] == '\0') continue;
                Body(session, "<allowedValue>", 0);
                Body(session, value, 0);
                Body(session, "</allowedValue>", 0);
            }
            Slice(session, text, variable->list_close_offset, variable->list_close_length);
        }
        result = Slice(session, text, variable->tail_offset, variable->tail_length);
    }
    if (SendStopped(result)) return;
    Body(session, "</serviceStateTable></scpd>", 1);
}

void SendIcon(OlvWebSession* session, const unsigned char* data, int length) noexcept
{
    OlvSendResult result = OlvWebServer_BeginResponse(session, 200, "OK", kIconHeaders, OwnStatic);
    if (SendStopped(result)) return;
    OlvWebServer_SendBody(session, reinterpret_cast<const char*>(data),
                          static_cast<std::size_t>(length), OwnStatic, 1);
}

}  // namespace tv
