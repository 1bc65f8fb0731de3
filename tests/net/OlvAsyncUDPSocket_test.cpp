#include "net/OlvAsyncUDPSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/ServerContext.h"
#include "support/ChainRunner.h"
#include "support/LoopbackClient.h"

namespace {

using tv::test::ChainThread;
using tv::test::Signal;

tv::RandomSource g_random;

struct Datagram {
    std::string text;
    std::uint32_t address;
    std::uint16_t port;
    tv::DatagramArrival arrival;
};

struct Record {
    Signal signal;
    std::vector<Datagram> datagrams;
};

void OnData(OlvAsyncSocket* socket, char* data, int length, std::uint32_t address,
            std::uint16_t port, void* user, void* reserved, int*) noexcept
{
    auto* r = static_cast<Record*>(user);
    EXPECT_EQ(reserved, nullptr);
    r->signal.Update([&] {
        r->datagrams.push_back({std::string(data, static_cast<std::size_t>(length)), address, port,
                                tv::AsyncSocketArrival(socket)});
    });
}

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct Sender {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;
    Sender()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Sender() { ::close(fd); }
    void SendTo(std::uint32_t address, std::uint16_t to_port, const std::string& text)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = address;
        a.sin_port = htons(to_port);
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

TEST(OlvAsyncUDPSocket, PortRangesAndExactPorts)
{
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    for (int i = 0; i < 5; ++i) {
        OlvAsyncSocket* s = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, 50000,
                                                     50010, 0, OnData, nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        std::uint16_t port = tv::UdpSocketPort(s);
        EXPECT_GE(port, 50000);
        EXPECT_LT(port, 50010);  // the high end is never drawn
        // The same port again without reuse is taken: null.
        EXPECT_EQ(OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, port, port, 0, OnData,
                                           nullptr, nullptr),
                  nullptr);
    }
    Sender free_port;  // a port the kernel just handed out, released again
    std::uint16_t port = free_port.port;
    ::close(free_port.fd);
    free_port.fd = -1;
    OlvAsyncSocket* exact = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, port, port,
                                                     0, OnData, nullptr, nullptr);
    ASSERT_NE(exact, nullptr);
    EXPECT_EQ(tv::UdpSocketPort(exact), port);
    // Two listeners that both ask for reuse share a port.
    OlvAsyncSocket* shared1 = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, 50000,
                                                       65000, 1, OnData, nullptr, nullptr);
    ASSERT_NE(shared1, nullptr);
    std::uint16_t shared_port = tv::UdpSocketPort(shared1);
    EXPECT_NE(OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, shared_port, shared_port,
                                       1, OnData, nullptr, nullptr),
              nullptr);
    ChainThread t(chain);
    t.Start();
    t.Stop();
}

TEST(OlvAsyncUDPSocket, DatagramsFromTwoSendersEachCarryTheirSender)
{
    Record r;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* s = OlvAsyncUDPSocket_Create(chain, &g_random, 256, kLoopback, 50000, 65000, 0,
                                                 OnData, nullptr, &r);
    ASSERT_NE(s, nullptr);
    std::uint16_t port = tv::UdpSocketPort(s);
    ChainThread t(chain);
    t.Start();
    Sender a, b;
    a.SendTo(kLoopback, port, "from a");
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.datagrams.size() == 1; }));
    b.SendTo(kLoopback, port, "from b");
    b.SendTo(kLoopback, port, "");  // an empty datagram must not close the socket
    // The 256-byte buffer has grown by 4096 for the first read; more than that is cut.
    a.SendTo(kLoopback, port, std::string(6000, 'z'));
    b.SendTo(kLoopback, port, "again b");
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.datagrams.size() >= 4; }));
    t.Stop();
    ASSERT_EQ(r.datagrams.size(), 4u);
    EXPECT_EQ(r.datagrams[0].text, "from a");
    EXPECT_EQ(r.datagrams[0].port, a.port);
    EXPECT_EQ(r.datagrams[0].address, kLoopback);
    EXPECT_EQ(r.datagrams[1].text, "from b");
    EXPECT_EQ(r.datagrams[1].port, b.port);
    EXPECT_EQ(r.datagrams[2].text, std::string(256 + 4096, 'z'));
    EXPECT_EQ(r.datagrams[2].port, a.port);
    EXPECT_EQ(r.datagrams[3].text, "again b");
}

// Sockets replaced while the chain runs, the way an address change rebuilds the SSDP ones:
// the old one is taken out of the chain and a new one made on the chain thread. Old records,
// timers and monitors must all go (ASan and LeakSanitizer check the chain's end).
struct Rebuild {
    Record* record;
    OlvChain* chain;
    OlvAsyncSocket* socket;
    std::atomic<std::uint16_t> port{0};
};

void RebuildFired(void* data) noexcept
{
    auto* rebuild = static_cast<Rebuild*>(data);
    OlvChain_DeferRemove(rebuild->chain, rebuild->socket);
    rebuild->socket = OlvAsyncUDPSocket_Create(rebuild->chain, &g_random, 256, kLoopback, 50000,
                                               65000, 0, OnData, nullptr, rebuild->record);
    rebuild->port = rebuild->socket != nullptr ? tv::UdpSocketPort(rebuild->socket) : 0;
}

