// GENA eventing: SUBSCRIBE, renewal and UNSUBSCRIBE with their fixed answers, at most 10
// subscribers per service, the initial event, the five evented values and their NOTIFY
// requests through the event client. Requests and delivery results run on the chain thread;
// the setters may run on any thread. subscriber_lock guards lists, counts, values and every
// ref_count. A subscriber holds at most two NOTIFYs with the event client; a subscriber that
// leaves its list takes the ones that have not gone out with it.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>

#include "http/OlvWebClient.h"
#include "http/OlvWebServer.h"
#include "net/LocalAddresses.h"
#include "net/OlvAsyncSocket.h"
#include "runtime/Memory.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvPacket.h"
#include "runtime/OlvParsers.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_internal.h"

namespace {

using tv::Subscriber;

constexpr char kInvalidServiceName[] =
    "HTTP/1.1 412 Invalid Service Name\r\nContent-Length: 0\r\n\r\n";
constexpr char kTooManySubscribers[] =
    "HTTP/1.1 412 Too Many Subscribers\r\nContent-Length: 0\r\n\r\n";
constexpr char kPreconditionFailed[] =
    "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n";

constexpr char kNotifyFormat[] =
    "NOTIFY %s HTTP/1.1\r\nSERVER: %s, UPnP/1.0, Tindravoller 1.2\r\nHOST: %s:%d\r\n"
    "Content-Type: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\nNTS: upnp:propchange\r\n"
    "SID: %s\r\nSEQ: %d\r\nContent-Length: %d\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><e:propertyset "
    "xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><%s></e:property></e:propertyset>";
constexpr int kNotifyBodyFrame =
    static_cast<int>(sizeof("<?xml version=\"1.0\" encoding=\"utf-8\"?><e:propertyset "
                            "xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><"
                            "></e:property></e:propertyset>") -
                     1);
static_assert(kNotifyBodyFrame == 137);

constexpr const char* kValueNames[tv::kEventedValueCount] = {
    "SourceProtocolInfo", "SinkProtocolInfo", "CurrentConnectionIDs", "ContainerUpdateIDs",
    "SystemUpdateID"};

void SendText(OlvWebSession* session, std::string_view text)
{
    OlvWebServer_SendBytes(session, text.data(), text.size(), OwnStatic, 1);
}

void SendCopy(OlvWebSession* session, const char* text, int length)
{
    if (length < 0) return;
    OlvWebServer_SendBytes(session, text, static_cast<std::size_t>(length), OwnCopy, 1);
}

std::int64_t Now()
{
    std::int64_t seconds = 0;
    std::int64_t micros = 0;
    OlvTimeOfDay(&seconds, &micros);
    return seconds;
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int ServiceOfPath(const OlvPacket* header)
{
    if (tv::PathIs(header->path, header->path_length, "ConnectionManager/event"))
        return tv::kServiceConnectionManager;
    if (tv::PathIs(header->path, header->path_length, "ContentDirectory/event"))
        return tv::kServiceContentDirectory;
    return -1;
}

// The last header of that name (ASCII case ignored, exact length), or an empty view with a
// null data pointer.
std::string_view LastHeader(const OlvPacket* header, std::string_view name)
{
    std::string_view value;
    for (tv::PacketHeader* h = header->first_header; h != nullptr; h = h->next) {
        if (h->name_length == static_cast<int>(name.size()) &&
            OlvStartsWithEx(h->name, h->name_length, name.data(), static_cast<int>(name.size()),
                            0) != 0) {
            value =
                h->value != nullptr ? tv::View(h->value, h->value_length) : std::string_view("");
        }
    }
    return value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && OlvStartsWithEx(a.data(), static_cast<int>(a.size()), b.data(),
                                                   static_cast<int>(b.size()), 0) != 0;
}

// Seconds granted for a Timeout value: "Second-N" gives N (digits read up to the first
// non-digit), anything else 7200; the grant is at most 300, and a request for none or less
// (a subscription over before it starts) gets 300 as well.
long GrantedTimeout(std::string_view value, bool present)
{
    std::string_view text = "7200";
    if (present) {
        std::size_t dash = value.find('-');
        if (dash != std::string_view::npos && value.find('-', dash + 1) == std::string_view::npos) {
            std::string_view second = value.substr(dash + 1);
            if (!EqualsIgnoringCase(second, "INFINITE")) text = second;
        }
    }
    long seconds = 0;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (seconds < 100000) seconds = seconds * 10 + (text[i] - '0');
    }
    if (negative) seconds = -seconds;
    if (seconds <= 0 || seconds > tv::kMaxSubscriptionSeconds) return tv::kMaxSubscriptionSeconds;
    return seconds;
}

struct Callback {
    std::uint32_t address = 0;
    std::uint16_t port = 80;
    std::string_view path = "/";
};

// The first URL of a Callback value: "<http://host[:port][/path]>". False without "://",
// for a scheme other than http and for a port outside 1-65535.
bool ParseCallback(std::string_view value, Callback* callback)
{
    std::size_t scheme = value.find("://");
    if (scheme == std::string_view::npos) return false;
    std::string_view name = value.substr(0, scheme);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    if (!name.empty() && name.front() == '<') name.remove_prefix(1);
    if (!EqualsIgnoringCase(name, "http")) return false;
    std::string_view rest = value.substr(scheme + 3);
    std::size_t close = rest.find('>');
    if (close != std::string_view::npos) rest = rest.substr(0, close);
    std::size_t slash = rest.find('/');
    std::string_view host_port = slash == std::string_view::npos ? rest : rest.substr(0, slash);
    callback->path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    std::size_t colon = host_port.find(':');
    std::string_view host =
        colon == std::string_view::npos ? host_port : host_port.substr(0, colon);
    if (colon != std::string_view::npos) {
        unsigned long port = 0;
        std::string_view digits = host_port.substr(colon + 1);
        for (std::size_t i = 0; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) {
            if (port <= 65535) port = port * 10 + static_cast<unsigned long>(digits[i] - '0');
        }
        if (port == 0 || port > 65535) return false;
        callback->port = static_cast<std::uint16_t>(port);
    }
    char text[INET_ADDRSTRLEN] = {};
    if (host.size() >= sizeof text) {
        callback->address = INADDR_NONE;
        return true;
    }
    std::memcpy(text, host.data(), host.size());
    in_addr parsed{};
    callback->address = inet_pton(AF_INET, text, &parsed) == 1 ? parsed.s_addr : INADDR_NONE;
    return true;
}

// The network's own address or its broadcast address (a subnet with room for them).
bool NetworkOrBroadcast(std::uint32_t address, std::uint32_t mask)
{
    std::uint32_t host_bits = ~mask;
    if (std::popcount(host_bits) < 2) return false;
    return (address & host_bits) == 0 || (address & host_bits) == host_bits;
}

// A host on the network of `entry` other than the network's own and broadcast addresses.
bool HostOn(const tv::LocalAddress& entry, std::uint32_t address)
{
    return (address & entry.netmask) == (entry.address & entry.netmask) &&
           !NetworkOrBroadcast(address, entry.netmask);
}

std::uint32_t SubscriberAddress(OlvWebSession* session)
{
    return session != nullptr ? tv::WebSessionRemoteAddress(session) : 0;
}

// Events may only go back to the subscriber itself or to another host on the network it
// reached us through; anything else would let any client make the server send requests
// anywhere. That network is the served one that holds the subscriber's address: the peer of
// a connection cannot forge it, and the server answers it through that interface. The
// server's own addresses, loopback among them, are open to a subscriber on this machine
// alone, which may also name a host on the network of the address it reached us on.
bool CallbackAllowed(OlvWebSession* session, const tv::ServedInterfaces& served,
                     const std::vector<tv::LocalAddress>& own, std::uint32_t address)
{
    if (address == INADDR_NONE || address == 0) return false;
    std::uint32_t remote = SubscriberAddress(session);
    if (address == remote) return true;
    if (tv::IsOwnAddress(own, remote)) {
        std::uint32_t local = OlvWebServer_SessionLocalAddress(session);
        for (const tv::LocalAddress& entry : own) {
            if (entry.address == address) return true;
            if (entry.address == local && local != 0 && HostOn(entry, address)) return true;
        }
        return false;
    }
    if (tv::IsOwnAddress(own, address)) return false;
    for (const tv::LocalAddress& entry : tv::LocalAddressList(served))
        if (HostOn(entry, remote) && HostOn(entry, address)) return true;
    return false;
}

void FreeSubscriber(Subscriber* subscriber)
{
    tv::Free(subscriber->callback_path);
    delete subscriber;
}

void Unlink(MicroStack* stack, Subscriber* subscriber)
{
    if (subscriber->previous != nullptr)
        subscriber->previous->next = subscriber->next;
    else
        stack->subscribers[subscriber->service] = subscriber->next;
    if (subscriber->next != nullptr) subscriber->next->previous = subscriber->previous;
    subscriber->next = nullptr;
    subscriber->previous = nullptr;
    --stack->subscriber_counts[subscriber->service];
}

// Unlinks the subscriber from its service list, drops its NOTIFYs that have not gone out and
// the list's reference. Under the lock; chain thread.
void RemoveFromList(MicroStack* stack, Subscriber* subscriber)
{
    Unlink(stack, subscriber);
    int dropped = tv::WebClientCancel(stack->event_client, subscriber->callback_address,
                                      subscriber->callback_port, subscriber);
    subscriber->notifies_held -= dropped;
    subscriber->ref_count -= dropped;
    if (--subscriber->ref_count == 0) {
        FreeSubscriber(subscriber);
        return;
    }
    // A NOTIFY is still in flight: keep it where the stack's end can find it.
    subscriber->service = -1;
    subscriber->next = stack->detached;
    if (stack->detached != nullptr) stack->detached->previous = subscriber;
    stack->detached = subscriber;
}

void UnlinkDetached(MicroStack* stack, Subscriber* subscriber)
{
    if (subscriber->previous != nullptr)
        subscriber->previous->next = subscriber->next;
    else
        stack->detached = subscriber->next;
    if (subscriber->next != nullptr) subscriber->next->previous = subscriber->previous;
}

void Notify(MicroStack* stack, Subscriber* subscriber, const char* property);
char* InitialProperties(MicroStack* stack, int service);
void PlanFlush(MicroStack* stack, std::int64_t at_ms);

void OnDelivery(OlvWebReader* /*reader*/, tv::WebInterrupt /*interrupt*/, OlvPacket* header,
                char* /*data*/, int* /*consumed*/, int /*length*/, tv::WebDelivery done, void* user,
                void* user2, OlvSocketPause* /*pause*/) noexcept
{
    if (done != tv::WebDelivery::Final) return;
    auto* subscriber = static_cast<Subscriber*>(user);
    auto* stack = static_cast<MicroStack*>(user2);
    std::scoped_lock lock(stack->subscriber_lock);
    --subscriber->notifies_held;
    if (--subscriber->ref_count == 0) {
        if (subscriber->service < 0) UnlinkDetached(stack, subscriber);
        FreeSubscriber(subscriber);
        return;
    }
    // No response (unreachable, or none within the deadline). Any HTTP answer keeps the
    // subscription.
    if (header == nullptr) {
        if (subscriber->disabled == 0 && subscriber->service >= 0) {
            subscriber->disabled = 1;
            RemoveFromList(stack, subscriber);
        }
        return;
    }
    if (subscriber->change_pending != 0 && stack->moderation.interval_ms > 0) {
        PlanFlush(stack, NowMs());
    } else if (subscriber->change_pending != 0 && subscriber->service >= 0 &&
               subscriber->expires >= Now()) {
        subscriber->change_pending = 0;
        char* property = InitialProperties(stack, subscriber->service);
        Notify(stack, subscriber, property);
        tv::Free(property);
    }
}

// Queues one NOTIFY carrying `property` to the subscriber. Under the lock.
void Notify(MicroStack* stack, Subscriber* subscriber, const char* property)
{
    char host[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = subscriber->callback_address;
    inet_ntop(AF_INET, &address, host, sizeof host);
    int body_length = static_cast<int>(std::strlen(property)) + kNotifyBodyFrame;
    int length = std::snprintf(nullptr, 0, kNotifyFormat, subscriber->callback_path, "WINDOWS",
                               host, subscriber->callback_port, subscriber->sid, subscriber->seq,
                               body_length, property);
    if (length < 0) return;
    auto* text = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(length) + 1));
    std::snprintf(text, static_cast<std::size_t>(length) + 1, kNotifyFormat,
                  subscriber->callback_path, "WINDOWS", host, subscriber->callback_port,
                  subscriber->sid, subscriber->seq, body_length, property);
    ++subscriber->seq;
    ++subscriber->ref_count;
    ++subscriber->notifies_held;
    subscriber->last_event_ms = NowMs();
    OlvWebClient_PipelineRequest(stack->event_client, subscriber->callback_address,
                                 subscriber->callback_port, text, static_cast<std::size_t>(length),
                                 OwnTransfer, nullptr, 0, OwnStatic, OnDelivery, subscriber, stack);
}

