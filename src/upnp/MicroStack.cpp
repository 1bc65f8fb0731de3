// The device stack object: creation on the chain, its destroy hook, the identity record, and
// the routing of every HTTP request the web server hands it (documents, SOAP, GENA, status
// answers, the Expect check). Chain thread, except the functions marked "any thread".
#include "upnp/MicroStack.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "http/OlvWebClient.h"
#include "http/OlvWebServer.h"
#include "net/LocalAddresses.h"
#include "runtime/Memory.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvPacket.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerLog.h"
#include "upnp/DeviceDocuments.h"
#include "upnp/upnp_internal.h"

static_assert(std::is_standard_layout_v<MicroStack>);
static_assert(offsetof(MicroStack, hooks) == 0);

namespace {

constexpr int kWebServerSlots = 5;
constexpr int kEventClientSockets = 5;

constexpr const char kDefaultManufacturer[] = "Tindravoller developers";
constexpr const char kDefaultManufacturerUrl[] = "https://tindravoller.invalid/";
constexpr const char kDefaultModelDescription[] = "UPnP/AV 1.0 Compliant Media Server";
constexpr const char kDefaultModelName[] = "Digital Media Server";
constexpr const char kDefaultModelNumber[] = "None";
constexpr const char kDefaultModelUrl[] = "https://tindravoller.invalid/";

constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr char kExpectationFailed[] = "HTTP/1.1 417 Expectation Failed\r\n\r\n";

void StackPreSelect(void* object, fd_set*, fd_set*, fd_set*, int*) noexcept
{
    tv::SsdpPreSelect(static_cast<MicroStack*>(object));
}

// The identity texts and service records the stack owns, and the device record's pointers
// into them.
void ReleaseIdentity(MicroStack* stack) noexcept
{
    DeviceRecord& device = *stack->context->device;
    if (device.stack == stack) {
        device.stack = nullptr;
        device.friendly_name = nullptr;
        device.udn = nullptr;
        device.serial_number = nullptr;
        device.connection_manager = nullptr;
        device.content_directory = nullptr;
    }
    tv::Free(stack->udn_uri);
    tv::Free(stack->serial_number);
    tv::Free(stack->friendly_name);
    tv::ServiceDocumentsDestroy(stack->documents);
}

void StackDestroy(void* object) noexcept
{
    auto* stack = static_cast<MicroStack*>(object);
    tv::SsdpDestroy(stack);
    tv::GenaDestroy(stack);
    ReleaseIdentity(stack);
    std::destroy_at(stack);
}

constexpr tv::ChainHooks kStackHooks = {
    .pre_select = StackPreSelect,
    .post_select = nullptr,
    .destroy = StackDestroy,
};

bool Is(const char* data, int length, std::string_view text)
{
    return tv::View(data, length) == text;
}

// The last "/" of the path and what follows; the whole path without one.
std::string_view LogName(const OlvPacket* header)
{
    std::string_view path = tv::View(header->path, header->path_length);
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash);
}

// The device's description and its services' descriptions, for GET and HEAD alike; false for
// any other path.
bool SendDocument(OlvWebSession* session, const DeviceRecord& device, const char* path,
                  int path_length, bool head)
{
    if (Is(path, path_length, "/")) {
        tv::SendDescription(session, device, head);
    } else if (tv::PathIs(path, path_length, "ConnectionManager/scpd.xml")) {
        tv::SendScpd(session, device.connection_manager, head);
    } else if (tv::PathIs(path, path_length, "ContentDirectory/scpd.xml")) {
        tv::SendScpd(session, device.content_directory, head);
    } else {
        return false;
    }
    return true;
}

