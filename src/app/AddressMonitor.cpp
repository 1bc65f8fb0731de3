// Address monitor: a NETLINK_ROUTE socket subscribed to IPv4 address and link changes,
// polled beside an eventfd that ends the thread. Runs on its own thread; owns both fds.
#include "app/AddressMonitor.h"

#include <cerrno>
#include <cstdint>
#include <new>
#include <thread>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/UniqueFd.h"

struct AddressMonitor {
    tv::UniqueFd netlink;
    tv::UniqueFd address_event;  // written once by AddressMonitor_Stop
    AddressChangeFn notify = nullptr;
    void* user = nullptr;
    std::thread thread;
};

namespace {

// Reads everything the kernel has queued; the caller reports the whole batch once.
void DrainNetlink(int fd) noexcept
{
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) continue;
        if (got < 0 && errno == EINTR) continue;
        // EAGAIN ends the batch; ENOBUFS means the kernel dropped messages, which still
        // counts as a change.
        return;
    }
}

void MonitorThread(AddressMonitor* monitor) noexcept
{
    pollfd fds[2] = {
        {.fd = monitor->netlink.get(), .events = POLLIN, .revents = 0},
        {.fd = monitor->address_event.get(), .events = POLLIN, .revents = 0},
    };
    for (;;) {
        int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents != 0) {
            DrainNetlink(fds[0].fd);
            monitor->notify(monitor->user);
        }
    }
}

}  // namespace

AddressMonitor* AddressMonitor_Start(AddressChangeFn notify, void* user) noexcept
{
    tv::UniqueFd netlink(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!netlink) return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
    if (bind(netlink.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return nullptr;
    tv::UniqueFd address_event(eventfd(0, EFD_CLOEXEC));
    if (!address_event) return nullptr;

    auto* monitor = new (std::nothrow) AddressMonitor;
    if (monitor == nullptr) return nullptr;
    monitor->netlink = std::move(netlink);
    monitor->address_event = std::move(address_event);
    monitor->notify = notify;
    monitor->user = user;
    monitor->thread = std::thread(MonitorThread, monitor);
    return monitor;
}

void AddressMonitor_Stop(AddressMonitor* monitor) noexcept
{
    if (monitor == nullptr) return;
    std::uint64_t one = 1;
    while (write(monitor->address_event.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    monitor->thread.join();
    delete monitor;
}
