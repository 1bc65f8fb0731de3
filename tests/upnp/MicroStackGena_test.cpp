// GENA eventing against a real HTTP receiver on 127.0.0.1: the SUBSCRIBE, renewal and
// UNSUBSCRIBE answers, the subscriber limit, the initial event and the sequence numbers, a
// dead receiver, stalled receivers, and the Callback check that keeps events on the subscriber's
// own network or the server itself.
#include "upnp/MicroStack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>

#include "http/OlvWebClient.h"
#include "support/ChainRunner.h"
#include "support/LoopbackClient.h"
#include "support/PrivateNetwork.h"
#include "upnp/upnp_internal.h"
#include "upnp_test_support.h"

namespace {

using tv::test::Exchange;
using tv::test::StackHost;

// Accepts connections and answers every request with 200 OK, keeping what it received.
class EventReceiver {
public:
    EventReceiver()
    {
        listen_ = tv::test::ListenOnLoopback(16, &port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~EventReceiver()
    {
        stop_ = true;
        thread_.join();
        for (Connection& c : connections_) ::close(c.fd);
        ::close(listen_);
    }
    EventReceiver(const EventReceiver&) = delete;
    EventReceiver& operator=(const EventReceiver&) = delete;

    std::uint16_t port() const { return port_; }

    std::vector<std::string> Requests()
    {
        std::scoped_lock lock(mutex_);
        return requests_;
    }

    // When each request had come whole.
    std::vector<std::chrono::steady_clock::time_point> Times()
    {
        std::scoped_lock lock(mutex_);
        return times_;
    }

    bool WaitFor(std::size_t count, int timeout_ms = 5000)
    {
        return tv::test::WaitUntil([&] { return Requests().size() >= count; },
                                   std::chrono::milliseconds(timeout_ms));
    }

private:
    struct Connection {
        int fd;
        std::string data;
    };

    void Run()
    {
        while (!stop_) {
            std::vector<pollfd> fds;
            fds.push_back({listen_, POLLIN, 0});
            for (Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) connections_.push_back({fd, {}});
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                Connection& c = connections_[i - 1];
                char buffer[4096];
                ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    ::close(c.fd);
                    c.fd = -1;
                    continue;
                }
                c.data.append(buffer, static_cast<std::size_t>(n));
                Drain(c);
            }
            std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });
        }
    }

    // Takes every complete request (header and Content-Length body) off the buffer.
    void Drain(Connection& c)
    {
        for (;;) {
            std::size_t end = c.data.find("\r\n\r\n");
            if (end == std::string::npos) return;
            std::size_t at = c.data.find("Content-Length: ");
            std::size_t body = 0;
            if (at != std::string::npos && at < end) body = std::stoul(c.data.substr(at + 16));
            if (c.data.size() < end + 4 + body) return;
            {
                std::scoped_lock lock(mutex_);
                requests_.push_back(c.data.substr(0, end + 4 + body));
                times_.push_back(std::chrono::steady_clock::now());
            }
            c.data.erase(0, end + 4 + body);
            static constexpr char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            ::send(c.fd, kOk, sizeof kOk - 1, MSG_NOSIGNAL);
        }
    }

    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<Connection> connections_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    std::thread thread_;
};

// A callback whose host takes connections (the kernel's backlog does) and never answers.
class StalledCallback {
public:
    StalledCallback() { fd_ = tv::test::ListenOnLoopback(1024, &port_); }
    ~StalledCallback() { ::close(fd_); }
    StalledCallback(const StalledCallback&) = delete;
    StalledCallback& operator=(const StalledCallback&) = delete;
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Gives lo one more address, with a mask of its own (calling thread's namespace).
// On the loopback of a private namespace (EnterPrivateLoopback).
bool AddLoopbackAddress(const char* text)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = true;
    ifreq alias{};
    std::strcpy(alias.ifr_name, "lo:1");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &address.sin_addr);
    std::memcpy(&alias.ifr_addr, &address, sizeof address);
    ok = ok && ::ioctl(fd, SIOCSIFADDR, &alias) == 0;
    address.sin_addr.s_addr = INADDR_NONE;
    std::memcpy(&alias.ifr_netmask, &address, sizeof address);
    ok = ok && ::ioctl(fd, SIOCSIFNETMASK, &alias) == 0;
    ::close(fd);
    return ok;
}