const char* Value(MicroStack* stack, int index)
{
    return stack->values[index] != nullptr ? stack->values[index] : "";
}

// The initial event's property text, from the stored values. Under the lock; tv::Free.
char* InitialProperties(MicroStack* stack, int service)
{
    const char* format = service == tv::kServiceConnectionManager
                             ? "SourceProtocolInfo>%s</SourceProtocolInfo></e:property><e:property>"
                               "<SinkProtocolInfo>%s</SinkProtocolInfo></e:property><e:property>"
                               "<CurrentConnectionIDs>%s</CurrentConnectionIDs"
                             : "ContainerUpdateIDs>%s</ContainerUpdateIDs></e:property><e:property>"
                               "<SystemUpdateID>%s</SystemUpdateID%s";
    const char* a = service == tv::kServiceConnectionManager
                        ? Value(stack, tv::kValueSourceProtocolInfo)
                        : Value(stack, tv::kValueContainerUpdateIDs);
    const char* b = service == tv::kServiceConnectionManager
                        ? Value(stack, tv::kValueSinkProtocolInfo)
                        : Value(stack, tv::kValueSystemUpdateID);
    const char* c = service == tv::kServiceConnectionManager
                        ? Value(stack, tv::kValueCurrentConnectionIDs)
                        : "";
    std::size_t size = std::strlen(format) + std::strlen(a) + std::strlen(b) + std::strlen(c) + 1;
    auto* text = static_cast<char*>(tv::Malloc(size));
    // Both formats carry three %s fields; the ContentDirectory one ends in an empty one.
    std::string_view pattern(format);
    const char* values[3] = {a, b, c};
    std::size_t used = 0;
    int field = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' && field < 3) {
            std::size_t n = std::strlen(values[field]);
            std::memcpy(text + used, values[field], n);
            used += n;
            ++field;
            ++i;
        } else {
            text[used++] = pattern[i];
        }
    }
    text[used] = '\0';
    return text;
}

