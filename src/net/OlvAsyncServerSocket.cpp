// Listening socket with a fixed pool of async sockets. Accepts only while a pool socket is
// free or one can be freed, so surplus clients wait in the system's backlog. A connection is
// judged as it is accepted: one from an interface the server does not serve is closed before
// anything is read from it or made room for. Chain thread only.
#include "net/OlvAsyncServerSocket.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <type_traits>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/LocalAddresses.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerContext.h"
#include "runtime/ServerLog.h"

namespace {
constexpr int kListenBacklog = 4;
}  // namespace

struct OlvAsyncServerSocket {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvChain* chain = nullptr;
    tv::ServerContext* context = nullptr;
    int max_connections = 0;
    OlvAsyncSocket** pool = nullptr;
    int listen_handle = -1;
    std::uint16_t port = 0;
    int listening = 0;
    tv::ServerConnectFn on_connect = nullptr;
    tv::ServerSocketEventFn on_disconnect = nullptr;
    tv::ServerReceiveFn on_receive = nullptr;
    tv::ServerSocketEventFn on_interrupt = nullptr;
    tv::ServerSocketEventFn on_send_ok = nullptr;
    void* tag = nullptr;
    int stall_limit_ms = tv::kStallLimitMs;
    // Per pool socket: since when (steady clock, ms) its owner has said it waits for its next
    // request; -1 while it works, and from its arming until its first answer.
    std::int64_t* idle_since_ms = nullptr;
    // An admitted client that found no room after all (the connection that was to give way
    // began a request meanwhile); the backlog waits behind it.
    int waiting_handle = -1;
    std::uint32_t waiting_peer = 0;
};

static_assert(std::is_standard_layout_v<OlvAsyncServerSocket>);
static_assert(offsetof(OlvAsyncServerSocket, hooks) == 0);

namespace {

// One per accepted connection, the pool socket's user.
struct Connection {
    OlvAsyncServerSocket* server;
    void* user;  // the owner's word for the connection
};

// The pool socket's user word: the one place that casts it.
Connection* ConnectionOf(void* word) noexcept
{
    return static_cast<Connection*>(word);
}

// The server, as the chain's hooks hand it back.
OlvAsyncServerSocket* ServerSocketOf(void* object) noexcept
{
    return static_cast<OlvAsyncServerSocket*>(object);
}

void ForwardInterrupt(OlvAsyncSocket* socket, void* user) noexcept
{
    Connection* record = ConnectionOf(user);
    if (record == nullptr) return;
    OlvAsyncServerSocket* server = record->server;
    if (server->on_interrupt != nullptr) server->on_interrupt(server, socket, record->user);
    delete record;
}

void ForwardData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                 tv::AsyncSocketInterruptFn* /*on_interrupt*/, void** user, int* pause) noexcept
{
    Connection* record = ConnectionOf(*user);
    if (record == nullptr) return;
    OlvAsyncServerSocket* server = record->server;
    if (server->on_receive == nullptr) return;
    int taken = 0;
    server->on_receive(server, socket, data, &taken, length, &server->on_interrupt, &record->user,
                       pause);
    // A callee that closed the connection has nothing left to read.
    *consumed = OlvAsyncSocket_IsFree(socket) ? length : taken;
}

void ForwardDisconnect(OlvAsyncSocket* socket, void* user) noexcept
{
    Connection* record = ConnectionOf(user);
    if (record == nullptr) return;
    OlvAsyncServerSocket* server = record->server;
    if (server->on_disconnect != nullptr) server->on_disconnect(server, socket, record->user);
    delete record;
}

void ForwardSendOk(OlvAsyncSocket* socket, void* user) noexcept
{
    Connection* record = ConnectionOf(user);
    if (record == nullptr) return;
    OlvAsyncServerSocket* server = record->server;
    if (server->on_send_ok != nullptr) server->on_send_ok(server, socket, record->user);
}

std::int64_t NowMs() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

OlvAsyncSocket* FreeSocket(OlvAsyncServerSocket* server) noexcept
{
    for (int i = 0; i < server->max_connections; ++i) {
        if (OlvAsyncSocket_IsFree(server->pool[i])) return server->pool[i];
    }
    return nullptr;
}

int PoolIndex(OlvAsyncServerSocket* server, OlvAsyncSocket* socket) noexcept
{
    for (int i = 0; i < server->max_connections; ++i) {
        if (server->pool[i] == socket) return i;
    }
    return -1;
}

// Bytes of a next request have come, read or not: it is in flight.
bool HasInput(OlvAsyncSocket* socket) noexcept
{
    char* buffer = nullptr;
    int begin = 0;
    int end = 0;
    OlvAsyncSocket_GetBuffer(socket, &buffer, &begin, &end);
    if (end > begin) return true;
    int queued = 0;
    return ::ioctl(*OlvAsyncSocket_GetHandle(socket), FIONREAD, &queued) != 0 || queued > 0;
}

