#include "net/OlvAsyncServerSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "net/LocalAddresses.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "support/LoopbackClient.h"
#include "support/PrivateNetwork.h"
#include "support/TestContext.h"

namespace {

using tv::test::ChainThread;
using tv::test::LoopbackClient;
using tv::test::Signal;

struct Record {
    Signal signal;
    int connects = 0;
    int disconnects = 0;
    int interrupts = 0;
    std::string received;
    bool close_on_data = false;
    int consumed_reported = -1;
    bool small_send_buffers = false;  // so that a client that does not read stalls soon
};

Record* Of(OlvAsyncServerSocket* server)
{
    return static_cast<Record*>(OlvAsyncServerSocket_GetTag(server));
}

void OnConnect(OlvAsyncServerSocket* server, OlvAsyncSocket* socket, void** user) noexcept
{
    Record* r = Of(server);
    if (r->small_send_buffers) {
        int small = 4096;
        ::setsockopt(*OlvAsyncSocket_GetHandle(socket), SOL_SOCKET, SO_SNDBUF, &small,
                     sizeof small);
    }
    r->signal.Update([&] { r->connects++; });
    *user = r;
}

void OnDisconnect(OlvAsyncServerSocket* server, OlvAsyncSocket*, void* user) noexcept
{
    Record* r = Of(server);
    EXPECT_EQ(user, r);
    r->signal.Update([&] { r->disconnects++; });
}

void OnInterrupt(OlvAsyncServerSocket* server, OlvAsyncSocket*, void*) noexcept
{
    Record* r = Of(server);
    r->signal.Update([&] { r->interrupts++; });
}

void OnReceive(OlvAsyncServerSocket* server, OlvAsyncSocket* socket, char* data, int* consumed,
               int length, tv::ServerSocketEventFn*, void**, int*) noexcept
{
    Record* r = Of(server);
    r->signal.Update([&] { r->received.append(data, static_cast<std::size_t>(length)); });
    if (r->close_on_data) {
        OlvAsyncSocket_Disconnect(socket);
        *consumed = 0;
        return;
    }
    *consumed = length;
    OlvAsyncSocket_Send(socket, data, static_cast<std::size_t>(length), 0, 0, OwnCopy);
    if (std::string_view(data, static_cast<std::size_t>(length)) == "idle")
        tv::AsyncServerSocketSetIdle(server, socket, true);  // as a keep-alive answer ends
    if (std::string_view(data, static_cast<std::size_t>(length)) == "flood") {
        std::string flood(1024 * 1024, 'x');
        OlvAsyncSocket_Send(socket, flood.data(), flood.size(), 0, 0, OwnCopy);
    }
}

struct Server {
    tv::test::TestContext context;
    Record record;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncServerSocket* server = nullptr;
    std::uint16_t port = 0;
    ChainThread thread{chain};
    // Serves every interface, or only `served`.
    explicit Server(int stall_limit_ms = 0, std::vector<std::string> served = {})
    {
        context.Serve(std::move(served));
        server = OlvAsyncServerSocket_Create(chain, context.get(), 5, 0, 4096, OnConnect,
                                             OnDisconnect, OnReceive, OnInterrupt, nullptr);
        port = OlvAsyncServerSocket_GetPort(server);
        OlvAsyncServerSocket_SetTag(server, &record);
        if (stall_limit_ms > 0) {
            tv::AsyncServerSocketSetStallLimitForTest(server, stall_limit_ms);
            record.small_send_buffers = true;
        }
        thread.Start();
    }
};

TEST(OlvAsyncServerSocket, RandomPortEchoAndChainEnd)
{
    Server s;
    EXPECT_GE(s.port, 50000);
    EXPECT_LE(s.port, 64999);
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.Send("ping"));
    EXPECT_EQ(c.ReadBytes(4), "ping");
    s.thread.Stop();
    EXPECT_EQ(s.record.connects, 1);
    EXPECT_EQ(s.record.interrupts, 1);
    EXPECT_EQ(s.record.disconnects, 0);
}

