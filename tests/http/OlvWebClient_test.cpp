#include "http/OlvWebClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "support/LoopbackClient.h"
#include "support/TestContext.h"
#include "support/WaitUntil.h"

namespace {

using tv::test::ChainThread;
using tv::test::Signal;

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct Delivery {
    tv::WebInterrupt interrupt;
    bool has_header;
    int status;
    std::string data;
    tv::WebDelivery done;
    std::string tag;
};

struct Record {
    Signal signal;
    std::vector<Delivery> finals;
    int partials = 0;
};

void OnResponse(OlvWebReader*, tv::WebInterrupt interrupt, OlvPacket* header, char* data, int*,
                int length, tv::WebDelivery done, void* user, void* user2, OlvSocketPause*) noexcept
{
    auto* r = static_cast<Record*>(user);
    const char* tag = static_cast<const char*>(user2);
    r->signal.Update([&] {
        if (done != tv::WebDelivery::Final) {
            r->partials++;  // takes nothing: the whole body comes with the final delivery
            return;
        }
        r->finals.push_back({interrupt, header != nullptr,
                             header != nullptr ? header->status_code : 0,
                             std::string(data != nullptr ? data : "",
                                         data != nullptr ? static_cast<std::size_t>(length) : 0),
                             done, tag != nullptr ? tag : ""});
    });
}

// A scripted peer: a listening socket and a thread that plays the server's side.
struct FakeServer {
    std::uint16_t port = 0;
    int listen_fd = tv::test::ListenOnLoopback(4, &port);
    std::atomic<int> accepted{0};
    std::thread thread;