Subscriber* FindSubscriber(MicroStack* stack, int service, std::string_view sid)
{
    for (Subscriber* s = stack->subscribers[service]; s != nullptr; s = s->next) {
        if (tv::View(s->sid, s->sid_length) == sid) return s;
    }
    return nullptr;
}

void AnswerGranted(OlvWebSession* session, std::string_view sid, long timeout)
{
    char text[256];
    int length = std::snprintf(text, sizeof text,
                               "HTTP/1.1 200 OK\r\nSERVER: %s, UPnP/1.0, Tindravoller 1.2\r\n"
                               "SID: %.*s\r\nTIMEOUT: Second-%ld\r\nContent-Length: 0\r\n\r\n",
                               "WINDOWS", static_cast<int>(sid.size() > 100 ? 100 : sid.size()),
                               sid.data(), timeout);
    SendCopy(session, text,
             length < static_cast<int>(sizeof text) ? length : static_cast<int>(sizeof text) - 1);
}

// Chain thread, from the timers: sends each subscriber whose interval is over one event with
// everything that changed since its last, and plans the next look for the others.
void FlushPending(void* data) noexcept
{
    auto* moderation = static_cast<tv::EventModeration*>(data);
    MicroStack* stack = moderation->stack;
    std::scoped_lock lock(stack->subscriber_lock);
    moderation->flush_at = -1;
    const std::int64_t now = NowMs();
    const std::int64_t now_seconds = Now();
    std::int64_t next = -1;
    for (int service = 0; service < 2; ++service) {
        for (Subscriber* s = stack->subscribers[service]; s != nullptr; s = s->next) {
            if (s->change_pending == 0 || s->expires < now_seconds) continue;
            const std::int64_t due = s->last_event_ms + moderation->interval_ms;
            if (due > now) {
                next = next < 0 ? due : std::min(next, due);
                continue;
            }
            // One that still has its events to answer gets this one when it does.
            if (s->notifies_held >= tv::kMaxNotifiesHeld) continue;
            s->change_pending = 0;
            char* property = InitialProperties(stack, service);
            Notify(stack, s, property);
            tv::Free(property);
        }
    }
    if (next >= 0) PlanFlush(stack, next);
}

