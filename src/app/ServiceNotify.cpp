// The manager's protocol is a plain datagram, so it needs no library of its own.
#include "app/ServiceNotify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime/UniqueFd.h"

bool ServiceNotify(const char* state) noexcept
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return true;
    std::size_t length = std::strlen(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    tv::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return false;
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    std::size_t state_length = std::strlen(state);
    return sendto(fd.get(), state, state_length, MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address),
                  size) == static_cast<ssize_t>(state_length);
}