    FakeServer()
    {
        timeval tv{10, 0};
        ::setsockopt(listen_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~FakeServer()
    {
        if (thread.joinable()) thread.join();
        ::close(listen_fd);
    }
    void Run(std::function<void(FakeServer&)> script)
    {
        thread = std::thread([this, script] { script(*this); });
    }
    int Accept(int timeout_ms = 10000)
    {
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        ::setsockopt(listen_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int fd = ::accept(listen_fd, nullptr, nullptr);
        if (fd >= 0) {
            accepted++;
            timeval rt{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
        }
        return fd;
    }
    static std::string ReadRequest(int fd)
    {
        std::string text;
        char c;
        while (text.size() < 4 || text.compare(text.size() - 4, 4, "\r\n\r\n") != 0) {
            if (::recv(fd, &c, 1, 0) != 1) break;
            text.push_back(c);
        }
        return text;
    }
    static bool NothingMoreWithin(int fd, int ms)
    {
        timeval tv{0, ms * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        bool quiet = ::recv(fd, &c, 1, MSG_PEEK) < 0;
        timeval rt{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
        return quiet;
    }
    static void Write(int fd, const std::string& text)
    {
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
};

void Request(OlvWebClient* client, std::uint16_t port, const char* path, Record* r)
{
    std::string text =
        std::string("NOTIFY ") + path + " HTTP/1.1\r\nHOST: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
    OlvWebClient_PipelineRequest(client, kLoopback, port, tv::CopyBytes(text.data(), text.size()),
                                 text.size(), OwnTransfer, nullptr, 0, OwnStatic, OnResponse, r,
                                 const_cast<char*>(path));
}

TEST(OlvWebClient, FramingsOnOneConnectionOneRequestAtATime)
{
    Record r;
    FakeServer peer;
    std::atomic<bool> overlapped{false};
    std::vector<std::string> seen;
    peer.Run([&](FakeServer& p) {
        int fd = p.Accept();
        if (fd < 0) return;
        auto next = [&](const std::string& answer) {
            std::string request = FakeServer::ReadRequest(fd);
            seen.push_back(request.substr(0, request.find(" HTTP")));
            if (!FakeServer::NothingMoreWithin(fd, 100)) overlapped = true;
            FakeServer::Write(fd, answer);
        };
        next("HTTP/1.1 200 OK\r\n\r\n");
        // What an interim response says of its framing or its connection is not the real one's.
        next(
            "HTTP/1.1 100 Continue\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
        next("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
        {
            std::string request = FakeServer::ReadRequest(fd);
            seen.push_back(request.substr(0, request.find(" HTTP")));
            std::string answer =
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5\r\nhello\r\n1;x=y\r\n \r\n5\r\nworld\r\n0\r\nX-Trailer: 1\r\n\r\n";
            for (char c : answer) {
                FakeServer::Write(fd, std::string(1, c));
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        }
        {
            std::string request = FakeServer::ReadRequest(fd);
            seen.push_back(request.substr(0, request.find(" HTTP")));
            FakeServer::Write(fd, "HTTP/1.0 200 OK\r\n\r\nbody until close");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::close(fd);
        }
    });
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(5, chain, context.get());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(OlvWebClient_Create(5, nullptr, context.get()), nullptr);
    ChainThread thread(chain);
    thread.Start();
    // Queued from this thread while the chain runs.
    for (const char* path : {"/nolen", "/continue", "/nocontent", "/chunked", "/close"})
        Request(client, peer.port, path, &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.finals.size() == 5; }, 15000));
    thread.Stop();
    peer.thread.join();
    EXPECT_FALSE(overlapped.load()) << "a second request went out before the first response";
    EXPECT_EQ(peer.accepted.load(), 1);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"NOTIFY /nolen", "NOTIFY /continue", "NOTIFY /nocontent",
                                        "NOTIFY /chunked", "NOTIFY /close"}));
    ASSERT_EQ(r.finals.size(), 5u);
    EXPECT_EQ(r.finals[0].tag, "/nolen");
    EXPECT_EQ(r.finals[0].status, 200);
    EXPECT_EQ(r.finals[0].data, "");
    EXPECT_EQ(r.finals[1].status, 200);
    EXPECT_EQ(r.finals[1].data, "abc");
    EXPECT_EQ(r.finals[2].status, 204);
    EXPECT_EQ(r.finals[3].data, "hello world");
    EXPECT_EQ(r.finals[4].data, "body until close");
    for (const Delivery& d : r.finals) {
        EXPECT_TRUE(d.has_header);
        EXPECT_EQ(d.interrupt, tv::WebInterrupt::None);
    }
}

TEST(OlvWebClient, ParkedConnectionIsReconnectedForTheNextRequest)
{
    Record r;
    FakeServer peer;
    std::atomic<bool> first_closed{false};
    peer.Run([&](FakeServer& p) {
        for (int i = 0; i < 2; ++i) {
            int fd = p.Accept();
            if (fd < 0) return;
            FakeServer::ReadRequest(fd);
            FakeServer::Write(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            if (i == 0) {
                // The client parks the connection 3 s after its last response.
                char c;
                timeval tv{8, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                first_closed = ::recv(fd, &c, 1, 0) == 0;
            }
            ::close(fd);
        }
    });
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(2, chain, context.get());
    ChainThread thread(chain);
    thread.Start();
    Request(client, peer.port, "/one", &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.finals.size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));
    Request(client, peer.port, "/two", &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.finals.size() == 2; }, 8000));
    thread.Stop();
    peer.thread.join();
    EXPECT_TRUE(first_closed.load());
    EXPECT_EQ(peer.accepted.load(), 2);
    EXPECT_EQ(r.finals[1].data, "ok");
}

TEST(OlvWebClient, PeerThatClosesAfterItsAnswerGetsTheNextRequestOnANewConnection)
{
    Record r;
    FakeServer peer;
    peer.Run([&](FakeServer& p) {
        for (int i = 0; i < 2; ++i) {
            int fd = p.Accept();
            if (fd < 0) return;
            FakeServer::ReadRequest(fd);
            FakeServer::Write(
                fd, i == 0 ? "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok"
                           : "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nyes");
            ::close(fd);
        }
    });
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(2, chain, context.get());
    ChainThread thread(chain);
    thread.Start();
    Request(client, peer.port, "/one", &r);
    Request(client, peer.port, "/two", &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.finals.size() == 2; }, 8000));
    thread.Stop();
    peer.thread.join();
    EXPECT_EQ(peer.accepted.load(), 2);
    EXPECT_EQ(r.finals[0].data, "ok");
    EXPECT_EQ(r.finals[1].data, "yes");
    EXPECT_TRUE(r.finals[1].has_header);
}

TEST(OlvWebClient, ChainEndInterruptsPendingRequests)
{
    Record r;
    FakeServer peer;
    std::atomic<bool> got_request{false};
    peer.Run([&](FakeServer& p) {
        int fd = p.Accept();
        if (fd < 0) return;
        FakeServer::ReadRequest(fd);
        got_request = true;
        char c;
        ::recv(fd, &c, 1, 0);  // never answers; ends when the client goes away
        ::close(fd);
    });
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(1, chain, context.get());
    ChainThread thread(chain);
    thread.Start();
    Request(client, peer.port, "/a", &r);
    Request(client, peer.port, "/b", &r);
    tv::test::WaitUntil([&] { return got_request.load(); }, std::chrono::seconds(20));
    thread.Stop();
    peer.thread.join();
    ASSERT_EQ(r.finals.size(), 2u);
    for (const Delivery& d : r.finals) {
        EXPECT_EQ(d.interrupt, tv::WebInterrupt::Destroyed);
        EXPECT_FALSE(d.has_header);
        EXPECT_EQ(d.done, tv::WebDelivery::Final);
    }
}

// More destinations than may be parked: each connection ends up parked or evicted, never left
// open and marked as closing by the client, so a peer that drops a later request without an
// answer still ends that request.
TEST(OlvWebClient, EveryRequestEndsAfterMoreConnectionsThanMayBeParked)
{
    constexpr int kPeers = 24;
    Record r;
    std::vector<std::unique_ptr<FakeServer>> peers;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<FakeServer>());
        peers.back()->Run([](FakeServer& p) {
            // Answers the first request it sees, then drops every later one unanswered.
            for (int served = 0; served < 2;) {
                int fd = p.Accept(9000);
                if (fd < 0) return;
                while (served < 2 && !FakeServer::ReadRequest(fd).empty()) {
                    if (served++ > 0) break;
                    FakeServer::Write(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
                }
                ::close(fd);
            }
        });
    }
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(kPeers, chain, context.get());
    ChainThread thread(chain);
    thread.Start();
    for (auto& peer : peers) Request(client, peer->port, "/first", &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.finals.size() == kPeers; }, 8000));
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));  // every connection idles out
    for (auto& peer : peers) Request(client, peer->port, "/second", &r);
    std::size_t ended = 0;
    r.signal.WaitFor([&] { return (ended = r.finals.size() - kPeers) == kPeers; }, 8000);
    tv::WebClientCounts counts = tv::WebClientCount(client);
    thread.Stop();
    for (auto& peer : peers) peer->thread.join();
    EXPECT_EQ(ended, static_cast<std::size_t>(kPeers)) << "second requests that ended in time";
    for (std::size_t i = kPeers; i < r.finals.size(); ++i) EXPECT_FALSE(r.finals[i].has_header);
    EXPECT_LE(counts.parked, 20);
    EXPECT_LE(counts.connections, kPeers);
    EXPECT_EQ(counts.requests, 0);
}

// Six attempts after delays of 0, 1, 2, 4 and 8 s, then one failure delivery.
TEST(OlvWebClient, UnreachableDestinationFailsOnceAfterTheRetries)
{
    Record r;
    tv::test::HeldPort dead;  // nothing listens on it
    const std::uint16_t port = dead.port();
    tv::test::TestContext context;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebClient* client = OlvWebClient_Create(5, chain, context.get());
    ChainThread thread(chain);
    auto start = std::chrono::steady_clock::now();
    thread.Start();
    Request(client, port, "/dead", &r);
    ASSERT_TRUE(r.signal.WaitFor([&] { return !r.finals.empty(); }, 40000));
    auto waited = std::chrono::steady_clock::now() - start;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    thread.Stop();
    ASSERT_EQ(r.finals.size(), 1u);
    EXPECT_FALSE(r.finals[0].has_header);
    EXPECT_EQ(r.finals[0].done, tv::WebDelivery::Final);
    EXPECT_EQ(r.finals[0].interrupt, tv::WebInterrupt::Destroyed);
    EXPECT_GE(waited, std::chrono::milliseconds(14500));
}

}  // namespace
