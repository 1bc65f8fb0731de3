// Listening TCP socket with a fixed pool of async sockets, one per simultaneous connection.
// A chained object; everything runs on the chain thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/OlvAsyncSocket.h"

struct OlvChain;
struct OlvAsyncServerSocket;

namespace tv {
struct ServerContext;

// The owner stores its per-connection pointer through *user.
using ServerConnectFn = void (*)(OlvAsyncServerSocket* server, OlvAsyncSocket* socket,
                                 void** user) noexcept;
using ServerSocketEventFn = void (*)(OlvAsyncServerSocket* server, OlvAsyncSocket* socket,
                                     void* user) noexcept;
// The pool socket's on_data contract, with the server and the per-connection pointer;
// on_interrupt is the address of the server's own interrupt callback.
using ServerReceiveFn = void (*)(OlvAsyncServerSocket* server, OlvAsyncSocket* socket, char* data,
                                 int* consumed, int length, ServerSocketEventFn* on_interrupt,
                                 void** user, int* pause) noexcept;

}  // namespace tv

// Before the chain runs or on the chain thread. Port 0 draws a free port in 50000..64999 from
// the context's random source; a fixed port that cannot be bound leaves the port at 0. Only
// connections that come in on the context's served interfaces are kept. The chain owns the
// server; the context must outlive the chain.
[[nodiscard]] OlvAsyncServerSocket* OlvAsyncServerSocket_Create(
    OlvChain* chain, tv::ServerContext* context, int max_connections, std::uint16_t port,
    int initial_buffer_size, tv::ServerConnectFn on_connect, tv::ServerSocketEventFn on_disconnect,
    tv::ServerReceiveFn on_receive, tv::ServerSocketEventFn on_interrupt,
    tv::ServerSocketEventFn on_send_ok);

std::uint16_t OlvAsyncServerSocket_GetPort(OlvAsyncServerSocket* server);
void OlvAsyncServerSocket_SetTag(OlvAsyncServerSocket* server, void* tag);
void* OlvAsyncServerSocket_GetTag(OlvAsyncServerSocket* server);

namespace tv {
// While every pool socket is taken and a connection waits to be accepted, a connection that
// waits for its next request is closed to make room first, the one that has waited longest
// (AsyncServerSocketSetIdle). Only when none does, the connection whose queued bytes have
// waited longest without any going out, and at least this long, is closed (a client that
// stopped reading). A client that pauses keeps its stream while there is room. A connection
// that came in on an interface the server does not serve (IsServedConnection) is closed as
// it is accepted: it never counts as waiting.
constexpr int kStallLimitMs = 30000;
// Before the chain runs. Tests only.
void AsyncServerSocketSetStallLimitForTest(OlvAsyncServerSocket* server, int limit_ms) noexcept;
// Chain thread. The owner's word that the connection on `socket` has answered its request and
// waits for the next one (idle), or has begun one. A new connection counts as working until
// its owner says otherwise.
void AsyncServerSocketSetIdle(OlvAsyncServerSocket* server, OlvAsyncSocket* socket,
                              bool idle) noexcept;
}  // namespace tv
