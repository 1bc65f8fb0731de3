// Display probe: a connection and the first request of the display's own protocol, with a
// deadline, on plain sockets, so that the headless program needs no display library.
#include "app/DisplayProbe.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime/UniqueFd.h"

namespace tv {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kCookieName[] = "MIT-MAGIC-COOKIE-1";
constexpr std::uint16_t kFamilyLocal = 256;
constexpr std::uint16_t kFamilyWild = 65535;
constexpr unsigned kX11TcpBase = 6000;

enum class ReadResult { kComplete, kClosed, kTimedOut };

// Exactly `size` bytes, unless the peer closes or the deadline passes first.
ReadResult ReadBefore(int fd, void* buffer, std::size_t size, Clock::time_point deadline) noexcept
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ReadResult::kTimedOut;
        pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;  // the deadline check above decides
        if (ready < 0) return ReadResult::kClosed;
        ssize_t n = recv(fd, bytes + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ReadResult::kClosed;
        got += static_cast<std::size_t>(n);
    }
    return ReadResult::kComplete;
}

bool SendAll(int fd, const void* data, std::size_t size) noexcept
{
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

UniqueFd ConnectUnix(const std::string& path, bool abstract) noexcept
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path) return UniqueFd();
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) fd.reset();
    return fd;
}

UniqueFd ConnectLoopback(unsigned port) noexcept
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

// Little-endian, as the set-up's first byte announces.
void PutCard16(std::string* out, std::size_t value)
{
    out->push_back(static_cast<char>(value & 0xff));
    out->push_back(static_cast<char>((value >> 8) & 0xff));
}

void PadTo4(std::string* out)
{
    while (out->size() % 4 != 0) out->push_back('\0');
}

std::string LocalHostName() noexcept
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return host;
}

std::string XauthorityFile() noexcept
{
    const char* file = std::getenv("XAUTHORITY");
    if (file != nullptr && *file != '\0') return file;
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.Xauthority" : std::string();
}

// DISPLAY is [host]:number[.screen]; an empty host or "unix" means this machine's socket.
DisplayAnswer ProbeX11(const std::string& display, std::chrono::milliseconds timeout,
                       std::string* why) noexcept
{
    std::size_t colon = display.rfind(':');
    std::string host = colon == std::string::npos ? "" : display.substr(0, colon);
    std::string number = colon == std::string::npos ? "" : display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
        number.size() > 5) {
        *why = "DISPLAY \"" + display + "\" names no display";
        return DisplayAnswer::kRefused;
    }
    UniqueFd fd;
    if (host.empty() || host == "unix") {
        std::string socket_path = "/tmp/.X11-unix/X" + number;
        fd = ConnectUnix(socket_path, true);
        if (!fd) fd = ConnectUnix(socket_path, false);
    } else if (host == "localhost" || host == "127.0.0.1") {
        fd = ConnectLoopback(kX11TcpBase + static_cast<unsigned>(std::stoul(number)));
    } else {
        return DisplayAnswer::kAnswers;
    }
    if (!fd) {
        *why = "the X display " + display + " cannot be reached: " + std::strerror(errno);
        return DisplayAnswer::kRefused;
    }
    std::string cookie = X11Cookie(XauthorityFile(), LocalHostName(), number);
    DisplayAnswer answer = X11SetUp(fd.get(), cookie, timeout, why);
    if (answer != DisplayAnswer::kAnswers) *why = "the X display " + display + ": " + *why;
    return answer;
}

DisplayAnswer ProbeWayland(const std::string& name, std::chrono::milliseconds timeout,
                           std::string* why) noexcept
{
    std::string path = name;
    const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    if (path[0] != '/') path = std::string(runtime_dir != nullptr ? runtime_dir : "") + "/" + name;
    UniqueFd fd = ConnectUnix(path, false);
    if (!fd) {
        *why = "the Wayland display " + path + " cannot be reached: " + std::strerror(errno);
        return DisplayAnswer::kRefused;
    }
    // wl_display.sync (object 1, request 0, 12 bytes) for a new callback object 2; the
    // compositor answers with that callback's done event.
    const std::uint32_t sync[3] = {1, (12u << 16) | 0u, 2};
    std::uint32_t event[2];
    ReadResult got = SendAll(fd.get(), sync, sizeof sync)
                         ? ReadBefore(fd.get(), event, sizeof event, Clock::now() + timeout)
                         : ReadResult::kClosed;
    if (got == ReadResult::kComplete) return DisplayAnswer::kAnswers;
    *why = "the Wayland display " + path +
           (got == ReadResult::kTimedOut ? " did not answer in time" : " closed the connection");
    return got == ReadResult::kTimedOut ? DisplayAnswer::kSilent : DisplayAnswer::kRefused;
}

}  // namespace

DisplayAnswer X11SetUp(int fd, const std::string& cookie, std::chrono::milliseconds timeout,
                       std::string* why) noexcept
{
    auto deadline = Clock::now() + timeout;
    std::string name = cookie.empty() ? "" : kCookieName;
    std::string request = {'l', '\0'};
    PutCard16(&request, 11);  // protocol 11.0
    PutCard16(&request, 0);
    PutCard16(&request, name.size());
    PutCard16(&request, cookie.size());
    PutCard16(&request, 0);
    request += name;
    PadTo4(&request);
    request += cookie;
    PadTo4(&request);
    unsigned char head[8];
    ReadResult got = SendAll(fd, request.data(), request.size())
                         ? ReadBefore(fd, head, sizeof head, deadline)
                         : ReadResult::kClosed;
    if (got == ReadResult::kTimedOut) {
        *why = "no answer in time";
        return DisplayAnswer::kSilent;
    }
    if (got == ReadResult::kClosed) {
        *why = "the connection was closed";
        return DisplayAnswer::kRefused;
    }
    enum : unsigned char { kFailed = 0, kSuccess = 1 };
    if (head[0] == kSuccess) return DisplayAnswer::kAnswers;
    *why = "the connection was refused";
    std::string reason(head[1], '\0');
    if (head[0] == kFailed &&
        ReadBefore(fd, reason.data(), reason.size(), deadline) == ReadResult::kComplete) {
        reason.erase(reason.find_last_not_of(" \n\r\t\0", std::string::npos, 5) + 1);
        if (!reason.empty()) *why += ": " + reason;
    }
    return DisplayAnswer::kRefused;
}

std::string X11Cookie(const std::string& file, const std::string& host,
                      const std::string& number) noexcept
{
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = 0;
    auto card16 = [&](std::size_t* value) {
        if (bytes.size() - at < 2) return false;
        *value = static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])) << 8 |
                 static_cast<unsigned char>(bytes[at + 1]);
        at += 2;
        return true;
    };
    auto counted = [&](std::string* value) {
        std::size_t length = 0;
        if (!card16(&length) || bytes.size() - at < length) return false;
        value->assign(bytes, at, length);
        at += length;
        return true;
    };
    std::size_t family = 0;
    std::string address, display, name, data;
    while (card16(&family) && counted(&address) && counted(&display) && counted(&name) &&
           counted(&data)) {
        bool here = family == kFamilyWild || (family == kFamilyLocal && address == host);
        if (here && (display.empty() || display == number) && name == kCookieName) return data;
    }
    return {};
}

DisplayAnswer ProbeDisplay(std::chrono::milliseconds timeout, std::string* why) noexcept
{
    const char* x11 = std::getenv("DISPLAY");
    if (x11 != nullptr && *x11 != '\0') return ProbeX11(x11, timeout, why);
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') return ProbeWayland(wayland, timeout, why);
    return DisplayAnswer::kNoDisplay;
}

}  // namespace tv