TEST(OlvAsyncUDPSocket, ReplacedWhileTheChainRuns)
{
    Record r;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    Rebuild rebuild{&r, chain, nullptr};
    rebuild.socket = OlvAsyncUDPSocket_Create(chain, &g_random, 256, kLoopback, 50000, 65000, 0,
                                              OnData, nullptr, &r);
    ASSERT_NE(rebuild.socket, nullptr);
    rebuild.port = tv::UdpSocketPort(rebuild.socket);
    ChainThread t(chain);
    t.Start();
    Sender sender;
    for (std::size_t round = 1; round <= 3; ++round) {
        std::uint16_t old_port = rebuild.port.load();
        sender.SendTo(kLoopback, old_port, "round " + std::to_string(round));
        ASSERT_TRUE(r.signal.WaitFor([&] { return r.datagrams.size() == round; }));
        rebuild.port = 0;
        OlvLifeTime_Add(tv::ChainTimer(chain), &rebuild, 0, RebuildFired, nullptr);
        ASSERT_TRUE(tv::test::WaitUntil([&] { return rebuild.port.load() != 0; }));
        ASSERT_NE(rebuild.port.load(), old_port);
    }
    sender.SendTo(kLoopback, rebuild.port.load(), "last");
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.datagrams.size() == 4; }));
    t.Stop();
    EXPECT_EQ(r.datagrams.back().text, "last");
}

TEST(OlvAsyncUDPSocket, SendToDestinationAndAddressText)
{
    Record r;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* s = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, 50000, 65000, 0,
                                                 OnData, nullptr, &r);
    ASSERT_NE(s, nullptr);
    Sender peer;
    timeval tv{5, 0};
    ::setsockopt(peer.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ChainThread t(chain);
    t.Start();
    EXPECT_EQ(OlvAsyncSocket_Send(s, "hello", 5, kLoopback, peer.port, OwnStatic), SendAllSent);
    char buf[16] = {};
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(::recvfrom(peer.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(ntohs(from.sin_port), tv::UdpSocketPort(s));
    t.Stop();
    EXPECT_STREQ(OlvAddressToText(kLoopback), "127.0.0.1");
}

// Also: with IP_PKTINFO on, each datagram tells where it arrived (the group, the local address
// a reply comes from, the interface), whichever socket on the port reads it.
TEST(OlvAsyncUDPSocket, JoinGroupReceivesMulticastAndReportsTheInterface)
{
    const char* netns = std::getenv("TV_NETNS");
    if (netns == nullptr || std::string(netns) != "1")
        GTEST_SKIP() << "multicast only inside the private namespace (scripts/netns.sh)";
    Record r;
    const std::uint32_t group = inet_addr("239.255.255.250");
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* s = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, htonl(INADDR_ANY), 50000,
                                                 65000, 1, OnData, nullptr, &r);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(OlvAsyncUDPSocket_JoinGroup(s, group, kLoopback), 0);
    EXPECT_EQ(OlvAsyncSocket_GetLocalAddress(s), kLoopback);
    EXPECT_NE(OlvAsyncUDPSocket_JoinGroup(s, kLoopback, kLoopback), 0);  // not a group
    // A failed join clears the override; the membership made before stays.
    EXPECT_NE(OlvAsyncSocket_GetLocalAddress(s), kLoopback);
    std::uint16_t port = tv::UdpSocketPort(s);
    int on = 1;
    ASSERT_EQ(::setsockopt(*OlvAsyncSocket_GetHandle(s), IPPROTO_IP, IP_PKTINFO, &on, sizeof on),
              0);
    OlvAsyncSocket* out = OlvAsyncUDPSocket_Create(chain, &g_random, 2048, kLoopback, 50000, 65000,
                                                   0, OnData, nullptr, nullptr);
    ASSERT_NE(out, nullptr);
    OlvAsyncUDPSocket_SetMulticastInterface(out, kLoopback);
    OlvAsyncUDPSocket_SetMulticastTtl(out, 4);
    std::uint16_t out_port = tv::UdpSocketPort(out);
    ChainThread t(chain);
    t.Start();
    EXPECT_EQ(OlvAsyncSocket_Send(out, "group hello", 11, group, port, OwnStatic), SendAllSent);
    ASSERT_TRUE(r.signal.WaitFor([&] { return r.datagrams.size() == 1; }));
    t.Stop();
    EXPECT_EQ(r.datagrams[0].text, "group hello");
    EXPECT_EQ(r.datagrams[0].port, out_port);
    EXPECT_EQ(r.datagrams[0].arrival.destination, group);
    EXPECT_EQ(r.datagrams[0].arrival.local_address, kLoopback);
    EXPECT_EQ(r.datagrams[0].arrival.interface_index, static_cast<int>(if_nametoindex("lo")));
}

}  // namespace