// Makes the pending changes be looked at no later than `at_ms`. Under the lock; any thread.
void PlanFlush(MicroStack* stack, std::int64_t at_ms)
{
    tv::EventModeration& moderation = stack->moderation;
    if (moderation.flush_at >= 0 && moderation.flush_at <= at_ms) return;
    if (moderation.flush_at >= 0) OlvLifeTime_Remove(stack->timers, &moderation);
    moderation.flush_at = at_ms;
    const std::int64_t delay = at_ms - NowMs();
    if (delay <= 0)
        tv::LifeTimeAddNextTurn(stack->timers, &moderation, FlushPending, nullptr);
    else
        OlvLifeTime_Add(stack->timers, &moderation, static_cast<int>(delay), FlushPending, nullptr);
}

void SetValue(MicroStack* stack, int index, int service, char* value)
{
    const char* name = kValueNames[index];
    std::size_t size = std::strlen(name) * 2 + std::strlen(value) + 4;
    auto* property = static_cast<char*>(tv::Malloc(size));
    std::snprintf(property, size, "%s>%s</%s", name, value, name);
    {
        std::scoped_lock lock(stack->subscriber_lock);
        tv::Free(stack->values[index]);
        stack->values[index] = value;
        std::int64_t now = Now();
        for (Subscriber* s = stack->subscribers[service]; s != nullptr; s = s->next) {
            if (s->expires < now) continue;
            if (stack->moderation.interval_ms > 0) {
                s->change_pending = 1;
                PlanFlush(stack, NowMs());
            } else if (s->notifies_held >= tv::kMaxNotifiesHeld)
                s->change_pending = 1;
            else
                Notify(stack, s, property);
        }
    }
    tv::Free(property);
}