// The connection that has waited longest for its next request with nothing of one come yet;
// null when none waits.
OlvAsyncSocket* LongestIdle(OlvAsyncServerSocket* server) noexcept
{
    OlvAsyncSocket* longest = nullptr;
    std::int64_t since = 0;
    for (int i = 0; i < server->max_connections; ++i) {
        OlvAsyncSocket* socket = server->pool[i];
        const std::int64_t idle = server->idle_since_ms[i];
        if (idle < 0 || (longest != nullptr && idle >= since) || OlvAsyncSocket_IsFree(socket) ||
            HasInput(socket)) {
            continue;
        }
        longest = socket;
        since = idle;
    }
    return longest;
}

// The pool socket whose queued bytes have waited longest without any going out, with how long
// in *stalled_ms; null when no queue waits.
OlvAsyncSocket* MostStalled(OlvAsyncServerSocket* server, std::int64_t* stalled_ms) noexcept
{
    OlvAsyncSocket* most = nullptr;
    *stalled_ms = -1;
    for (int i = 0; i < server->max_connections; ++i) {
        std::int64_t stalled = tv::AsyncSocketStalledMs(server->pool[i]);
        if (stalled > *stalled_ms) {
            *stalled_ms = stalled;
            most = server->pool[i];
        }
    }
    return most;
}

// Milliseconds until room can be made for a waiting client: 0 now (a connection waits for its
// next request, or a stream has stalled for the limit), -1 never while nothing changes.
std::int64_t RoomDueMs(OlvAsyncServerSocket* server) noexcept
{
    if (FreeSocket(server) != nullptr || LongestIdle(server) != nullptr) return 0;
    std::int64_t stalled = 0;
    if (MostStalled(server, &stalled) == nullptr) return -1;
    return stalled >= server->stall_limit_ms ? 0 : server->stall_limit_ms - stalled;
}

// Every slot is taken and an admitted client waits. A slot is a place to work, not to wait:
// the connection that has waited longest for its next request gives way first; only then the
// longest stalled stream, once it has stalled for the limit. Returns the pool socket freed.
OlvAsyncSocket* MakeRoom(OlvAsyncServerSocket* server) noexcept
{
    OlvAsyncSocket* socket = LongestIdle(server);
    if (socket == nullptr) {
        std::int64_t stalled = 0;
        socket = MostStalled(server, &stalled);
        if (socket == nullptr || stalled < server->stall_limit_ms) return nullptr;
        char peer[INET_ADDRSTRLEN] = {};
        in_addr address{OlvAsyncSocket_GetRemoteAddress(socket)};
        ::inet_ntop(AF_INET, &address, peer, sizeof peer);
        ServerLog(
            "Closed the connection of %s to make room for another: it took nothing for %.1f s",
            peer, static_cast<double>(stalled) / 1000);
    }
    OlvAsyncSocket_Disconnect(socket);
    return OlvAsyncSocket_IsFree(socket) ? socket : nullptr;
}

// Arms a free pool socket with an accepted connection, or makes room for it; false when there
// is none.
bool Place(OlvAsyncServerSocket* server, int fd, std::uint32_t peer) noexcept
{
    OlvAsyncSocket* socket = FreeSocket(server);
    if (socket == nullptr) socket = MakeRoom(server);
    if (socket == nullptr) return false;
    server->idle_since_ms[PoolIndex(server, socket)] = -1;
    auto* record = new Connection{server, nullptr};
    OlvAsyncSocket_Adopt(socket, fd, ForwardInterrupt, record);
    OlvAsyncSocket_SetRemoteAddress(socket, peer);
    if (server->on_connect != nullptr) server->on_connect(server, socket, &record->user);
    return true;
}

void PreSelect(void* object, fd_set* read_set, fd_set* /*write_set*/, fd_set* /*error_set*/,
               int* block_ms) noexcept
{
    OlvAsyncServerSocket* server = ServerSocketOf(object);
    if (server->listen_handle < 0) return;
    if (server->listening == 0) {
        int flags = ::fcntl(server->listen_handle, F_GETFL, 0);
        if (flags >= 0) ::fcntl(server->listen_handle, F_SETFL, flags | O_NONBLOCK);
        ::listen(server->listen_handle, kListenBacklog);
        server->listening = 1;
        tv::FdSetAdd(read_set, server->listen_handle);
        return;
    }
    // With no slot to be had, new clients wait in the backlog, and whether one waits matters
    // only once room can be made: the listening socket is watched from then on, and the chain
    // wakes when the longest stall reaches the limit.
    const std::int64_t due = RoomDueMs(server);
    if (server->waiting_handle >= 0) {
        if (due >= 0 && due < *block_ms) *block_ms = static_cast<int>(due);
        return;
    }
    if (due == 0)
        tv::FdSetAdd(read_set, server->listen_handle);
    else if (due > 0 && due < *block_ms)
        *block_ms = static_cast<int>(due);
}