void Dispatch(MicroStack* stack, OlvWebSession* session, OlvPacket* header, char* body, int begin,
              int end) noexcept
{
    const char* method = header->method;
    int method_length = header->method_length;
    const char* path = header->path;
    int path_length = header->path_length;
    const DeviceRecord& device = *stack->context->device;

    if (Is(method, method_length, "HEAD")) {
        if (!SendDocument(session, device, path, path_length, true))
            MicroStack_SendStatus(session, 404, "File Not Found");
        return;
    }
    if (Is(method, method_length, "GET")) {
        std::string_view name = LogName(header);
        ServerLog("GET %.*s", static_cast<int>(name.size()), name.data());
        if (SendDocument(session, device, path, path_length, false)) return;
        if (Is(path, path_length, "/device32.jpg")) {
            tv::SendIcon(session, tv::kIcon32, static_cast<int>(sizeof tv::kIcon32));
        } else if (Is(path, path_length, "/device48.jpg")) {
            tv::SendIcon(session, tv::kIcon48, static_cast<int>(sizeof tv::kIcon48));
        } else if (Is(path, path_length, "/device120.jpg")) {
            tv::SendIcon(session, tv::kIcon120, static_cast<int>(sizeof tv::kIcon120));
        } else {
            MicroStack_SendStatus(session, 404, "File Not Found");
        }
        return;
    }
    if (Is(method, method_length, "POST")) {
        if (tv::SoapDispatch(stack, session, header, body, begin, end) ==
            tv::SoapRouting::kUnknownAction)
            MicroStack_SendFault(session, 401, "Invalid Action");
        return;
    }
    if (Is(method, method_length, "SUBSCRIBE")) {
        tv::GenaSubscribe(stack, session, header);
        return;
    }
    if (Is(method, method_length, "UNSUBSCRIBE")) {
        tv::GenaUnsubscribe(stack, session, header);
        return;
    }
    MicroStack_SendStatus(session, 400, "Bad Request");
}

void OnRequest(OlvWebSession* session, OlvPacket* header, char* body, int* begin, int end,
               tv::WebDelivery done) noexcept
{
    if (header == nullptr) return;
    MicroStack* stack = tv::MicroStackOfSession(session);
    if (!tv::WebSessionExpectChecked(session) && done != tv::WebDelivery::Final) {
        // The Expect check is made once per connection, at the first request that arrives
        // in more than one delivery: the mark is never cleared.
        tv::WebSessionMarkExpectChecked(session);
        const char* expect = OlvPacket_GetHeader(header, "Expect", 6);
        if (expect == nullptr) return;
        std::string_view value(expect);
        if (value.size() == 12 && OlvStartsWithEx(expect, 12, "100-Continue", 12, 0) != 0) {
            OlvWebServer_SendBytes(session, kContinue, sizeof kContinue - 1, OwnStatic, 0);
        } else {
            OlvWebServer_SendBytes(session, kExpectationFailed, sizeof kExpectationFailed - 1,
                                   OwnStatic, 1);
            OlvWebServer_CloseSession(session);
        }
        return;
    }
    if (done != tv::WebDelivery::Final) return;  // the reader keeps accumulating the body
    int start = begin != nullptr ? *begin : 0;
    Dispatch(stack, session, header, body, start, end);
    if (begin != nullptr) *begin = end;
}

void OnSession(OlvWebSession* session, void* /*user*/) noexcept
{
    tv::WebSessionSetRequestHandler(session, OnRequest);
    // Not served on an interface the user left out (a VPN, a container bridge), whoever
    // knows the port.
    const MicroStack* stack = tv::MicroStackOfSession(session);
    if (!tv::IsServedAddress(*stack->context->served, OlvWebServer_SessionLocalAddress(session)))
        OlvWebServer_CloseSession(session);
}

}  // namespace

namespace tv {

bool PathIs(const char* path, int path_length, std::string_view rest) noexcept
{
    return path != nullptr && path_length >= 1 && View(path + 1, path_length - 1) == rest;
}

MicroStack* MicroStackOfSession(OlvWebSession* session) noexcept
{
    return session != nullptr ? static_cast<MicroStack*>(tv::WebSessionUser(session)) : nullptr;
}

}  // namespace tv