void SetText(MicroStack* stack, int index, int service, const char* text)
{
    if (text == nullptr) text = "";
    auto* escaped =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(OlvXmlEscapeLength(text)) + 1));
    OlvXmlEscape(escaped, text);
    SetValue(stack, index, service, escaped);
}

// Extends the subscription the SID names; 412 when the service has none of that SID.
void Renew(MicroStack* stack, OlvWebSession* session, int service, std::string_view sid,
           long timeout)
{
    if (service < 0) {
        SendText(session, kPreconditionFailed);
        return;
    }
    bool found = false;
    {
        std::scoped_lock lock(stack->subscriber_lock);
        Subscriber* subscriber = FindSubscriber(stack, service, sid);
        if (subscriber != nullptr) {
            subscriber->expires = Now() + timeout;
            found = true;
        }
    }
    if (!found) {
        SendText(session, kPreconditionFailed);
        return;
    }
    AnswerGranted(session, sid, timeout);
}

// Drops the service's expired subscribers; true when there is room for one more from
// `host`. A host on the network has a few places, so that it cannot keep others out; this
// machine's control points all come from its own addresses and share the ten.
bool HasRoom(MicroStack* stack, int service, std::uint32_t host, bool own_machine)
{
    std::scoped_lock lock(stack->subscriber_lock);
    std::int64_t now = Now();
    int held = 0;
    for (Subscriber* s = stack->subscribers[service]; s != nullptr;) {
        Subscriber* next = s->next;
        if (s->expires < now)
            RemoveFromList(stack, s);
        else if (s->subscriber_address == host)
            ++held;
        s = next;
    }
    if (!own_machine && held >= tv::kMaxSubscribersPerHost) return false;
    return stack->subscriber_counts[service] < tv::kMaxSubscribers;
}

