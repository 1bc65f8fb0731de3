// SSDP discovery on the loopback interface of a private network namespace: the goodbye set at
// start and stop, the alive bursts, the replies to M-SEARCH and the searches that get none,
// and the rebuild after an address change. Skipped outside such a namespace.
#include "upnp/MicroStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/PrivateNetwork.h"
#include "support/WaitUntil.h"
#include "upnp_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using tv::test::StackHost;

struct Datagram {
    std::string text;
    Clock::time_point when;
};

std::string UniqueUdn(const char* name)
{
    return std::string("5D5D") + name + "-" + std::to_string(::getpid());
}

// Everything sent to the SSDP group, as another listener on port 1900 hears it.
class GroupListener {
public:
    GroupListener()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(1900);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ip_mreq request{};
        request.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
        request.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        ok_ =
            ok_ && ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
        thread_ = std::thread([this] { Run(); });
    }
    ~GroupListener()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    GroupListener(const GroupListener&) = delete;
    GroupListener& operator=(const GroupListener&) = delete;

    bool ok() const { return ok_; }

    // Datagrams that mention `udn`, in arrival order.
    std::vector<Datagram> Of(const std::string& udn)
    {
        std::scoped_lock lock(mutex_);
        std::vector<Datagram> out;
        for (const Datagram& d : seen_)
            if (d.text.find(udn) != std::string::npos) out.push_back(d);
        return out;
    }

    bool WaitFor(const std::string& udn, std::size_t count, int timeout_ms)
    {
        return tv::test::WaitUntil([&] { return Of(udn).size() >= count; },
                                   std::chrono::milliseconds(timeout_ms));
    }

private:
    void Run()
    {
        char buffer[8192];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::scoped_lock lock(mutex_);
            seen_.push_back({std::string(buffer, static_cast<std::size_t>(n)), Clock::now()});
        }
    }

    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Datagram> seen_;
    std::thread thread_;
};

// A control point: sends M-SEARCH to the group (or to one address) and collects the unicast
// replies.
class Searcher {
public:
    explicit Searcher(const char* local = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 4 << 20;  // a flood's replies, all of them
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr(local);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        in_addr interface_address{};
        interface_address.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &interface_address,
                     sizeof interface_address);
    }
    ~Searcher() { ::close(fd_); }
    Searcher(const Searcher&) = delete;
    Searcher& operator=(const Searcher&) = delete;

    void Send(const std::string& text, const char* destination = "239.255.255.250")
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr(destination);
        to.sin_port = htons(1900);
        ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    int fd() const { return fd_; }

    // Replies that mention `udn`, collected for `ms` milliseconds or until `count` arrived.
    std::vector<Datagram> Collect(const std::string& udn, std::size_t count, int ms)
    {
        std::vector<Datagram> out;
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        char buffer[8192];
        while (out.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::string text(buffer, static_cast<std::size_t>(n));
            if (text.find(udn) != std::string::npos) out.push_back({text, Clock::now()});
        }
        return out;
    }

private:
    int fd_ = -1;
};

std::string Search(const std::string& st, const std::string& mx_line,
                   const std::string& start = "M-SEARCH * HTTP/1.1",
                   const std::string& man = "MAN: \"ssdp:discover\"\r\n")
{
    return start + "\r\nHOST: 239.255.255.250:1900\r\n" + man + mx_line + "ST: " + st + "\r\n\r\n";
}

std::string Byebye(const std::string& udn, const std::string& usn, const std::string& nt)
{
    return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNTS: ssdp:byebye\r\nUSN: uuid:" +
           udn + usn + "\r\nNT: " + nt + "\r\nContent-Length: 0\r\n\r\n";
}

std::string Alive(const std::string& udn, int port, const std::string& usn, const std::string& nt)
{
    return "NOTIFY * HTTP/1.1\r\nLOCATION: http://127.0.0.1:" + std::to_string(port) +
           "/\r\nHOST: 239.255.255.250:1900\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.3\r\n"
           "NTS: ssdp:alive\r\nUSN: uuid:" +
           udn + usn +
           "\r\nCACHE-CONTROL: max-age=1800\r\n"
           "NT: " +
           nt + "\r\n\r\n";
}

