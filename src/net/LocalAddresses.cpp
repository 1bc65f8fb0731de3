// Interface listing with getifaddrs, the served-interface set and the arrival interface of an
// accepted connection (IP_PKTINFO through IP_PKTOPTIONS).
#include "net/LocalAddresses.h"

#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "runtime/Memory.h"

namespace {

bool IsLoopback(std::uint32_t address) noexcept
{
    return (ntohl(address) >> 24) == 127;
}

// An address alias such as "eth0:1" belongs to eth0 as well.
bool ServedEntry(const tv::ServedInterfaces& served, const ifaddrs* entry, std::uint32_t address)
{
    if (served.names.empty()) return true;
    std::string_view name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    std::string_view base = name.substr(0, name.find(':'));
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, dotted, sizeof dotted);
    for (const std::string& wanted : served.names)
        if (wanted == name || wanted == base || wanted == dotted) return true;
    return false;
}

bool UsableIpv4(const ifaddrs* entry) noexcept
{
    return entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
           (entry->ifa_flags & IFF_UP) != 0;
}

std::uint32_t AddressOf(const sockaddr* address) noexcept
{
    if (address == nullptr) return 0;
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    return in.sin_addr.s_addr;
}

unsigned InterfaceIndex(const char* name) noexcept
{
    if (name == nullptr) return 0;
    std::string base(name);
    return if_nametoindex(base.substr(0, base.find(':')).c_str());
}

}  // namespace

namespace tv {

bool IsServedAddress(const ServedInterfaces& served, std::uint32_t address) noexcept
{
    if (IsLoopback(address)) return true;
    if (served.names.empty()) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* it = list; it != nullptr && !found; it = it->ifa_next)
        found = UsableIpv4(it) && AddressOf(it->ifa_addr) == address &&
                ServedEntry(served, it, address);
    freeifaddrs(list);
    return found;
}

std::vector<LocalAddress> LocalAddressList(const ServedInterfaces& served) noexcept
{
    std::vector<LocalAddress> result;
    unsigned loopback_index = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            if (!UsableIpv4(it)) continue;
            if ((it->ifa_flags & IFF_LOOPBACK) != 0) {
                if (loopback_index == 0) loopback_index = InterfaceIndex(it->ifa_name);
                continue;
            }
            std::uint32_t address = AddressOf(it->ifa_addr);
            if (!ServedEntry(served, it, address)) continue;
            result.push_back({address, AddressOf(it->ifa_netmask), InterfaceIndex(it->ifa_name)});
        }
        freeifaddrs(list);
    }
    result.push_back({htonl(INADDR_LOOPBACK), htonl(0xFF000000u), loopback_index});
    return result;
}

// ---- Where an HTTP connection came in ----

unsigned ArrivalInterface(int socket) noexcept
{
    // For a stream the kernel reports the interface its handshake came in on.
    int on = 1;
    if (setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    socklen_t length = sizeof control;
    if (getsockopt(socket, IPPROTO_IP, IP_PKTOPTIONS, control, &length) != 0) return 0;
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = length;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo))) {
            continue;
        }
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return info.ipi_ifindex > 0 ? static_cast<unsigned>(info.ipi_ifindex) : 0;
    }
    return 0;
}

bool IsServedInterface(const ServedInterfaces& served, unsigned interface_index) noexcept
{
    if (served.names.empty()) return true;
    char name[IF_NAMESIZE] = {};
    if (interface_index == 0 || if_indextoname(interface_index, name) == nullptr) return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* it = list; it != nullptr && !found; it = it->ifa_next) {
        std::string_view entry = it->ifa_name != nullptr ? it->ifa_name : "";
        if (entry.substr(0, entry.find(':')) != name) continue;
        found = (it->ifa_flags & IFF_LOOPBACK) != 0 ||
                (UsableIpv4(it) && ServedEntry(served, it, AddressOf(it->ifa_addr)));
    }
    freeifaddrs(list);
    return found;
}

bool IsServedConnection(const ServedInterfaces& served, int socket) noexcept
{
    if (served.names.empty()) return true;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return false;
    }
    return IsServedAddress(served, local.sin_addr.s_addr) &&
           IsServedInterface(served, ArrivalInterface(socket));
}

// ---- The machine's own addresses, for judging a peer ----

std::vector<LocalAddress> OwnAddressList() noexcept
{
    std::vector<LocalAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        result.push_back(
            {AddressOf(it->ifa_addr), AddressOf(it->ifa_netmask), InterfaceIndex(it->ifa_name)});
    }
    freeifaddrs(list);
    return result;
}

bool IsOwnAddress(const std::vector<LocalAddress>& own, std::uint32_t address) noexcept
{
    if (IsLoopback(address)) return true;
    for (const LocalAddress& entry : own)
        if (entry.address == address) return true;
    return false;
}

}  // namespace tv

int OlvLocalAddresses(const tv::ServedInterfaces& served, std::uint32_t** array) noexcept
{
    std::vector<tv::LocalAddress> list = tv::LocalAddressList(served);
    auto* addresses = static_cast<std::uint32_t*>(tv::Malloc(sizeof(std::uint32_t) * list.size()));
    for (std::size_t i = 0; i < list.size(); ++i) addresses[i] = list[i].address;
    *array = addresses;
    return static_cast<int>(list.size());
}
