// A network namespace of the calling thread's own, with loopback up, for tests whose counts a
// stray connection from another test in the shared namespace would upset. Threads started
// afterwards from this thread live in it too. Needs root, as the test command runs.
#pragma once

#include <cstring>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tv::test {

inline bool EnterPrivateLoopback() noexcept
{
    if (::unshare(CLONE_NEWNET) != 0) return false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return ok;
}

}  // namespace tv::test