MicroStack* MicroStack_Create(OlvChain* chain, tv::ServerContext* context,
                              const char* friendly_name, const char* udn, const char* serial_number,
                              int notify_cycle, std::uint16_t port,
                              tv::ActionTable actions) noexcept
{
    MicroStack* stack = tv::NewChainObject<MicroStack>(kStackHooks);
    stack->actions = actions;
    stack->documents = tv::ServiceDocumentsCreate(actions, context->options);
    stack->chain = chain;
    stack->context = context;

    stack->friendly_name = OlvStringCopy(friendly_name != nullptr ? friendly_name : "", -1);
    stack->serial_number = OlvStringCopy(serial_number != nullptr ? serial_number : "", -1);
    const char* udn_text = udn != nullptr ? udn : "";
    std::size_t udn_length = std::strlen(udn_text);
    stack->udn_uri = static_cast<char*>(tv::Malloc(udn_length + 6));
    std::memcpy(stack->udn_uri, "uuid:", 5);
    std::memcpy(stack->udn_uri + 5, udn_text, udn_length + 1);

    DeviceRecord& device = *context->device;
    device.stack = stack;
    device.friendly_name = stack->friendly_name;
    device.udn = stack->udn_uri + 5;
    device.serial_number = stack->serial_number;
    device.connection_manager =
        tv::ServiceDocumentsRecord(stack->documents, tv::kServiceConnectionManager);
    device.content_directory =
        tv::ServiceDocumentsRecord(stack->documents, tv::kServiceContentDirectory);
    if (device.description_template == nullptr) {
        const std::string_view description = tv::DescriptionTemplate(context->options);
        device.description_template = description.data();
        device.description_length = static_cast<int>(description.size());
    }
    if (device.manufacturer == nullptr) device.manufacturer = kDefaultManufacturer;
    if (device.manufacturer_url == nullptr) device.manufacturer_url = kDefaultManufacturerUrl;
    if (device.model_description == nullptr) device.model_description = kDefaultModelDescription;
    if (device.model_name == nullptr) device.model_name = kDefaultModelName;
    if (device.model_number == nullptr) device.model_number = kDefaultModelNumber;
    if (device.model_url == nullptr) device.model_url = kDefaultModelUrl;

    stack->timers = OlvLifeTime_Create(chain);
    stack->web_server =
        OlvWebServer_Create(chain, context, kWebServerSlots, port, OnSession, stack);
    if (stack->web_server == nullptr) {
        // Not in the chain yet: undo by hand. The timer monitor stays with the chain.
        ReleaseIdentity(stack);
        std::destroy_at(stack);
        ::operator delete(stack);
        return nullptr;
    }
    stack->http_port = OlvWebServer_GetPort(stack->web_server);
    // The event client goes into the chain before the stack, so that its end (which reports
    // every NOTIFY still in flight) comes while the subscribers still exist.
    stack->event_client = OlvWebClient_Create(kEventClientSockets, chain, context);
    // A socket for every subscriber there may be: a receiver that never answers holds only
    // its own.
    tv::WebClientSetMaxSockets(stack->event_client, 2 * tv::kMaxSubscribers);
    OlvChain_Add(chain, stack);
    tv::SsdpSetup(stack, notify_cycle);
    return stack;
}

OlvWebServer* MicroStack_GetWebServer(MicroStack* stack) noexcept
{
    return stack->web_server;
}

void MicroStack_SetTag(MicroStack* stack, void* tag) noexcept
{
    stack->tag = tag;
}

void* MicroStack_GetTag(MicroStack* stack) noexcept
{
    return stack->tag;
}

std::uint16_t MicroStack_GetHttpPort(MicroStack* stack) noexcept
{
    return stack->http_port;
}

std::uint16_t MicroStack_GetPort(OlvWebSession* session) noexcept
{
    MicroStack* stack = tv::MicroStackOfSession(session);
    return stack != nullptr ? stack->http_port : 0;
}

std::uint32_t MicroStack_SessionLocalAddress(OlvWebSession* session) noexcept
{
    return OlvWebServer_SessionLocalAddress(session);
}

OlvSendResult MicroStack_SendStatus(OlvWebSession* session, int code, const char* reason) noexcept
{
    char text[512];
    int length = std::snprintf(text, sizeof text,
                               "HTTP/1.1 %d %s\r\nServer: %s, UPnP/1.0, Tindravoller 1.2\r\n"
                               "Content-Length: 0\r\n\r\n",
                               code, reason, "WINDOWS");
    if (length < 0) return SendClosed;
    if (length >= static_cast<int>(sizeof text)) length = static_cast<int>(sizeof text) - 1;
    return OlvWebServer_SendBytes(session, text, static_cast<std::size_t>(length), OwnCopy, 1);
}
