// The HTTP client that delivers event notifications: requests are queued per destination,
// sent one at a time over a small pool of reusable outgoing sockets, answered through the
// stream reader in client mode, retried with growing delays when the destination cannot be
// reached, and kept alive for reuse a short while after the last response.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http/OlvWebReader.h"
#include "net/OlvAsyncSocket.h"

struct OlvChain;
struct OlvWebClient;

// Before the chain runs or on the chain thread; null without a chain. The chain owns it.
[[nodiscard]] OlvWebClient* OlvWebClient_Create(int socket_count, OlvChain* chain);

// Any thread. Queues one request to address (network order) and port (host order): the
// header text in buffer 1 and an optional body in buffer 2 (null when none). OwnTransfer
// buffers are freed by the client, OwnCopy ones copied now. on_response runs on the chain
// thread; a request that gets no response at all ends with header null and done -1.
void OlvWebClient_PipelineRequest(OlvWebClient* client, std::uint32_t address, std::uint16_t port,
                                  char* buffer1, std::size_t length1, OlvSendOwnership ownership1,
                                  char* buffer2, std::size_t length2, OlvSendOwnership ownership2,
                                  tv::WebResponseFn on_response, void* user, void* user2);
