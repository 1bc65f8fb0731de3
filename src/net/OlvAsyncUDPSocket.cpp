// Datagram sockets for SSDP: binding to a port or a port range, delivery of each datagram
// with its sender, and the multicast options. Runs on the chain thread like its async socket.
#include "net/OlvAsyncUDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/ServerContext.h"
#include "runtime/UniqueFd.h"

namespace {

// The async socket's user.
struct UdpRecord {
    void* user;
    void* reserved;
    std::uint16_t port;
    tv::UdpDataFn on_data;
    tv::UdpSendOkFn on_send_ok;
};

// The async socket's user and tag words: the one place that casts them.
UdpRecord* RecordOf(void* word) noexcept
{
    return static_cast<UdpRecord*>(word);
}

void ForwardData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                 tv::AsyncSocketInterruptFn* /*on_interrupt*/, void** user, int* pause) noexcept
{
    UdpRecord* record = RecordOf(*user);
    if (record != nullptr && record->on_data != nullptr) {
        record->on_data(socket, data, length, OlvAsyncSocket_GetRemoteAddress(socket),
                        OlvAsyncSocket_GetRemotePort(socket), record->user, record->reserved,
                        pause);
    }
    *consumed = length;
}

void ForwardSendOk(OlvAsyncSocket* socket, void* user) noexcept
{
    UdpRecord* record = RecordOf(user);
    if (record != nullptr && record->on_send_ok != nullptr)
        record->on_send_ok(socket, record->user, record->reserved);
}

void FreeRecord(OlvAsyncSocket* socket, void* user) noexcept
{
    delete RecordOf(user);
    OlvAsyncSocket_SetTag(socket, nullptr);
}

bool BindTo(int fd, std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace

OlvAsyncSocket* OlvAsyncUDPSocket_Create(OlvChain* chain, tv::RandomSource* random, int buffer_size,
                                         std::uint32_t local_address, std::uint16_t low_port,
                                         std::uint16_t high_port, int reuse, tv::UdpDataFn on_data,
                                         tv::UdpSendOkFn on_send_ok, void* user)
{
    tv::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return nullptr;
    int reuse_value = reuse;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse_value, sizeof reuse_value);
    // Reuse also lets another SSDP listener on this host bind the same port (Linux needs
    // SO_REUSEPORT for that, and it must be set before the bind).
    if (reuse != 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &reuse_value, sizeof reuse_value);
    std::uint16_t port = low_port;
    if (low_port == high_port) {
        if (!BindTo(fd.get(), local_address, low_port)) return nullptr;
    } else {
        if (high_port < low_port || random == nullptr) return nullptr;
        // The range is tried at random; a range with every port taken ends after enough
        // draws rather than looping for ever.
        const int span = high_port - low_port;
        bool bound = false;
        for (int attempt = 0; attempt < span * 16 + 64 && !bound; ++attempt) {
            port = static_cast<std::uint16_t>(low_port + random->Draw() % span);
            bound = BindTo(fd.get(), local_address, port);
        }
        if (!bound) return nullptr;
    }
    auto* record = new UdpRecord{user, nullptr, port, on_data, on_send_ok};
    OlvAsyncSocket* socket =
        OlvAsyncSocket_Create(chain, buffer_size, ForwardData, nullptr, FreeRecord, ForwardSendOk);
    OlvAsyncSocket_SetTag(socket, record);
    OlvAsyncSocket_Adopt(socket, fd.release(), FreeRecord, record);
    return socket;
}

int OlvAsyncUDPSocket_JoinGroup(OlvAsyncSocket* socket, std::uint32_t group_address,
                                std::uint32_t interface_address)
{
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group_address;
    request.imr_interface.s_addr = interface_address;
    int result = ::setsockopt(*OlvAsyncSocket_GetHandle(socket), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                              &request, sizeof request);
    OlvAsyncSocket_SetLocalAddress(socket, result == 0 ? interface_address : 0);
    return result == 0 ? 0 : -1;
}

void OlvAsyncUDPSocket_SetMulticastInterface(OlvAsyncSocket* socket,
                                             std::uint32_t interface_address)
{
    in_addr address{};
    address.s_addr = interface_address;
    ::setsockopt(*OlvAsyncSocket_GetHandle(socket), IPPROTO_IP, IP_MULTICAST_IF, &address,
                 sizeof address);
}

void OlvAsyncUDPSocket_SetMulticastTtl(OlvAsyncSocket* socket, int ttl)
{
    unsigned char value = static_cast<unsigned char>(ttl);
    ::setsockopt(*OlvAsyncSocket_GetHandle(socket), IPPROTO_IP, IP_MULTICAST_TTL, &value,
                 sizeof value);
}

namespace tv {
std::uint16_t UdpSocketPort(OlvAsyncSocket* socket) noexcept
{
    UdpRecord* record = RecordOf(OlvAsyncSocket_GetTag(socket));
    return record != nullptr ? record->port : 0;
}
}  // namespace tv

const char* OlvAddressToText(std::uint32_t address)
{
    in_addr value{};
    value.s_addr = address;
    return ::inet_ntoa(value);
}