// One request to the server at another of its addresses, read until it closes.
std::string ExchangeVia(const char* address_text, std::uint16_t port, const std::string& request)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address_text, &to.sin_addr);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[1024];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

std::string Subscribe(std::uint16_t port, const std::string& path, const std::string& headers)
{
    return Exchange(port, "SUBSCRIBE " + path + " HTTP/1.0\r\n" + headers + "\r\n");
}

std::string CallbackTo(std::uint16_t port, const std::string& path = "/evt")
{
    return "Callback: <http://127.0.0.1:" + std::to_string(port) + path + ">\r\nNT: upnp:event\r\n";
}

// The SID of a granted subscription, after checking the answer's form.
std::string GrantedSid(const std::string& answer, long timeout)
{
    const std::string head =
        "HTTP/1.1 200 OK\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\nSID: ";
    const std::string tail =
        "\r\nTIMEOUT: Second-" + std::to_string(timeout) + "\r\nContent-Length: 0\r\n\r\n";
    if (answer.size() != head.size() + 41 + tail.size() || answer.substr(0, head.size()) != head ||
        answer.substr(head.size() + 41) != tail)
        return "";
    std::string sid = answer.substr(head.size(), 41);
    if (sid.substr(0, 5) != "uuid:") return "";
    for (std::size_t i = 5; i < sid.size(); ++i) {
        bool dash = i == 13 || i == 18 || i == 23 || i == 28;
        char c = sid[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
    }
    return sid;
}

constexpr char kPreconditionFailed[] =
    "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n";

std::string Notify(std::uint16_t port, const std::string& path, const std::string& sid, int seq,
                   const std::string& properties)
{
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><e:propertyset "
        "xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property><" +
        properties + "></e:property></e:propertyset>";
    return "NOTIFY " + path +
           " HTTP/1.1\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n"
           "HOST: 127.0.0.1:" +
           std::to_string(port) +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\n"
           "NTS: upnp:propchange\r\nSID: " +
           sid + "\r\nSEQ: " + std::to_string(seq) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(MicroStackGena, InitialEventThenSequencedEventsToEachSubscriber)
{
    EventReceiver receiver;
    StackHost host;
    MicroStack_SetSystemUpdateID(host.stack(), 0);
    MicroStack_SetContainerUpdateIDs(host.stack(), "");
    MicroStack_SetSourceProtocolInfo(host.stack(), "http-get:*:audio/mpeg:*");
    MicroStack_SetSinkProtocolInfo(host.stack(), "");
    MicroStack_SetCurrentConnectionIDs(host.stack(), "");
    host.Start();

    std::string cds =
        GrantedSid(Subscribe(host.port(), "/ContentDirectory/event",
                             CallbackTo(receiver.port()) + "TIMEOUT: Second-1800\r\n"),
                   300);
    ASSERT_FALSE(cds.empty());
    ASSERT_TRUE(receiver.WaitFor(1));
    EXPECT_EQ(receiver.Requests()[0],
              Notify(receiver.port(), "/evt", cds, 0,
                     "ContainerUpdateIDs></ContainerUpdateIDs></e:property><e:property>"
                     "<SystemUpdateID>0</SystemUpdateID"));

    // Set from another thread: the next event carries SEQ 1 and the new value.
    std::thread([&] { MicroStack_SetSystemUpdateID(host.stack(), 7); }).join();
    ASSERT_TRUE(receiver.WaitFor(2));
    EXPECT_EQ(receiver.Requests()[1],
              Notify(receiver.port(), "/evt", cds, 1, "SystemUpdateID>7</SystemUpdateID"));

    // A ConnectionManager subscriber without a path gets "/" and all three values; the
    // ContentDirectory subscriber does not hear about them.
    std::string cms =
        GrantedSid(Subscribe(host.port(), "XConnectionManager/event",
                             "Callback: <http://127.0.0.1:" + std::to_string(receiver.port()) +
                                 ">\r\nTIMEOUT: Second-60\r\n"),
                   60);
    ASSERT_FALSE(cms.empty());
    EXPECT_NE(cms, cds);
    ASSERT_TRUE(receiver.WaitFor(3));
    EXPECT_EQ(receiver.Requests()[2],
              Notify(receiver.port(), "/", cms, 0,
                     "SourceProtocolInfo>http-get:*:audio/mpeg:*</SourceProtocolInfo></e:property>"
                     "<e:property><SinkProtocolInfo></SinkProtocolInfo></e:property><e:property>"
                     "<CurrentConnectionIDs></CurrentConnectionIDs"));
    MicroStack_SetCurrentConnectionIDs(host.stack(), "0 & 1");
    ASSERT_TRUE(receiver.WaitFor(4));
    EXPECT_EQ(receiver.Requests()[3],
              Notify(receiver.port(), "/", cms, 1,
                     "CurrentConnectionIDs>0 &amp; 1</CurrentConnectionIDs"));

    // Renewal keeps the SID; UNSUBSCRIBE once, then the SID is unknown.
    EXPECT_EQ(GrantedSid(Subscribe(host.port(), "/ContentDirectory/event",
                                   "SID: " + cds + "\r\nTIMEOUT: Second-60\r\n"),
                         60),
              cds);
    EXPECT_EQ(Subscribe(host.port(), "/ContentDirectory/event", "SID: uuid:nobody\r\n"),
              kPreconditionFailed);
    EXPECT_EQ(Subscribe(host.port(), "/ConnectionManager/event", "SID: " + cds + "\r\n"),
              kPreconditionFailed);
    EXPECT_EQ(Subscribe(host.port(), "/Other/event", "SID: " + cds + "\r\n"), kPreconditionFailed);
    auto unsubscribe = [&](const std::string& path, const std::string& sid) {
        return Exchange(host.port(),
                        "UNSUBSCRIBE " + path + " HTTP/1.0\r\nSID: " + sid + "\r\n\r\n");
    };
    EXPECT_EQ(unsubscribe("/ContentDirectory/event", cds),
              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(unsubscribe("/ContentDirectory/event", cds),
              "HTTP/1.1 412 Invalid SID\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(unsubscribe("/Other/event", cms),
              "HTTP/1.1 412 Invalid Service Name\r\nContent-Length: 0\r\n\r\n");

    MicroStack_SetSystemUpdateID(host.stack(), 8);  // nobody listens to ContentDirectory now
    MicroStack_SetSinkProtocolInfo(host.stack(), "x");
    ASSERT_TRUE(receiver.WaitFor(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::string> requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[4],
              Notify(receiver.port(), "/", cms, 2, "SinkProtocolInfo>x</SinkProtocolInfo"));
}

TEST(MicroStackGena, TimeoutsAreClampedAndBadRequestsRefused)
{
    EventReceiver receiver;
    StackHost host;
    host.Start();
    const std::string callback = CallbackTo(receiver.port());
    const std::string path = "/ContentDirectory/event";
    EXPECT_FALSE(
        GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-1800\r\n"), 300)
            .empty());
    EXPECT_FALSE(
        GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-60\r\n"), 60).empty());
    EXPECT_FALSE(
        GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-infinite\r\n"), 300)
            .empty());
    EXPECT_FALSE(GrantedSid(Subscribe(host.port(), path, callback), 300).empty());
    std::string sid =
        GrantedSid(Subscribe(host.port(), path, callback + "timeout: Second-5\r\n"), 5);
    EXPECT_FALSE(sid.empty());
    EXPECT_FALSE(
        GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-0\r\n"), 300).empty());
    // A renewal carries neither a Callback nor an NT.
    const std::string bad_request =
        "HTTP/1.1 400 Bad Request\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(Subscribe(host.port(), path, "SID: " + sid + "\r\n" + callback), bad_request);
    EXPECT_EQ(Subscribe(host.port(), path, "SID: " + sid + "\r\nNT: upnp:event\r\n"), bad_request);
    EXPECT_EQ(
        GrantedSid(Subscribe(host.port(), path, "SID: " + sid + "\r\nTIMEOUT: Second-0\r\n"), 300),
        sid);

    EXPECT_EQ(Subscribe(host.port(), "/ContentDirectory/control", callback),
              "HTTP/1.1 412 Invalid Service Name\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(Subscribe(host.port(), path, "Callback: 127.0.0.1/evt\r\n"), kPreconditionFailed);
    EXPECT_EQ(Subscribe(host.port(), path, "NT: upnp:event\r\n"), kPreconditionFailed);

    // Six so far; the eleventh within the limit is refused, the other service still works.
    for (int i = 6; i < 10; ++i) {
        EXPECT_FALSE(GrantedSid(Subscribe(host.port(), path, callback), 300).empty()) << i;
    }
    EXPECT_EQ(Subscribe(host.port(), path, callback),
              "HTTP/1.1 412 Too Many Subscribers\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(
        GrantedSid(Subscribe(host.port(), "/ConnectionManager/event", callback), 300).empty());
}

// In a network namespace of its own, where lo also carries 198.51.100.7/32: an address of
// the server itself that the subscriber did not reach it on.
TEST(MicroStackGena, CallbackMustBeTheSubscribersNetworkOrTheServerItself)
{
    std::thread([] {
        if (!tv::test::InNamespace() || !tv::test::EnterPrivateLoopback() ||
            !AddLoopbackAddress("198.51.100.7")) {
            ADD_FAILURE() << "needs a private network namespace (scripts/netns.sh)";
            return;
        }
        EventReceiver receiver;
        StackHost host;
        host.Start();
        const std::string path = "/ContentDirectory/event";
        const std::string port = std::to_string(receiver.port());
        for (const std::string& url :
             {"http://10.9.8.7:" + port, std::string("http://192.0.2.1"),
              "http://localhost:" + port, "http://0.0.0.0:" + port, std::string("http://"),
              "http://203.0.113.9:" + port, "http://127.0.0.0:" + port,
              "http://127.255.255.255:" + port, std::string("http://127.0.0.1:0"),
              std::string("http://127.0.0.1:65536"), std::string("http://127.0.0.1:"),
              "https://127.0.0.1:" + port, "ftp://127.0.0.1:" + port}) {
            EXPECT_EQ(Subscribe(host.port(), path, "Callback: <" + url + "/evt>\r\n"),
                      kPreconditionFailed)
                << url;
        }
        // The subscriber's own network, and any address of the server whichever way it came in.
        for (const std::string& host_part : {"127.0.0.2:" + port, "198.51.100.7:" + port})
            EXPECT_FALSE(
                GrantedSid(
                    Subscribe(host.port(), path, "Callback: <http://" + host_part + "/e>\r\n"), 300)
                    .empty())
                << host_part;
        EXPECT_FALSE(GrantedSid(ExchangeVia("198.51.100.7", host.port(),
                                            "SUBSCRIBE " + path + " HTTP/1.0\r\n" +
                                                CallbackTo(receiver.port()) + "\r\n"),
                                300)
                         .empty());
        EXPECT_EQ(ExchangeVia("198.51.100.7", host.port(),
                              "SUBSCRIBE " + path + " HTTP/1.0\r\nCallback: <http://203.0.113.9:" +
                                  port + "/e>\r\n\r\n"),
                  kPreconditionFailed);
        // Only the first URL counts.
        EXPECT_FALSE(GrantedSid(Subscribe(host.port(), path,
                                          "Callback: <http://127.0.0.1:" + port +
                                              "/first><http://10.9.8.7/second>\r\n"),
                                300)
                         .empty());
        ASSERT_TRUE(receiver.WaitFor(2));
        EXPECT_EQ(receiver.Requests()[1].rfind("NOTIFY /first HTTP/1.1\r\n", 0), 0u);
    }).join();
}

TEST(MicroStackGena, DeadReceiverLosesItsSubscription)
{
    const tv::test::HeldPort held;  // nothing listens on it
    const std::uint16_t dead = held.port();

    EventReceiver receiver;
    StackHost host;
    host.Start();
    const std::string path = "/ContentDirectory/event";
    ASSERT_FALSE(GrantedSid(Subscribe(host.port(), path, CallbackTo(dead)), 300).empty());
    for (int i = 1; i < 10; ++i)
        ASSERT_FALSE(
            GrantedSid(Subscribe(host.port(), path, CallbackTo(receiver.port())), 300).empty());
    EXPECT_EQ(Subscribe(host.port(), path, CallbackTo(receiver.port())),
              "HTTP/1.1 412 Too Many Subscribers\r\nContent-Length: 0\r\n\r\n");
    // The initial event to the dead receiver fails after the client's retries; that frees
    // its place.
    bool freed = tv::test::WaitUntil(
        [&] {
            std::string answer = Subscribe(host.port(), path, CallbackTo(receiver.port()));
            if (!GrantedSid(answer, 300).empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return false;
        },
        std::chrono::seconds(40));
    EXPECT_TRUE(freed);
    // Later events reach the ten live subscribers only.
    ASSERT_TRUE(receiver.WaitFor(10));  // nine initial events and the newcomer's
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.Requests().size(), 10u);
    MicroStack_SetSystemUpdateID(host.stack(), 3);
    ASSERT_TRUE(receiver.WaitFor(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(receiver.Requests().size(), 20u);
    for (const std::string& r : receiver.Requests())
        EXPECT_EQ(r.find("HOST: 127.0.0.1:" + std::to_string(dead)), std::string::npos);
}

TEST(MicroStackGena, HealthySubscriberIsHeardWhileFiveCallbacksStall)
{
    EventReceiver receiver;
    StalledCallback stalled[5];
    StackHost host;
    tv::WebClientSetResponseDeadlineForTest(host.stack()->event_client, 3000);
    host.Start();
    const std::string path = "/ContentDirectory/event";
    std::vector<std::string> stalled_sids;
    for (StalledCallback& callback : stalled) {
        stalled_sids.push_back(
            GrantedSid(Subscribe(host.port(), path, CallbackTo(callback.port())), 300));
        ASSERT_FALSE(stalled_sids.back().empty());
    }
    std::string healthy =
        GrantedSid(Subscribe(host.port(), path, CallbackTo(receiver.port())), 300);
    ASSERT_FALSE(healthy.empty());
    ASSERT_TRUE(receiver.WaitFor(1)) << "no initial event while five callbacks stall";
    for (const std::string& sid : stalled_sids)  // not waiting for their deadline
        EXPECT_EQ(GrantedSid(Subscribe(host.port(), path, "SID: " + sid + "\r\n"), 300), sid);
    // A burst of changes: each subscriber holds at most two NOTIFYs, the rest fold into one
    // that carries the newest values, and the sequence numbers run on without a gap.
    for (unsigned i = 1; i <= 50; ++i) MicroStack_SetSystemUpdateID(host.stack(), i);
    EXPECT_LE(tv::WebClientCount(host.stack()->event_client).requests, 2 * 6);
    EXPECT_TRUE(tv::test::WaitUntil([&] {
        std::vector<std::string> requests = receiver.Requests();
        return requests.back().find("<SystemUpdateID>50</SystemUpdateID>") != std::string::npos;
    }));
    std::vector<std::string> requests = receiver.Requests();
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_NE(requests[i].find("SEQ: " + std::to_string(i) + "\r\n"), std::string::npos) << i;

    // A delivery without an answer in time failed: those subscriptions are gone.
    EXPECT_TRUE(tv::test::WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return Subscribe(host.port(), path, "SID: " + stalled_sids[4] + "\r\n") ==
                   kPreconditionFailed;
        },
        std::chrono::seconds(10)));
    for (const std::string& sid : stalled_sids)
        EXPECT_EQ(Subscribe(host.port(), path, "SID: " + sid + "\r\n"), kPreconditionFailed);
    EXPECT_EQ(GrantedSid(Subscribe(host.port(), path, "SID: " + healthy + "\r\n"), 300), healthy);
}

// Memory by count: every NOTIFY held for a subscriber that is gone keeps that subscriber.
TEST(MicroStackGena, SubscribeUnsubscribeLoopAgainstStalledCallbacksHoldsNothing)
{
    StalledCallback stalled[5];
    StackHost host;
    host.Start();
    const std::string path = "/ConnectionManager/event";
    for (int i = 0; i < 300; ++i) {
        std::string sid =
            GrantedSid(Subscribe(host.port(), path, CallbackTo(stalled[i % 5].port())), 300);
        ASSERT_FALSE(sid.empty()) << i;
        ASSERT_EQ(
            Exchange(host.port(), "UNSUBSCRIBE " + path + " HTTP/1.0\r\nSID: " + sid + "\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    }
    int held = 0;
    {
        std::scoped_lock lock(host.stack()->subscriber_lock);
        for (tv::Subscriber* s = host.stack()->detached; s != nullptr; s = s->next) ++held;
    }
    EXPECT_LE(held, 5) << "unsubscribed subscribers still held by their NOTIFYs";
}

TEST(MicroStackGena, ExpiredSubscribersHearNothingUntilRenewedOrPurged)
{
    EventReceiver receiver;
    StackHost host;
    host.Start();
    const std::string path = "/ConnectionManager/event";
    const std::string callback = CallbackTo(receiver.port());
    std::string a = GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-1\r\n"), 1);
    std::string b = GrantedSid(Subscribe(host.port(), path, callback + "TIMEOUT: Second-1\r\n"), 1);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    ASSERT_TRUE(receiver.WaitFor(2));  // the two initial events
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));

    MicroStack_SetSinkProtocolInfo(host.stack(), "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(receiver.Requests().size(), 2u);

    // Still in the list: renewal brings it back, with the next sequence number.
    EXPECT_EQ(
        GrantedSid(Subscribe(host.port(), path, "SID: " + a + "\r\nTIMEOUT: Second-60\r\n"), 60),
        a);
    MicroStack_SetSinkProtocolInfo(host.stack(), "2");
    ASSERT_TRUE(receiver.WaitFor(3));
    EXPECT_NE(receiver.Requests()[2].find("SID: " + a + "\r\nSEQ: 1\r\n"), std::string::npos);

    // A new SUBSCRIBE removes the expired one for good.
    EXPECT_FALSE(GrantedSid(Subscribe(host.port(), path, callback), 300).empty());
    EXPECT_EQ(Subscribe(host.port(), path, "SID: " + b + "\r\n"), kPreconditionFailed);
    EXPECT_EQ(Exchange(host.port(), "UNSUBSCRIBE " + path + " HTTP/1.0\r\nSID: " + b + "\r\n\r\n"),
              "HTTP/1.1 412 Invalid SID\r\nContent-Length: 0\r\n\r\n");
}

TEST(MicroStackGena, SubscriptionIdsAreRandom)
{
    char a[48] = {};
    char b[48] = {};
    tv::GenaMakeSid(a);
    tv::GenaMakeSid(b);
    EXPECT_EQ(std::strlen(a), 41u);
    EXPECT_STRNE(a, b);
}

}  // namespace

// Moderated, a subscriber hears at most one event each interval, and the changes in between
// reach it folded into that one, with every value of its service as it is by then.
TEST(MicroStackGena, ModeratedEventsFoldTheChangesOfAnInterval)
{
    EventReceiver receiver;
    StackHost host;
    MicroStack_SetSystemUpdateID(host.stack(), 5);
    MicroStack_SetContainerUpdateIDs(host.stack(), "");
    tv::MicroStackModerateEvents(host.stack(), 2000);
    host.Start();

    std::string sid = GrantedSid(
        Subscribe(host.port(), "/ContentDirectory/event", CallbackTo(receiver.port())), 300);
    ASSERT_FALSE(sid.empty());
    ASSERT_TRUE(receiver.WaitFor(1));
    MicroStack_SetSystemUpdateID(host.stack(), 6);
    MicroStack_SetContainerUpdateIDs(host.stack(), "0\\\\a\\\\,6");
    std::thread([&] { MicroStack_SetSystemUpdateID(host.stack(), 7); }).join();
    ASSERT_TRUE(receiver.WaitFor(2, 6000));
    MicroStack_SetSystemUpdateID(host.stack(), 8);
    ASSERT_TRUE(receiver.WaitFor(3, 6000));

    std::vector<std::string> requests = receiver.Requests();
    std::vector<std::chrono::steady_clock::time_point> times = receiver.Times();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1],
              Notify(receiver.port(), "/evt", sid, 1,
                     "ContainerUpdateIDs>0\\\\a\\\\,6</ContainerUpdateIDs></e:property>"
                     "<e:property><SystemUpdateID>7</SystemUpdateID"));
    EXPECT_EQ(requests[2],
              Notify(receiver.port(), "/evt", sid, 2,
                     "ContainerUpdateIDs>0\\\\a\\\\,6</ContainerUpdateIDs></e:property>"
                     "<e:property><SystemUpdateID>8</SystemUpdateID"));
    // Never sooner than the interval (less what delivering the one before may have taken).
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(1500)) << i;
}
