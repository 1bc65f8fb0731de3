// SSDP discovery: per local address a send socket for NOTIFY and a listen socket on port 1900
// for M-SEARCH; the goodbye set at start and at the end, the announcement cycle, delayed
// search replies from a temporary sub-chain, and the rebuild after an address change.
// Chain thread, except MicroStack_NotifyAddressChange.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "net/LocalAddresses.h"
#include "net/OlvAsyncSocket.h"
#include "net/OlvAsyncUDPSocket.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvPacket.h"
#include "runtime/OlvParsers.h"
#include "runtime/UniqueFd.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_internal.h"

namespace {

constexpr std::uint16_t kSsdpPort = 1900;
constexpr const char kSsdpGroupText[] = "239.255.255.250";
constexpr int kSocketBuffer = 4096;
constexpr std::uint16_t kLowPort = 50000;
constexpr std::uint16_t kHighPort = 65500;
constexpr int kMulticastTtl = 4;
constexpr int kMessageBuffer = 5000;
constexpr int kSecondBurstMs = 7000;
constexpr unsigned long kMaxMx = 10;
// Each searcher may have 64 replies at once (a dozen searches for everything), then 16 a
// second; at most 32 of its searches wait out their delay, and 256 of all searchers'.
constexpr std::int64_t kReplyBurst = 64 * 1000;
constexpr std::int64_t kRepliesPerSecond = 16;
constexpr int kPendingPerSource = 32;
constexpr int kPendingTotal = 256;

std::uint32_t GroupAddress()
{
    return inet_addr(kSsdpGroupText);
}

struct Kind {
    std::string_view usn_suffix;
    std::string_view nt_prefix;  // the NT is this followed by the UDN for kind 2
    bool nt_has_udn;
};

// Index 0 is unused (the cycle job); kinds 1..5 send one message each.
constexpr Kind kKinds[6] = {
    {"", "", false},
    {"::upnp:rootdevice", "upnp:rootdevice", false},
    {"", "uuid:", true},
    {"::urn:schemas-upnp-org:device:MediaServer:1", "urn:schemas-upnp-org:device:MediaServer:1",
     false},
    {"::urn:schemas-upnp-org:service:ConnectionManager:1",
     "urn:schemas-upnp-org:service:ConnectionManager:1", false},
    {"::urn:schemas-upnp-org:service:ContentDirectory:1",
     "urn:schemas-upnp-org:service:ContentDirectory:1", false},
};

struct AnnounceJob {
    MicroStack* stack;
    int kind;
};

struct SearchJob {
    char* target;
    int target_length;
    MicroStack* stack;
    std::uint32_t remote_address;
    std::uint16_t remote_port;
    std::uint32_t local_address;
    OlvChain* chain;
    OlvChain* sub_chain;
    int source;  // its entry in the stack's search_sources
};

const char* Udn(MicroStack* stack)
{
    return stack->udn_uri + 5;
}

std::uint32_t Draw(MicroStack* stack)
{
    return stack->context->random.Draw();
}

int Random16(MicroStack* stack)
{
    return static_cast<int>(Draw(stack) & 0xFFFF);
}

void Send(OlvAsyncSocket* socket, const char* text, int length, std::uint32_t address,
          std::uint16_t port)
{
    if (socket == nullptr || length <= 0) return;
    OlvAsyncSocket_Send(socket, text, static_cast<std::size_t>(length), address, port, OwnCopy);
}

int Clamp(int length)
{
    if (length < 0) return 0;
    return length >= kMessageBuffer ? kMessageBuffer - 1 : length;
}

void SendAlive(MicroStack* stack, int kind)
{
    char text[kMessageBuffer];
    const Kind& k = kKinds[kind];
    for (int i = 0; i < stack->address_count; ++i) {
        OlvAsyncSocket* socket = stack->ssdp_send_sockets[i];
        if (socket == nullptr) continue;
        OlvAsyncUDPSocket_SetMulticastInterface(socket, stack->addresses[i]);
        char address[INET_ADDRSTRLEN] = {};
        std::snprintf(address, sizeof address, "%s", OlvAddressToText(stack->addresses[i]));
        int length = std::snprintf(
            text, sizeof text,
            "NOTIFY * HTTP/1.1\r\nLOCATION: http://%s:%d/\r\nHOST: 239.255.255.250:1900\r\n"
            "SERVER: %s, UPnP/1.0, Tindravoller 1.3\r\nNTS: ssdp:alive\r\nUSN: uuid:%s%.*s\r\n"
            "CACHE-CONTROL: max-age=%d\r\nNT: %.*s%s\r\n\r\n",
            address, stack->http_port, "WINDOWS", Udn(stack), static_cast<int>(k.usn_suffix.size()),
            k.usn_suffix.data(), stack->notify_cycle, static_cast<int>(k.nt_prefix.size()),
            k.nt_prefix.data(), k.nt_has_udn ? Udn(stack) : "");
        Send(socket, text, Clamp(length), GroupAddress(), kSsdpPort);
    }
}

void SendGoodbye(MicroStack* stack)
{
    char text[kMessageBuffer];
    for (int i = 0; i < stack->address_count; ++i) {
        OlvAsyncSocket* socket = stack->ssdp_send_sockets[i];
        if (socket == nullptr) continue;
        OlvAsyncUDPSocket_SetMulticastInterface(socket, stack->addresses[i]);
        for (int round = 0; round < 2; ++round) {
            for (int kind = 1; kind <= 5; ++kind) {
                const Kind& k = kKinds[kind];
                int length = std::snprintf(
                    text, sizeof text,
                    "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS: ssdp:byebye\r\n"
                    "USN: uuid:%s%.*s\r\nNT: %.*s%s\r\nContent-Length: 0\r\n\r\n",
                    Udn(stack), static_cast<int>(k.usn_suffix.size()), k.usn_suffix.data(),
                    static_cast<int>(k.nt_prefix.size()), k.nt_prefix.data(),
                    k.nt_has_udn ? Udn(stack) : "");
                Send(socket, text, Clamp(length), GroupAddress(), kSsdpPort);
            }
        }
    }
}

void FreeJob(void* data) noexcept
{
    delete static_cast<AnnounceJob*>(data);
}

void ScheduleJob(MicroStack* stack, int kind, int delay_ms);

void RunJob(void* data) noexcept
{
    auto* job = static_cast<AnnounceJob*>(data);
    MicroStack* stack = job->stack;
    if (job->kind != 0) {
        SendAlive(stack, job->kind);
        delete job;
        return;
    }
    for (int kind = 1; kind <= 5; ++kind)
        ScheduleJob(stack, kind, static_cast<int>(Draw(stack) % 1000));
    for (int kind = 1; kind <= 5; ++kind)
        ScheduleJob(stack, kind, kSecondBurstMs + static_cast<int>(Draw(stack) % 1000));
    int n = stack->notify_cycle;
    int span = n / 2 - n / 4;
    int seconds = (span > 0 ? Random16(stack) % span : 0) + n / 4;
    // The cycle job reschedules itself with its own record.
    OlvLifeTime_Add(stack->timers, job, seconds * 1000, RunJob, FreeJob);
}

void ScheduleJob(MicroStack* stack, int kind, int delay_ms)
{
    auto* job = new AnnounceJob{stack, kind};
    OlvLifeTime_Add(stack->timers, job, delay_ms, RunJob, FreeJob);
}

// ---- Searches ----

void FreeSearchJob(SearchJob* job)
{
    tv::Free(job->target);
    delete job;
}

void DropSearchJob(void* data) noexcept
{
    FreeSearchJob(static_cast<SearchJob*>(data));
}

void SearchSendOk(OlvAsyncSocket* /*socket*/, void* user, void* /*reserved*/) noexcept
{
    auto* job = static_cast<SearchJob*>(user);
    if (job->sub_chain == nullptr) return;
    OlvChain* sub = job->sub_chain;
    job->sub_chain = nullptr;
    OlvChain_DropSubChain(job->chain, sub);
    FreeSearchJob(job);
}

struct ReplyContext {
    SearchJob* job;
    OlvAsyncSocket* socket;
    char address[INET_ADDRSTRLEN];
    OlvSendResult last;
    int sent;
};

void EmitReply(void* context, std::string_view suffix, std::string_view st) noexcept
{
    auto* reply = static_cast<ReplyContext*>(context);
    MicroStack* stack = reply->job->stack;
    char text[kMessageBuffer];
    int length = std::snprintf(
        text, sizeof text,
        "HTTP/1.1 200 OK\r\nLOCATION: http://%s:%d/\r\nEXT:\r\nSERVER: %s, UPnP/1.0, "
        "Tindravoller 1.2\r\nUSN: uuid:%s%.*s\r\nCACHE-CONTROL: max-age=%d\r\nST: %.*s%s\r\n\r\n",
        reply->address, stack->http_port, "WINDOWS", Udn(stack), static_cast<int>(suffix.size()),
        suffix.data(), stack->notify_cycle, static_cast<int>(st.size()), st.data(), "");
    length = Clamp(length);
    reply->last = OlvAsyncSocket_Send(reply->socket, text, static_cast<std::size_t>(length),
                                      reply->job->remote_address, reply->job->remote_port, OwnCopy);
    ++reply->sent;
}

void RunSearchJob(void* data) noexcept
{
    auto* job = static_cast<SearchJob*>(data);
    MicroStack* stack = job->stack;
    --stack->search_sources[job->source].pending;
    --stack->searches_pending;
    job->sub_chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* socket = OlvAsyncUDPSocket_Create(job->sub_chain, &stack->context->random,
                                                      kSocketBuffer, job->local_address, kLowPort,
                                                      kHighPort, 1, nullptr, SearchSendOk, job);
    OlvChain_MergeSubChain(job->chain, job->sub_chain);
    ReplyContext reply{job, socket, {}, SendAllSent, 0};
    std::snprintf(reply.address, sizeof reply.address, "%s", OlvAddressToText(job->local_address));
    if (socket != nullptr) {
        tv::SsdpForEachReply(tv::View(job->target, job->target_length), Udn(stack), EmitReply,
                             &reply);
    }
    if (reply.sent == 0 || reply.last != SendQueued) {
        OlvChain* sub = job->sub_chain;
        job->sub_chain = nullptr;
        OlvChain_DropSubChain(job->chain, sub);
        FreeSearchJob(job);
    }
}

bool Serves(const MicroStack* stack, std::uint32_t address)
{
    for (int i = 0; i < stack->address_count; ++i)
        if (stack->addresses[i] == address) return true;
    return false;
}

bool ServesInterface(const MicroStack* stack, int interface_index)
{
    for (int i = 0; i < stack->address_count; ++i)
        if (static_cast<int>(stack->address_interfaces[i]) == interface_index) return true;
    return false;
}

// Of the served addresses on the interface a group datagram came in on: the one the kernel
// would answer its sender from, else the first.
std::uint32_t GroupAnswerAddress(const MicroStack* stack, const tv::DatagramArrival& arrival)
{
    std::uint32_t first = 0;
    for (int i = 0; i < stack->address_count; ++i) {
        if (static_cast<int>(stack->address_interfaces[i]) != arrival.interface_index) continue;
        if (stack->addresses[i] == arrival.local_address) return arrival.local_address;
        if (first == 0) first = stack->addresses[i];
    }
    return first;
}

// The address a search that `socket` read is answered from and names, or 0 for none: the
// address it arrived on. *group tells a search sent to the group.
std::uint32_t AnswerAddress(const MicroStack* stack, OlvAsyncSocket* socket,
                            const tv::DatagramArrival& arrival, bool* group)
{
    std::uint32_t own = OlvAsyncSocket_GetLocalAddress(socket);
    *group = false;
    if (own == 0) return 0;                    // the group join failed
    if (arrival.destination == 0) return own;  // no IP_PKTINFO: the socket's own address
    // The interface decides: a host on another one may route a served address through it.
    if (!IN_MULTICAST(ntohl(arrival.destination)))
        return Serves(stack, arrival.destination) && ServesInterface(stack, arrival.interface_index)
                   ? arrival.destination
                   : 0;
    *group = true;
    return GroupAnswerAddress(stack, arrival);
}

// Whether the sender of a search is one the server may answer where it came in: a host on
// the network of a served address of that interface, or on lo this machine itself. Any other
// sender is a forged one (or beyond a router), and its answers would go to someone who never
// asked.
bool SenderOnArrivalNetwork(const MicroStack* stack, const tv::DatagramArrival& arrival,
                            std::uint32_t local, std::uint32_t sender)
{
    bool loopback = false;
    for (int i = 0; i < stack->address_count; ++i) {
        bool here = arrival.interface_index != 0
                        ? static_cast<int>(stack->address_interfaces[i]) == arrival.interface_index
                        : stack->addresses[i] == local;
        if (!here) continue;
        std::uint32_t mask = stack->address_masks[i];
        if ((sender & mask) == (stack->addresses[i] & mask)) return true;
        loopback = loopback || (ntohl(stack->addresses[i]) >> 24) == 127;
    }
    return loopback && Serves(stack, sender);
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void FillUp(tv::SearchSource& source, std::int64_t now)
{
    if (now > source.at_ms)
        source.tokens =
            std::min(kReplyBurst, source.tokens + (now - source.at_ms) * kRepliesPerSecond);
    source.at_ms = now;
}

// The entry of a searcher: its own, else one that tells nothing (taken afresh), else the one
// all others share.
int SourceEntry(MicroStack* stack, std::uint32_t address, std::int64_t now)
{
    int free_entry = -1;
    for (int i = 0; i < tv::kSearchSourceCount; ++i) {
        tv::SearchSource& source = stack->search_sources[i];
        if (source.at_ms != 0 && source.address == address) return i;
        if (free_entry >= 0 || source.pending != 0) continue;
        if (source.at_ms != 0) FillUp(source, now);
        if (source.at_ms == 0 || source.tokens == kReplyBurst) free_entry = i;
    }
    if (free_entry < 0) return tv::kSearchSourceCount;
    stack->search_sources[free_entry] = tv::SearchSource{address, 0, kReplyBurst, now};
    return free_entry;
}

// Takes `replies` from the sender's share and counts the search as waiting: the entry it is
// counted in, or -1 when the sender has had its share or too many searches wait.
int AdmitSearch(MicroStack* stack, std::uint32_t sender, int replies)
{
    if (stack->searches_pending >= kPendingTotal) return -1;
    const std::int64_t now = NowMs();
    int entry = SourceEntry(stack, sender, now);
    tv::SearchSource& source = stack->search_sources[entry];
    if (source.at_ms == 0) source = tv::SearchSource{0, 0, kReplyBurst, now};
    FillUp(source, now);
    const std::int64_t cost = static_cast<std::int64_t>(replies) * 1000;
    if (source.pending >= kPendingPerSource || source.tokens < cost) return -1;
    source.tokens -= cost;
    ++source.pending;
    ++stack->searches_pending;
    return entry;
}

void CountReply(void* context, std::string_view /*suffix*/, std::string_view /*st*/) noexcept
{
    ++*static_cast<int*>(context);
}

std::uint64_t Digest(const char* data, int length)
{
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (int i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

// True when the same group search was read lately through another listen socket; otherwise
// remembers it. Copies of one datagram are read within a turn or two: 100 ms is ample.
bool SeenLately(MicroStack* stack, std::uint32_t sender, std::uint16_t port, int interface_index,
                const char* data, int length)
{
    constexpr std::int64_t kWindowMs = 100;
    const std::int64_t now = NowMs();
    const std::uint64_t digest = Digest(data, length);
    for (const tv::RecentSearch& seen : stack->recent_searches) {
        if (seen.at_ms != 0 && now - seen.at_ms < kWindowMs && seen.sender == sender &&
            seen.port == port && seen.interface_index == interface_index && seen.digest == digest)
            return true;
    }
    stack->recent_searches[stack->recent_search_next] =
        tv::RecentSearch{sender, port, interface_index, digest, now};
    stack->recent_search_next = (stack->recent_search_next + 1) % tv::kRecentSearchCount;
    return false;
}

// Listen socket data: one datagram.
void OnSearchDatagram(MicroStack* stack, OlvAsyncSocket* socket, char* data, int length)
{
    const tv::DatagramArrival arrival = tv::AsyncSocketArrival(socket);
    bool group = false;
    std::uint32_t local = AnswerAddress(stack, socket, arrival, &group);
    if (local == 0) return;
    std::uint32_t remote_address = OlvAsyncSocket_GetRemoteAddress(socket);
    std::uint16_t remote_port = OlvAsyncSocket_GetRemotePort(socket);
    if (!SenderOnArrivalNetwork(stack, arrival, local, remote_address)) return;
    if (group &&
        SeenLately(stack, remote_address, remote_port, arrival.interface_index, data, length))
        return;
    tv::SsdpSearch search;
    if (!tv::SsdpParseSearch(data, length, &search)) return;
    // A search without replies holds nothing while its delay runs.
    int replies = 0;
    tv::SsdpForEachReply(tv::View(search.target, search.target_length), Udn(stack), CountReply,
                         &replies);
    int source = replies > 0 ? AdmitSearch(stack, remote_address, replies) : -1;
    if (source < 0) {
        tv::Free(search.target);
        return;
    }
    int delay = search.mx == 0
                    ? 0
                    : static_cast<int>(static_cast<unsigned long>(Random16(stack)) % search.mx);
    auto* job =
        new SearchJob{search.target, search.target_length, stack,   remote_address, remote_port,
                      local,         stack->chain,         nullptr, source};
    OlvLifeTime_Add(stack->timers, job, delay * 1000, RunSearchJob, DropSearchJob);
}

void ListenData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                tv::AsyncSocketInterruptFn* /*on_interrupt*/, void** user, int* /*pause*/) noexcept
{
    *consumed = length;
    if (user != nullptr && *user != nullptr)
        OnSearchDatagram(static_cast<MicroStack*>(*user), socket, data, length);
}

// The listen socket is built here rather than by the datagram module because port 1900 must
// be shared with other SSDP listeners on the host (SO_REUSEPORT before bind).
OlvAsyncSocket* CreateListenSocket(MicroStack* stack)
{
    tv::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return nullptr;
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kSsdpPort);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return nullptr;
    // Group datagrams only from the interface this socket joined on, and with every datagram
    // the address it arrived on: unicast ones come to any one of the sockets on the port.
    int off = 0;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    OlvAsyncSocket* socket =
        OlvAsyncSocket_Create(stack->chain, kSocketBuffer, ListenData, nullptr, nullptr, nullptr);
    if (socket == nullptr) return nullptr;
    OlvAsyncSocket_Adopt(socket, fd.release(), nullptr, stack);
    return socket;
}

void CreateSockets(MicroStack* stack)
{
    if (!stack->ssdp_enabled) return;
    std::vector<tv::LocalAddress> list = tv::LocalAddressList(*stack->context->served);
    auto count = list.size();
    stack->address_count = static_cast<int>(count);
    stack->addresses = static_cast<std::uint32_t*>(tv::Malloc(sizeof(std::uint32_t) * count));
    stack->address_interfaces = static_cast<unsigned*>(tv::Malloc(sizeof(unsigned) * count));
    stack->address_masks = static_cast<std::uint32_t*>(tv::Malloc(sizeof(std::uint32_t) * count));
    for (std::size_t i = 0; i < count; ++i) {
        stack->addresses[i] = list[i].address;
        stack->address_interfaces[i] = list[i].interface_index;
        stack->address_masks[i] = list[i].netmask;
    }
    stack->ssdp_send_sockets =
        static_cast<OlvAsyncSocket**>(tv::Malloc(sizeof(OlvAsyncSocket*) * count));
    stack->ssdp_listen_sockets =
        static_cast<OlvAsyncSocket**>(tv::Malloc(sizeof(OlvAsyncSocket*) * count));
    for (int i = 0; i < stack->address_count; ++i) {
        std::uint32_t address = stack->addresses[i];
        OlvAsyncSocket* send =
            OlvAsyncUDPSocket_Create(stack->chain, &stack->context->random, kSocketBuffer, address,
                                     kLowPort, kHighPort, 1, nullptr, nullptr, stack);
        if (send != nullptr) {
            OlvAsyncUDPSocket_JoinGroup(send, GroupAddress(), address);
            OlvAsyncUDPSocket_SetMulticastTtl(send, kMulticastTtl);
        }
        stack->ssdp_send_sockets[i] = send;
        OlvAsyncSocket* listen = CreateListenSocket(stack);
        if (listen != nullptr) OlvAsyncUDPSocket_JoinGroup(listen, GroupAddress(), address);
        stack->ssdp_listen_sockets[i] = listen;
    }
}

void FreeSocketArrays(MicroStack* stack, bool remove)
{
    // Old sockets leave the chain at once, so that a server whose addresses change for
    // months does not keep every socket it ever had.
    for (int i = 0; i < stack->address_count; ++i) {
        if (remove) {
            if (stack->ssdp_send_sockets[i] != nullptr)
                OlvChain_DeferRemove(stack->chain, stack->ssdp_send_sockets[i]);
            if (stack->ssdp_listen_sockets[i] != nullptr)
                OlvChain_DeferRemove(stack->chain, stack->ssdp_listen_sockets[i]);
        }
    }
    tv::Free(stack->ssdp_send_sockets);
    tv::Free(stack->ssdp_listen_sockets);
    tv::Free(stack->addresses);
    tv::Free(stack->address_interfaces);
    tv::Free(stack->address_masks);
    stack->address_interfaces = nullptr;
    stack->address_masks = nullptr;
    stack->ssdp_send_sockets = nullptr;
    stack->ssdp_listen_sockets = nullptr;
    stack->addresses = nullptr;
    stack->address_count = 0;
}

bool HeaderIs(const tv::PacketHeader* header, std::string_view name)
{
    return header->name_length == static_cast<int>(name.size()) &&
           OlvStartsWithEx(header->name, header->name_length, name.data(),
                           static_cast<int>(name.size()), 0) != 0;
}

// The version after a typed prefix: a decimal integer, 0 when empty or not a number.
bool VersionAtMostOne(std::string_view rest)
{
    long value = 0;
    bool digits = false;
    std::size_t i = 0;
    bool negative = false;
    if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) {
        negative = rest[i] == '-';
        ++i;
    }
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
        digits = true;
        if (value < 1000) value = value * 10 + (rest[i] - '0');
    }
    if (!digits) return true;
    return negative || value <= 1;
}

}  // namespace

