// A tiny blocking TCP client to 127.0.0.1 for tests: every read gives up after the receive
// time-out, so a server that never answers fails the test instead of hanging it.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "runtime/OlvChain.h"

namespace tv::test {

// A listening TCP socket on 127.0.0.1 with a port the kernel chose (put in *port).
inline int ListenOnLoopback(int backlog, std::uint16_t* port) noexcept
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, backlog);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// A port that nothing listens on, held while the object lives: its socket is bound to every
// address and never listens, so a connect there is refused and no other test can take the
// port meanwhile (a port bound and let go may go to the next server that draws one).
// `reusable` lets a server under test bind and listen on it with SO_REUSEADDR, as a fixed port
// is bound, while any other bind of it still fails.
class HeldPort {
public:
    explicit HeldPort(bool reusable = false) noexcept
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        int on = 1;
        if (reusable) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    ~HeldPort() { ::close(fd_); }

    // 0 when no port could be bound.
    std::uint16_t port() const noexcept { return port_; }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port, int timeout_ms = 5000) noexcept
    {
        // A server on a chain that has not run its first turn is not listening yet: retry
        // a refused connect for a while.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0) return;
            SetTimeout(timeout_ms);
            int one = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            if (connected_ || errno != ECONNREFUSED ||
                std::chrono::steady_clock::now() > deadline) {
                return;
            }
            Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;
    ~LoopbackClient() { Close(); }

    bool connected() const noexcept { return connected_; }
    int fd() const noexcept { return fd_; }

    void SetTimeout(int timeout_ms) noexcept
    {
        timeval tv{};
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = (timeout_ms % 1000) * 1000;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    bool Send(std::string_view data) noexcept
    {
        while (!data.empty()) {
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Reads until the peer closes or the time-out passes; closed() tells which.
    std::string ReadAll()
    {
        std::string out;
        char chunk[16384];
        for (;;) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n == 0) {
                closed_ = true;
                break;
            }
            if (n < 0) break;
            out.append(chunk, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Reads until `count` bytes have arrived, the peer closes or the time-out passes.
    std::string ReadBytes(std::size_t count)
    {
        std::string out;
        char chunk[16384];
        while (out.size() < count) {
            std::size_t want = count - out.size();
            ssize_t n = ::recv(fd_, chunk, want < sizeof chunk ? want : sizeof chunk, 0);
            if (n == 0) closed_ = true;
            if (n <= 0) break;
            out.append(chunk, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Reads until the text ends with `marker` (or close / time-out).
    std::string ReadUntil(std::string_view marker)
    {
        std::string out;
        char c;
        while (out.size() < marker.size() ||
               std::string_view(out).substr(out.size() - marker.size()) != marker) {
            ssize_t n = ::recv(fd_, &c, 1, 0);
            if (n == 0) closed_ = true;
            if (n <= 0) break;
            out.push_back(c);
        }
        return out;
    }

    // True when the peer has closed: a read returns end of stream within the time-out.
    bool WaitClosed()
    {
        ReadAll();
        return closed_;
    }

    bool closed() const noexcept { return closed_; }

    void Close() noexcept
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

// Runs a chain on its own thread; Stop() ends it and joins (the chain frees itself, so the
// objects on it must not be touched afterwards).
class ChainThread {
public:
    explicit ChainThread(OlvChain* chain) : chain_(chain) {}
    ChainThread(const ChainThread&) = delete;
    ChainThread& operator=(const ChainThread&) = delete;
    ~ChainThread() { Stop(); }
    void Start()
    {
        thread_ = std::thread([c = chain_] { OlvChain_Run(c); });
    }
    void Stop()
    {
        if (!thread_.joinable()) return;
        OlvChain_Stop(chain_);
        thread_.join();
    }

private:
    OlvChain* chain_;
    std::thread thread_;
};

// Waits (bounded) for a condition that callbacks on the chain thread make true.
class Signal {
public:
    template <class Pred>
    bool WaitFor(Pred pred, int timeout_ms = 5000)
    {
        std::unique_lock lk(mutex_);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), pred);
    }
    template <class Fn>
    void Update(Fn fn)
    {
        {
            std::scoped_lock lk(mutex_);
            fn();
        }
        cv_.notify_all();
    }
    std::mutex& mutex() { return mutex_; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace tv::test
