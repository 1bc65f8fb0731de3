// The machine's interfaces and IPv4 addresses, the set of them the server serves, and where an
// accepted connection came in. Any thread; the served set is the server context's, fixed
// before the server starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {
// The interfaces the server serves, by name ("eth0"; also its labelled addresses "eth0:1") or
// by one of their IPv4 addresses in dotted form. Empty (the default) serves every interface;
// the loopback interface is always served.
struct ServedInterfaces {
    std::vector<std::string> names;
};
}  // namespace tv

// *array becomes a new array (caller frees) of the IPv4 addresses, network byte order, of the
// served interfaces that are up and not loopback, followed by 127.0.0.1; returns the element
// count (1 when the system list cannot be read).
int OlvLocalAddresses(const tv::ServedInterfaces& served, std::uint32_t** array) noexcept;

namespace tv {
// Whether `address` (network order) is on a served interface now (always for 127.0.0.0/8).
bool IsServedAddress(const ServedInterfaces& served, std::uint32_t address) noexcept;
struct LocalAddress {
    std::uint32_t address;  // network order
    std::uint32_t netmask;  // network order
    unsigned interface_index;
};
// The served, up, non-loopback IPv4 addresses in the system's order, then 127.0.0.1/8 on the
// loopback interface: the list OlvLocalAddresses gives, with masks and interfaces.
std::vector<LocalAddress> LocalAddressList(const ServedInterfaces& served) noexcept;

// ---- Where an HTTP connection came in ----
// A host on a network left out may route a served address through the server's own address
// there: a connection is judged by the interface it came in on as well as by the address it
// was sent to.
// The index of the interface an accepted TCP connection came in on (one from this machine
// comes in on lo or on the interface of the address it was sent to); 0 when the system
// does not say.
unsigned ArrivalInterface(int socket) noexcept;
// Whether the interface with this index is served now (always the loopback interface).
bool IsServedInterface(const ServedInterfaces& served, unsigned interface_index) noexcept;
// Whether an accepted connection may be served: it came in on a served interface and was
// sent to a served address. Every connection while every interface is served (then without
// a system call).
bool IsServedConnection(const ServedInterfaces& served, int socket) noexcept;
// ---- The machine's own addresses, for judging a peer ----
// Every IPv4 address of every interface, served or not, up or not, loopback ones too (lo's
// 127.0.0.1/8 and any alias), with masks and interfaces, in the system's order.
std::vector<LocalAddress> OwnAddressList() noexcept;
// Whether `address` (network order) is this machine's: in 127.0.0.0/8 or in `own`.
bool IsOwnAddress(const std::vector<LocalAddress>& own, std::uint32_t address) noexcept;
}  // namespace tv