namespace tv {

bool SsdpParseSearch(char* data, int length, SsdpSearch* search) noexcept
{
    *search = SsdpSearch{};
    if (data == nullptr || length <= 0) return false;
    OlvPacket* packet = OlvPacket_Parse(data, 0, length);
    if (packet == nullptr) return false;
    bool ok = packet->status_code == -1 && packet->method != nullptr &&
              OlvStartsWith(packet->method, packet->method_length, "M-SEARCH", 8) != 0 &&
              packet->path != nullptr && packet->path_length >= 1 && packet->path[0] == '*' &&
              packet->version != nullptr &&
              OlvStartsWith(packet->version, packet->version_length, "1.1", 3) != 0;
    bool man = false;
    bool mx = false;
    unsigned long mx_value = 0;
    for (PacketHeader* header = ok ? packet->first_header : nullptr; header != nullptr;
         header = header->next) {
        if (HeaderIs(header, "ST")) {
            search->target = header->value;
            search->target_length = header->value_length;
        } else if (HeaderIs(header, "MAN")) {
            if (OlvStartsWith(header->value, header->value_length, "\"ssdp:discover\"", 15) != 0)
                man = true;
        } else if (HeaderIs(header, "MX")) {
            unsigned long value = 0;
            if (header->value != nullptr && header->value_length > 0 &&
                OlvParseULong(header->value, header->value_length, &value) == 0) {
                mx = true;
                mx_value = value > kMaxMx ? kMaxMx : value;
            }
        }
    }
    // Headers that reach the end of the datagram are private copies freed with the packet,
    // so the target is handed out as a copy of its own.
    bool answer = ok && man && mx && search->target != nullptr;
    char* target = answer ? OlvStringCopy(search->target, search->target_length) : nullptr;
    int target_length = answer ? search->target_length : 0;
    OlvPacket_Destroy(packet);
    *search = SsdpSearch{};
    if (!answer) {
        return false;
    }
    search->target = target;
    search->target_length = target_length;
    search->mx = mx_value;
    return true;
}

int SsdpForEachReply(std::string_view target, std::string_view udn,
                     void (*emit)(void* context, std::string_view usn_suffix, std::string_view st),
                     void* context) noexcept
{
    constexpr std::string_view kDevicePrefix = "urn:schemas-upnp-org:device:MediaServer:";
    constexpr std::string_view kCmsPrefix = "urn:schemas-upnp-org:service:ConnectionManager:";
    constexpr std::string_view kCdsPrefix = "urn:schemas-upnp-org:service:ContentDirectory:";
    if (target == "ssdp:all") {
        char uuid[128];
        int n =
            std::snprintf(uuid, sizeof uuid, "uuid:%.*s", static_cast<int>(udn.size()), udn.data());
        if (n < 0) n = 0;
        if (n >= static_cast<int>(sizeof uuid)) n = static_cast<int>(sizeof uuid) - 1;
        emit(context, kKinds[1].usn_suffix, kKinds[1].nt_prefix);
        emit(context, "", std::string_view(uuid, static_cast<std::size_t>(n)));
        emit(context, kKinds[3].usn_suffix, kKinds[3].nt_prefix);
        emit(context, kKinds[4].usn_suffix, kKinds[4].nt_prefix);
        emit(context, kKinds[5].usn_suffix, kKinds[5].nt_prefix);
        return 5;
    }
    if (target == "upnp:rootdevice") {
        emit(context, kKinds[1].usn_suffix, kKinds[1].nt_prefix);
        return 1;
    }
    if (target.size() == udn.size() + 5 && target.substr(0, 5) == "uuid:" &&
        target.substr(5) == udn) {
        emit(context, "", target);
        return 1;
    }
    const std::string_view prefixes[3] = {kDevicePrefix, kCmsPrefix, kCdsPrefix};
    for (int i = 0; i < 3; ++i) {
        if (target.size() >= prefixes[i].size() &&
            target.substr(0, prefixes[i].size()) == prefixes[i]) {
            if (!VersionAtMostOne(target.substr(prefixes[i].size()))) return 0;
            emit(context, kKinds[3 + i].usn_suffix, target);
            return 1;
        }
    }
    return 0;
}

void SsdpSetup(MicroStack* stack, int notify_cycle) noexcept
{
    stack->notify_cycle = notify_cycle;
    stack->ssdp_enabled = stack->context->ssdp;
    CreateSockets(stack);
}

void SsdpPreSelect(MicroStack* stack) noexcept
{
    if (stack->announce_state == 0) {
        stack->announce_state = -1;
        SendGoodbye(stack);
        int r = Random16(stack);
        int state = 0;
        while (state == 0) state = static_cast<int>(Draw(stack) & 0x7FFFFFFF);
        stack->announce_state = state;
        ScheduleJob(stack, 0, r % 500);
    }
    if (stack->address_changed.exchange(0) != 0) {
        FreeSocketArrays(stack, true);
        CreateSockets(stack);
        for (int kind = 1; kind <= 5; ++kind) ScheduleJob(stack, kind, Random16(stack) % 500);
    }
}

void SsdpDestroy(MicroStack* stack) noexcept
{
    SendGoodbye(stack);
    // The sockets belong to the chain, which destroys them after the stack.
    FreeSocketArrays(stack, false);
}

}  // namespace tv

void MicroStack_NotifyAddressChange(MicroStack* stack) noexcept
{
    stack->address_changed.store(1);
    OlvChain_Wake(stack->chain);
}