// A new subscriber with a fresh SID, not yet in its service's list.
Subscriber* NewSubscriber(const Callback& callback, std::uint32_t host, int service, long timeout)
{
    auto* subscriber = new Subscriber;
    tv::GenaMakeSid(subscriber->sid);
    subscriber->sid_length = static_cast<int>(std::strlen(subscriber->sid));
    subscriber->callback_address = callback.address;
    subscriber->callback_port = callback.port;
    subscriber->subscriber_address = host;
    char* raw_path = OlvStringCopy(callback.path.data(), static_cast<int>(callback.path.size()));
    subscriber->callback_path =
        static_cast<char*>(tv::Malloc(static_cast<std::size_t>(OlvHttpEscapeLength(raw_path))));
    OlvHttpEscape(subscriber->callback_path, raw_path);
    subscriber->callback_path_length = static_cast<int>(std::strlen(subscriber->callback_path));
    tv::Free(raw_path);
    subscriber->ref_count = 1;
    subscriber->seq = 0;
    subscriber->service = service;
    subscriber->expires = Now() + timeout;
    return subscriber;
}

}  // namespace

namespace tv {

void GenaMakeSid(char* sid) noexcept
{
    unsigned char bytes[16] = {};
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "getrandom failed: no random source for subscription ids\n");
            std::abort();
        }
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::memcpy(sid, "uuid:", 5);
    int out = 5;
    int digit = 0;
    for (int group : {8, 4, 4, 4, 12}) {
        if (out > 5) sid[out++] = '-';
        for (int i = 0; i < group; ++i, ++digit) {
            unsigned char byte = bytes[digit / 2];
            sid[out++] = kDigits[(digit % 2 == 0) ? (byte >> 4) : (byte & 0x0F)];
        }
    }
    sid[out] = '\0';
}