void PostSelect(void* object, int /*select_result*/, fd_set* read_set, fd_set* /*write_set*/,
                fd_set* /*error_set*/) noexcept
{
    OlvAsyncServerSocket* server = ServerSocketOf(object);
    if (server->listen_handle < 0) return;
    if (server->waiting_handle >= 0) {
        if (!Place(server, server->waiting_handle, server->waiting_peer)) return;
        server->waiting_handle = -1;
    }
    if (!FD_ISSET(server->listen_handle, read_set)) return;
    for (int i = 0; i < server->max_connections + kListenBacklog; ++i) {
        if (RoomDueMs(server) != 0) break;
        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        int fd = ::accept4(server->listen_handle, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        // Judged before it may cost anyone a slot: one that came in on an interface left out
        // (whatever address it was sent to) is closed unread.
        if (!tv::IsServedConnection(*server->context->served, fd)) {
            ::close(fd);
            continue;
        }
        if (!Place(server, fd, peer.sin_addr.s_addr)) {
            server->waiting_handle = fd;
            server->waiting_peer = peer.sin_addr.s_addr;
            break;
        }
    }
}

void Destroy(void* object) noexcept
{
    OlvAsyncServerSocket* server = ServerSocketOf(object);
    delete[] server->pool;
    delete[] server->idle_since_ms;
    if (server->waiting_handle >= 0) ::close(server->waiting_handle);
    if (server->listen_handle >= 0) ::close(server->listen_handle);
    std::destroy_at(server);
}

constexpr tv::ChainHooks kServerSocketHooks = {
    .pre_select = PreSelect,
    .post_select = PostSelect,
    .destroy = Destroy,
};

}  // namespace

OlvAsyncServerSocket* OlvAsyncServerSocket_Create(
    OlvChain* chain, tv::ServerContext* context, int max_connections, std::uint16_t port,
    int initial_buffer_size, tv::ServerConnectFn on_connect, tv::ServerSocketEventFn on_disconnect,
    tv::ServerReceiveFn on_receive, tv::ServerSocketEventFn on_interrupt,
    tv::ServerSocketEventFn on_send_ok)
{
    auto* server = tv::NewChainObject<OlvAsyncServerSocket>(kServerSocketHooks);
    server->chain = chain;
    server->context = context;
    server->max_connections = max_connections > 0 ? max_connections : 1;
    server->on_connect = on_connect;
    server->on_disconnect = on_disconnect;
    server->on_receive = on_receive;
    server->on_interrupt = on_interrupt;
    server->on_send_ok = on_send_ok;
    server->pool = new OlvAsyncSocket*[static_cast<std::size_t>(server->max_connections)];
    server->idle_since_ms = new std::int64_t[static_cast<std::size_t>(server->max_connections)];
    for (int i = 0; i < server->max_connections; ++i) {
        server->pool[i] = OlvAsyncSocket_Create(chain, initial_buffer_size, ForwardData, nullptr,
                                                ForwardDisconnect, ForwardSendOk);
        server->idle_since_ms[i] = -1;
    }
    OlvChain_Add(chain, server);
    int fd = -1;
    server->port = static_cast<std::uint16_t>(
        OlvBindStreamSocket(htonl(INADDR_ANY), port, &context->random, &fd));
    server->listen_handle = server->port != 0 ? fd : -1;
    if (server->port == 0 && fd >= 0) ::close(fd);
    return server;
}

std::uint16_t OlvAsyncServerSocket_GetPort(OlvAsyncServerSocket* server)
{
    return server->port;
}
void OlvAsyncServerSocket_SetTag(OlvAsyncServerSocket* server, void* tag)
{
    server->tag = tag;
}
void* OlvAsyncServerSocket_GetTag(OlvAsyncServerSocket* server)
{
    return server->tag;
}

namespace tv {
void AsyncServerSocketSetStallLimitForTest(OlvAsyncServerSocket* server, int limit_ms) noexcept
{
    server->stall_limit_ms = limit_ms;
}

void AsyncServerSocketSetIdle(OlvAsyncServerSocket* server, OlvAsyncSocket* socket,
                              bool idle) noexcept
{
    const int i = PoolIndex(server, socket);
    if (i >= 0) server->idle_since_ms[i] = idle ? NowMs() : -1;
}
}  // namespace tv
