// The HTTP client that delivers event notifications: requests are queued per destination,
// sent one at a time over a small pool of reusable outgoing sockets, answered through the
// stream reader in client mode, retried with growing delays when the destination cannot be
// reached, and kept alive for reuse a short while after the last response. A request gets
// its response within a deadline or fails; no destination waits for a socket another holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/OlvWebReader.h"
#include "net/OlvAsyncSocket.h"

struct OlvChain;
struct OlvWebClient;

namespace tv {
struct ServerContext;
}

// Before the chain runs or on the chain thread; null without a chain. The chain owns it; the
// context (whose random source picks each connection's local port) must outlive the chain.
[[nodiscard]] OlvWebClient* OlvWebClient_Create(int socket_count, OlvChain* chain,
                                                tv::ServerContext* context);

// Any thread. Queues one request to address (network order) and port (host order): the
// header text in buffer 1 and an optional body in buffer 2 (null when none). OwnTransfer
// buffers are freed by the client, OwnCopy ones copied now. on_response runs on the chain
// thread; a request that gets no response at all ends with header null and done -1.
void OlvWebClient_PipelineRequest(OlvWebClient* client, std::uint32_t address, std::uint16_t port,
                                  char* buffer1, std::size_t length1, OlvSendOwnership ownership1,
                                  char* buffer2, std::size_t length2, OlvSendOwnership ownership2,
                                  tv::WebResponseFn on_response, void* user, void* user2);

namespace tv {

// A request without a complete response this long after it went out fails as if the
// destination had dropped the connection (UPnP gives an event receiver 30 s to answer).
constexpr int kWebResponseDeadlineMs = 30000;

// Before the chain runs. The pool starts with the sockets made at creation and grows, one
// socket at a time while a connection waits for one, up to `max_sockets`.
void WebClientSetMaxSockets(OlvWebClient* client, int max_sockets) noexcept;

// Chain thread. Drops every request to that destination whose user is `user` and that has
// not gone out yet, and ends the connection when such a request is the one out (its
// response would no longer matter; the requests behind it go out on a new connection).
// Dropped requests get no on_response call. Returns how many were dropped.
int WebClientCancel(OlvWebClient* client, std::uint32_t address, std::uint16_t port,
                    void* user) noexcept;

struct WebClientCounts {
    int connections = 0;  // destinations in the table, parked ones included
    int parked = 0;
    int requests = 0;  // queued or out
    int sockets = 0;   // the pool's size
};
// Any thread.
WebClientCounts WebClientCount(OlvWebClient* client) noexcept;

// Tests only: shortens the response deadline.
void WebClientSetResponseDeadlineForTest(OlvWebClient* client, int deadline_ms) noexcept;

}  // namespace tv