void GenaSubscribe(MicroStack* stack, OlvWebSession* session, OlvPacket* header) noexcept
{
    std::string_view sid = LastHeader(header, "SID");
    std::string_view callback_value = LastHeader(header, "Callback");
    std::string_view timeout_value = LastHeader(header, "Timeout");
    long timeout = GrantedTimeout(timeout_value, timeout_value.data() != nullptr);
    int service = ServiceOfPath(header);

    if (sid.data() != nullptr) {
        // A renewal names its subscription by SID alone; UPnP refuses the mix with 400.
        if (callback_value.data() != nullptr || LastHeader(header, "NT").data() != nullptr) {
            MicroStack_SendStatus(session, 400, "Bad Request");
            return;
        }
        Renew(stack, session, service, sid, timeout);
        return;
    }

    if (service < 0) {
        SendText(session, kInvalidServiceName);
        return;
    }
    const std::vector<tv::LocalAddress> own = tv::OwnAddressList();
    const std::uint32_t host = SubscriberAddress(session);
    if (!HasRoom(stack, service, host, tv::IsOwnAddress(own, host))) {
        SendText(session, kTooManySubscribers);
        return;
    }
    Callback callback;
    if (callback_value.data() == nullptr || !ParseCallback(callback_value, &callback) ||
        !CallbackAllowed(session, *stack->context->served, own, callback.address)) {
        SendText(session, kPreconditionFailed);
        return;
    }
    Subscriber* subscriber = NewSubscriber(callback, host, service, timeout);
    {
        std::scoped_lock lock(stack->subscriber_lock);
        subscriber->next = stack->subscribers[service];
        if (subscriber->next != nullptr) subscriber->next->previous = subscriber;
        stack->subscribers[service] = subscriber;
        ++stack->subscriber_counts[service];
    }
    AnswerGranted(session, View(subscriber->sid, subscriber->sid_length), timeout);
    std::scoped_lock lock(stack->subscriber_lock);
    char* property = InitialProperties(stack, service);
    Notify(stack, subscriber, property);
    tv::Free(property);
}

void GenaUnsubscribe(MicroStack* stack, OlvWebSession* session, OlvPacket* header) noexcept
{
    std::string_view sid = LastHeader(header, "SID");
    int service = ServiceOfPath(header);
    if (service < 0) {
        SendText(session, kInvalidServiceName);
        return;
    }
    bool found = false;
    {
        std::scoped_lock lock(stack->subscriber_lock);
        Subscriber* subscriber = FindSubscriber(stack, service, sid);
        if (subscriber != nullptr) {
            RemoveFromList(stack, subscriber);
            found = true;
        }
    }
    char text[80];
    int length = std::snprintf(text, sizeof text, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\n\r\n",
                               found ? 200 : 412, found ? "OK" : "Invalid SID");
    SendCopy(session, text, length);
}

void GenaDestroy(MicroStack* stack) noexcept
{
    std::scoped_lock lock(stack->subscriber_lock);
    // The event client ended before the stack, so no delivery can still refer to these.
    for (Subscriber*& head : stack->subscribers) {
        while (head != nullptr) {
            Subscriber* next = head->next;
            FreeSubscriber(head);
            head = next;
        }
    }
    while (stack->detached != nullptr) {
        Subscriber* next = stack->detached->next;
        FreeSubscriber(stack->detached);
        stack->detached = next;
    }
    for (char*& value : stack->values) {
        tv::Free(value);
        value = nullptr;
    }
}

}  // namespace tv

void MicroStack_SetSourceProtocolInfo(MicroStack* stack, const char* value) noexcept
{
    SetText(stack, tv::kValueSourceProtocolInfo, tv::kServiceConnectionManager, value);
}

void MicroStack_SetSinkProtocolInfo(MicroStack* stack, const char* value) noexcept
{
    SetText(stack, tv::kValueSinkProtocolInfo, tv::kServiceConnectionManager, value);
}

void MicroStack_SetCurrentConnectionIDs(MicroStack* stack, const char* value) noexcept
{
    SetText(stack, tv::kValueCurrentConnectionIDs, tv::kServiceConnectionManager, value);
}

void MicroStack_SetContainerUpdateIDs(MicroStack* stack, const char* value) noexcept
{
    SetText(stack, tv::kValueContainerUpdateIDs, tv::kServiceContentDirectory, value);
}

void tv::MicroStackModerateEvents(MicroStack* stack, int interval_ms) noexcept
{
    std::scoped_lock lock(stack->subscriber_lock);
    stack->moderation.stack = stack;
    stack->moderation.interval_ms = interval_ms > 0 ? interval_ms : 0;
}

void MicroStack_SetSystemUpdateID(MicroStack* stack, std::uint32_t value) noexcept
{
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    SetValue(stack, tv::kValueSystemUpdateID, tv::kServiceContentDirectory,
             OlvStringCopy(text, -1));
}
