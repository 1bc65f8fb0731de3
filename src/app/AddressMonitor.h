// Watches the machine's IPv4 addresses on a thread of its own and reports each batch of
// changes once, so that the device stack can rebuild its SSDP sockets.
#pragma once

using AddressChangeFn = void (*)(void* user) noexcept;

struct AddressMonitor;

// Starts the monitor thread; `notify` runs on that thread, once per batch of address or
// link changes the kernel reports. Returns null when the netlink socket cannot be opened.
[[nodiscard]] AddressMonitor* AddressMonitor_Start(AddressChangeFn notify, void* user) noexcept;

// Ends the thread (no notification after it returns), joins it and frees the monitor.
// Any thread but the monitor's own; null is ignored.
void AddressMonitor_Stop(AddressMonitor* monitor) noexcept;