std::string Reply(const std::string& udn, int port, const std::string& usn, const std::string& st)
{
    return "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:" + std::to_string(port) +
           "/\r\nEXT:\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\nUSN: uuid:" + udn + usn +
           "\r\nCACHE-CONTROL: max-age=1800\r\nST: " + st + "\r\n\r\n";
}

struct Kind {
    std::string usn;
    std::string nt;
};

std::vector<Kind> Kinds(const std::string& udn)
{
    return {{"::upnp:rootdevice", "upnp:rootdevice"},
            {"", "uuid:" + udn},
            {"::urn:schemas-upnp-org:device:MediaServer:1",
             "urn:schemas-upnp-org:device:MediaServer:1"},
            {"::urn:schemas-upnp-org:service:ConnectionManager:1",
             "urn:schemas-upnp-org:service:ConnectionManager:1"},
            {"::urn:schemas-upnp-org:service:ContentDirectory:1",
             "urn:schemas-upnp-org:service:ContentDirectory:1"}};
}

#define SKIP_OUTSIDE_NAMESPACE()                                                                   \
    if (!tv::test::InNamespace())                                                                  \
    GTEST_SKIP() << "multicast tests run only in a private network namespace "                     \
                    "(bash scripts/netns.sh)"

TEST(MicroStackSsdp, GoodbyeAtStartTwoAliveBurstsAndGoodbyeAtStop)
{
    SKIP_OUTSIDE_NAMESPACE();
    GroupListener listener;
    ASSERT_TRUE(listener.ok());
    const std::string udn = UniqueUdn("ANNOUNCE");
    auto host = std::make_unique<StackHost>(true, udn.c_str());
    const int port = host->port();
    auto started = Clock::now();
    host->Start();

    ASSERT_TRUE(listener.WaitFor(udn, 15, 3000));
    std::vector<Datagram> seen = listener.Of(udn);
    std::vector<Kind> kinds = Kinds(udn);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(seen[i].text, Byebye(udn, kinds[i % 5].usn, kinds[i % 5].nt)) << i;
    std::vector<std::string> burst;
    for (int i = 10; i < 15; ++i) {
        burst.push_back(seen[i].text);
        EXPECT_LT(seen[i].when - started, std::chrono::milliseconds(2000));
    }
    std::vector<std::string> expected;
    for (const Kind& k : kinds) expected.push_back(Alive(udn, port, k.usn, k.nt));
    std::sort(burst.begin(), burst.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(burst, expected);

    // The second burst about seven seconds after the first.
    ASSERT_TRUE(listener.WaitFor(udn, 20, 10000));
    seen = listener.Of(udn);
    auto gap = seen[15].when - seen[14].when;
    EXPECT_GT(gap, std::chrono::milliseconds(5000));
    EXPECT_LT(gap, std::chrono::milliseconds(9000));
    burst.clear();
    for (int i = 15; i < 20; ++i) burst.push_back(seen[i].text);
    std::sort(burst.begin(), burst.end());
    EXPECT_EQ(burst, expected);

    host.reset();
    ASSERT_TRUE(listener.WaitFor(udn, 30, 2000));
    seen = listener.Of(udn);
    for (int i = 20; i < 30; ++i)
        EXPECT_EQ(seen[i].text, Byebye(udn, kinds[i % 5].usn, kinds[i % 5].nt)) << i;
}

TEST(MicroStackSsdp, SearchAllGivesFiveRepliesInOrderWithinMx)
{
    SKIP_OUTSIDE_NAMESPACE();
    const std::string udn = UniqueUdn("SEARCHALL");
    StackHost host(true, udn.c_str());
    const int port = host.port();
    host.Start();
    Searcher searcher;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto sent = Clock::now();
    searcher.Send(Search("ssdp:all", "MX: 3\r\n"));
    std::vector<Datagram> replies = searcher.Collect(udn, 5, 4000);
    ASSERT_EQ(replies.size(), 5u);
    std::vector<Kind> kinds = Kinds(udn);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(replies[i].text, Reply(udn, port, kinds[i].usn, kinds[i].nt)) << i;
        EXPECT_LT(replies[i].when - sent, std::chrono::milliseconds(3000));
        EXPECT_LT(replies[i].when - replies[0].when, std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(searcher.Collect(udn, 1, 300).empty());
}

TEST(MicroStackSsdp, SearchTargetsAndTheSearchesThatGetNoAnswer)
{
    SKIP_OUTSIDE_NAMESPACE();
    const std::string udn = UniqueUdn("TARGETS");
    StackHost host(true, udn.c_str());
    const int port = host.port();
    host.Start();
    Searcher searcher;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    struct Answered {
        std::string st;
        std::string usn;
    };
    const std::string device = "urn:schemas-upnp-org:device:MediaServer:";
    const std::string cms = "urn:schemas-upnp-org:service:ConnectionManager:";
    const std::string cds = "urn:schemas-upnp-org:service:ContentDirectory:";
    for (const Answered& a :
         {Answered{"upnp:rootdevice", "::upnp:rootdevice"}, Answered{"uuid:" + udn, ""},
          Answered{device + "1", "::" + device + "1"}, Answered{device + "0", "::" + device + "1"},
          Answered{cms + "1", "::" + cms + "1"}, Answered{cds + "1", "::" + cds + "1"}}) {
        searcher.Send(Search(a.st, "MX: 1\r\n"));
        std::vector<Datagram> replies = searcher.Collect(udn, 2, 800);
        ASSERT_EQ(replies.size(), 1u) << a.st;
        EXPECT_EQ(replies[0].text, Reply(udn, port, a.usn, a.st));
    }

    // MX 0 answers at once.
    auto sent = Clock::now();
    searcher.Send(Search("upnp:rootdevice", "MX: 0\r\n"));
    std::vector<Datagram> now = searcher.Collect(udn, 1, 1000);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_LT(now[0].when - sent, std::chrono::milliseconds(500));

    // None of these gets an answer (MX 1 would answer at once).
    const std::string root = "upnp:rootdevice";
    for (const std::string& request :
         {Search("upnp:RootDevice", "MX: 1\r\n"), Search(device + "2", "MX: 1\r\n"),
          Search(cds + "2", "MX: 1\r\n"), Search("uuid:" + udn + "x", "MX: 1\r\n"),
          Search("ssdp:ALL", "MX: 1\r\n"), Search(root, ""), Search(root, "MX: -1\r\n"),
          Search(root, "MX: abc\r\n"), Search(root, "MX: 1\r\n", "M-SEARCH / HTTP/1.1"),
          Search(root, "MX: 1\r\n", "M-SEARCH * HTTP/1.0"),
          Search(root, "MX: 1\r\n", "NOTIFY * HTTP/1.1"),
          Search(root, "MX: 1\r\n", "M-SEARCH * HTTP/1.1", ""),
          Search(root, "MX: 1\r\n", "M-SEARCH * HTTP/1.1", "MAN: ssdp:discover\r\n"),
          std::string("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n\r\n"), std::string("\r\n\r\n"),
          std::string("garbage")}) {
        searcher.Send(request);
    }
    EXPECT_TRUE(searcher.Collect(udn, 1, 1500).empty());
}

TEST(MicroStackSsdp, LargeMxIsCappedAtTenSeconds)
{
    SKIP_OUTSIDE_NAMESPACE();
    const std::string udn = UniqueUdn("MX120");
    StackHost host(true, udn.c_str());
    host.Start();
    Searcher searcher;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    searcher.Send(Search("upnp:rootdevice", "MX: 120\r\n"));
    EXPECT_EQ(searcher.Collect(udn, 1, 11000).size(), 1u);
}

TEST(MicroStackSsdp, AddressChangeRebuildsSocketsAndAnnouncesAgain)
{
    SKIP_OUTSIDE_NAMESPACE();
    GroupListener listener;
    ASSERT_TRUE(listener.ok());
    const std::string udn = UniqueUdn("REBUILD");
    StackHost host(true, udn.c_str());
    host.Start();
    ASSERT_TRUE(listener.WaitFor(udn, 15, 3000));  // goodbye set and the first burst

    auto changed = Clock::now();
    std::thread([&] { MicroStack_NotifyAddressChange(host.stack()); }).join();
    ASSERT_TRUE(listener.WaitFor(udn, 20, 3000));
    std::vector<Datagram> seen = listener.Of(udn);
    for (int i = 15; i < 20; ++i) {
        EXPECT_NE(seen[i].text.find("NTS: ssdp:alive"), std::string::npos);
        EXPECT_LT(seen[i].when - changed, std::chrono::milliseconds(1500));
    }

    // The rebuilt listen socket answers searches.
    Searcher searcher;
    searcher.Send(Search("upnp:rootdevice", "MX: 0\r\n"));
    EXPECT_EQ(searcher.Collect(udn, 1, 2000).size(), 1u);
}

// A flood of unicast searches, in a network namespace of its own where nothing else searches:
// each source gets its share of replies and no more, and only so many searches wait out
// their MX delay, from one source and from all.
TEST(MicroStackSsdp, FloodedSearchesAreAnsweredWithinEachSourcesShare)
{
    SKIP_OUTSIDE_NAMESPACE();
    std::thread([] {
        ASSERT_TRUE(tv::test::EnterPrivateLoopback());
        const std::string udn = UniqueUdn("FLOOD");
        StackHost host(true, udn.c_str());
        host.Start();
        // Each ssdp:all asks for five replies, all at once (MX 0).
        Searcher flooder;
        auto started = Clock::now();
        for (int i = 0; i < 400; ++i) flooder.Send(Search("ssdp:all", "MX: 0\r\n"), "127.0.0.1");
        std::vector<Datagram> replies = flooder.Collect(udn, 2000, 1500);
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started);
        EXPECT_GE(replies.size(), 60u) << "a dozen searches for everything are answered whole";
        EXPECT_LE(replies.size(), 64u + 16u * static_cast<std::size_t>(seconds.count() + 1));
        Searcher other("127.0.0.2");
        other.Send(Search("ssdp:all", "MX: 0\r\n"), "127.0.0.1");
        EXPECT_EQ(other.Collect(udn, 6, 1000).size(), 5u) << "another source is answered";

        // Searches that wait (MX 10): one source sends 100, 39 others 16 each. What still comes
        // a second after the last was sent had been waiting all together.
        std::vector<std::unique_ptr<Searcher>> sources;
        for (int i = 1; i <= 40; ++i)
            sources.push_back(std::make_unique<Searcher>(("127.0.1." + std::to_string(i)).c_str()));
        for (int i = 0; i < 100; ++i)
            sources[0]->Send(Search("upnp:rootdevice", "MX: 10\r\n"), "127.0.0.1");
        for (std::size_t n = 1; n < sources.size(); ++n)
            for (int i = 0; i < 16; ++i)
                sources[n]->Send(Search("upnp:rootdevice", "MX: 10\r\n"), "127.0.0.1");
        auto late = Clock::now() + std::chrono::seconds(1);
        std::vector<pollfd> fds;
        for (const auto& source : sources) fds.push_back({source->fd(), POLLIN, 0});
        std::vector<std::size_t> after(sources.size());
        while (Clock::now() < late + std::chrono::milliseconds(9500)) {
            if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
            for (std::size_t n = 0; n < fds.size(); ++n) {
                if ((fds[n].revents & POLLIN) == 0) continue;
                char buffer[2048];
                ssize_t length = ::recv(fds[n].fd, buffer, sizeof buffer, 0);
                if (length > 0 && Clock::now() > late &&
                    std::string_view(buffer, static_cast<std::size_t>(length)).find(udn) !=
                        std::string_view::npos)
                    ++after[n];
            }
        }
        std::size_t first = after[0];
        std::size_t total = 0;
        for (std::size_t n : after) total += n;
        EXPECT_GT(first, 0u);
        EXPECT_LE(first, 32u) << "searches of one source waiting at once";
        EXPECT_LE(total, 256u) << "searches of all sources waiting at once";
    }).join();
}

}  // namespace
