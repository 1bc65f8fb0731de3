// Datagram socket on the event chain: an async socket armed with a bound UDP handle. Each
// datagram is delivered once, with its sender, and always counts as consumed.
#pragma once

#include <cstdint>

#include "net/OlvAsyncSocket.h"

struct OlvChain;

namespace tv {

class RandomSource;

using UdpDataFn = void (*)(OlvAsyncSocket* socket, char* data, int length,
                           std::uint32_t remote_address, std::uint16_t remote_port, void* user,
                           void* reserved, int* pause) noexcept;
using UdpSendOkFn = void (*)(OlvAsyncSocket* socket, void* user, void* reserved) noexcept;

}  // namespace tv

// Before the chain runs or on the chain thread. Binds local_address (network order) to
// low_port when low_port == high_port (null when that fails), else to a port in
// [low_port, high_port) drawn from `random` (which may be null for a single port). A non-zero
// `reuse` sets SO_REUSEADDR and SO_REUSEPORT. Send with OlvAsyncSocket_Send and a destination
// address and port.
[[nodiscard]] OlvAsyncSocket* OlvAsyncUDPSocket_Create(OlvChain* chain, tv::RandomSource* random,
                                                       int buffer_size, std::uint32_t local_address,
                                                       std::uint16_t low_port,
                                                       std::uint16_t high_port, int reuse,
                                                       tv::UdpDataFn on_data,
                                                       tv::UdpSendOkFn on_send_ok, void* user);

// IP_ADD_MEMBERSHIP; on success the socket reports interface_address as its local address.
// Returns 0 on success, -1 on failure.
int OlvAsyncUDPSocket_JoinGroup(OlvAsyncSocket* socket, std::uint32_t group_address,
                                std::uint32_t interface_address);
void OlvAsyncUDPSocket_SetMulticastInterface(OlvAsyncSocket* socket,
                                             std::uint32_t interface_address);
void OlvAsyncUDPSocket_SetMulticastTtl(OlvAsyncSocket* socket, int ttl);

namespace tv {
// The bound local port of a socket made by OlvAsyncUDPSocket_Create (0 once it has closed).
std::uint16_t UdpSocketPort(OlvAsyncSocket* socket) noexcept;
}  // namespace tv

// Dotted-decimal text of an IPv4 address (network order), in a static buffer (inet_ntoa).
const char* OlvAddressToText(std::uint32_t address);