TEST(OlvAsyncServerSocket, SixthClientWaitsUntilOneOfFiveLeaves)
{
    Server s;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<LoopbackClient>(s.port));
        ASSERT_TRUE(clients.back()->connected());  // the backlog completes the handshake
    }
    ASSERT_TRUE(s.record.signal.WaitFor([&] { return s.record.connects == 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        std::scoped_lock lk(s.record.signal.mutex());
        EXPECT_EQ(s.record.connects, 5);
    }
    clients[0]->Close();
    ASSERT_TRUE(s.record.signal.WaitFor([&] { return s.record.connects == 6; }));
    EXPECT_TRUE(clients[5]->Send("late"));
    EXPECT_EQ(clients[5]->ReadBytes(4), "late");
}

// From inside a private namespace: served0 (a bridge without ports) holds 10.123.1.1, the
// served address; a neighbour host (a namespace of its own behind the veth lan9, 10.123.2.1
// here and 10.123.2.2 there) is on a network the server does not serve, and routes
// 10.123.1.1 through 10.123.2.1. Returns the neighbour's connection to 10.123.1.1:port, or -1.
int ConnectFromLeftOutNetwork(std::uint16_t port)
{
    const std::string here = std::to_string(::gettid());
    int fd = -1;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        const std::string script =
            "set -e; ip link set lo up; ip link add eth0 type veth peer name lan9 netns " + here +
            "; nsenter -t " + here +
            " -n sh -ec 'ip link add served0 type bridge; ip addr add 10.123.1.1/24 dev served0;"
            " ip link set served0 up; ip addr add 10.123.2.1/24 dev lan9; ip link set lan9 up';"
            " ip addr add 10.123.2.2/24 dev eth0; ip link set eth0 up;"
            " ip route add 10.123.1.1 via 10.123.2.1;"
            " for i in $(seq 1 200); do ip -o link show eth0 | grep -q 'state UP' && break;"
            " sleep 0.01; done";
        if (std::system(script.c_str()) != 0) return;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr("10.123.1.1");
        to.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            fd = -1;
        }
    }).join();
    return fd;
}

// True when the server ends the connection (end of stream or reset) before the time-out.
bool EndedByServer(int fd)
{
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Five connections hold every slot: four streams whose clients stopped reading and one that
// waits for its next request. None loses its slot while nobody waits, nor to a client from a
// network the server does not serve (closed unread, whatever address it was sent to). A
// waiting client takes the slot of the idle connection first, though the streams have stalled
// past the limit; the next one takes the stream's stalled longest. In a namespace of its own:
// a stray connection from another test would be a client waiting too.
TEST(OlvAsyncServerSocket, StalledStreamMakesRoomForAWaitingClient)
{
    std::thread([] {
        if (!tv::test::EnterPrivateLoopback()) {
            ADD_FAILURE() << "needs root for a private network namespace";
            return;
        }
        Server s(100, {"served0"});
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<LoopbackClient>(s.port));
            ASSERT_TRUE(clients.back()->Send("flood"));
        }
        LoopbackClient idle(s.port);
        ASSERT_TRUE(idle.Send("idle"));
        EXPECT_EQ(idle.ReadBytes(4), "idle");
        ASSERT_TRUE(s.record.signal.WaitFor([&] { return s.record.connects == 5; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // all stalled past the limit
        const int neighbour = ConnectFromLeftOutNetwork(s.port);
        ASSERT_GE(neighbour, 0);
        EXPECT_TRUE(EndedByServer(neighbour));
        ::close(neighbour);
        {
            std::scoped_lock lk(s.record.signal.mutex());
            EXPECT_EQ(s.record.disconnects, 0);
            EXPECT_EQ(s.record.connects, 5);
        }
        for (int n = 6; n <= 7; ++n) {
            clients.push_back(std::make_unique<LoopbackClient>(s.port));
            ASSERT_TRUE(clients.back()->Send("late"));
            EXPECT_EQ(clients.back()->ReadBytes(4), "late");
            if (n == 6) {
                EXPECT_TRUE(idle.WaitClosed());
            }
            std::scoped_lock lk(s.record.signal.mutex());
            EXPECT_EQ(s.record.disconnects, n - 5);
            EXPECT_EQ(s.record.connects, n);
        }
    }).join();
}

TEST(OlvAsyncServerSocket, ReceiverThatClosesHasEverythingConsumed)
{
    Server s;
    s.record.close_on_data = true;
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("bye"));
    EXPECT_TRUE(c.WaitClosed());
    ASSERT_TRUE(s.record.signal.WaitFor([&] { return s.record.disconnects == 1; }));
    s.thread.Stop();
    EXPECT_EQ(s.record.received, "bye");  // offered once: nothing was left to redeliver
}

TEST(OlvAsyncServerSocket, FixedPortInUseReportsZero)
{
    Server s;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncServerSocket* second =
        OlvAsyncServerSocket_Create(chain, s.context.get(), 1, s.port, 4096, OnConnect,
                                    OnDisconnect, OnReceive, OnInterrupt, nullptr);
    // SO_REUSEADDR does not let two sockets bind a port that one listens on.
    EXPECT_EQ(OlvAsyncServerSocket_GetPort(second), 0);
    ChainThread t(chain);
    t.Start();
    t.Stop();
}

}  // namespace
