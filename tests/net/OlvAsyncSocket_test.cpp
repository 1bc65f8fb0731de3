#include "net/OlvAsyncSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
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
#include "runtime/ServerContext.h"
#include "support/LoopbackClient.h"

namespace {

using tv::test::ChainThread;
using tv::test::LoopbackClient;
using tv::test::Signal;

// A listening socket on 127.0.0.1 with a kernel-chosen port, for one accepted connection.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    Listener() { fd = tv::test::ListenOnLoopback(4, &port); }
    ~Listener() { ::close(fd); }
    int Accept() { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

struct Record {
    Signal signal;
    std::vector<std::string> deliveries;
    int disconnects = 0;
    int interrupts = 0;
    int send_oks = 0;
    int connects_ok = 0;
    int connects_failed = 0;
    // Per-test behaviour of on_data.
    // ResumeThenPause: one line per call; "go" resumes the socket (as an answer completed at
    // once does), "wait" pauses it.
    enum Mode {
        ConsumeLine,
        ConsumeNothingUntilEnd,
        PauseFirst,
        ResumeThenPause,
        ConsumeAll
    } mode = ConsumeAll;
};

void OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
            tv::AsyncSocketInterruptFn*, void** user, int* pause) noexcept
{
    auto* r = static_cast<Record*>(*user);
    std::string text(data, static_cast<std::size_t>(length));
    r->signal.Update([&] {
        r->deliveries.push_back(text);
        switch (r->mode) {
        case Record::ConsumeLine: {
            auto nl = text.find('\n');
            *consumed = nl == std::string::npos ? 0 : static_cast<int>(nl + 1);
            break;
        }
        case Record::ConsumeNothingUntilEnd:
            *consumed = text.find("END") != std::string::npos ? length : 0;
            break;
        case Record::PauseFirst:
            if (r->deliveries.size() == 1) {
                *pause = 1;
                *consumed = 0;
            } else {
                *consumed = length;
            }
            break;
        case Record::ResumeThenPause: {
            auto nl = text.find('\n');
            *consumed = nl == std::string::npos ? 0 : static_cast<int>(nl + 1);
            if (text.starts_with("go\n")) OlvAsyncSocket_Resume(socket);
            if (text.starts_with("wait\n")) *pause = PausePaused;
            break;
        }
        case Record::ConsumeAll:
            *consumed = length;
            break;
        }
    });
}

void OnConnect(OlvAsyncSocket*, tv::ConnectResult result, void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    r->signal.Update([&] {
        (result == tv::ConnectResult::Established ? r->connects_ok : r->connects_failed)++;
    });
}

void OnDisconnect(OlvAsyncSocket*, void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    r->signal.Update([&] { r->disconnects++; });
}

void OnSendOk(OlvAsyncSocket*, void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    r->signal.Update([&] { r->send_oks++; });
}

void OnInterrupt(OlvAsyncSocket*, void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    r->signal.Update([&] { r->interrupts++; });
}

// A chain with one async socket adopted on the server end of a loopback connection.
struct Pair {
    Record record;
    Listener listener;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* socket = nullptr;
    LoopbackClient client{listener.port};
    ChainThread thread{chain};

    explicit Pair(Record::Mode mode, int server_sndbuf = 0)
    {
        record.mode = mode;
        socket = OlvAsyncSocket_Create(chain, 4096, OnData, OnConnect, OnDisconnect, OnSendOk);
        int fd = listener.Accept();
        if (server_sndbuf > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &server_sndbuf, sizeof server_sndbuf);
        OlvAsyncSocket_Adopt(socket, fd, OnInterrupt, &record);
        thread.Start();
    }
    bool WaitDeliveries(std::size_t n)
    {
        return record.signal.WaitFor([&] { return record.deliveries.size() >= n; });
    }
    std::vector<std::string> Deliveries()
    {
        std::scoped_lock lk(record.signal.mutex());
        return record.deliveries;
    }
};

// Runs `fn` on the chain thread and waits for it.
void ChainCall(OlvChain* chain, const std::function<void()>& fn)
{
    struct Call {
        const std::function<void()>* fn;
        std::promise<void> done;
    } call{&fn, {}};
    std::future<void> finished = call.done.get_future();
    tv::LifeTimeAddNextTurn(
        tv::ChainTimer(chain), &call,
        [](void* data) noexcept {
            auto* c = static_cast<Call*>(data);
            (*c->fn)();
            c->done.set_value();
        },
        nullptr);
    finished.wait();
}

TEST(OlvAsyncSocket, TwoMessagesInOneReadAreDeliveredInTurn)
{
    Pair p(Record::ConsumeLine);
    ASSERT_TRUE(p.client.Send("one\ntwo\n"));
    ASSERT_TRUE(p.WaitDeliveries(2));
    auto d = p.Deliveries();
    EXPECT_EQ(d[0], "one\ntwo\n");
    EXPECT_EQ(d[1], "two\n");
}

TEST(OlvAsyncSocket, UnconsumedBytesAreOfferedAgainWithWhatFollows)
{
    Pair p(Record::ConsumeNothingUntilEnd);
    ASSERT_TRUE(p.client.Send("abc"));
    ASSERT_TRUE(p.WaitDeliveries(1));
    ASSERT_TRUE(p.client.Send("defEND"));
    ASSERT_TRUE(p.record.signal.WaitFor(
        [&] { return !p.record.deliveries.empty() && p.record.deliveries.back() == "abcdefEND"; }));
    // A large message that arrives in many reads grows the buffer and still comes whole.
    std::string big(100000, 'x');
    ASSERT_TRUE(p.client.Send(big + "END"));
    ASSERT_TRUE(p.record.signal.WaitFor(
        [&] { return !p.record.deliveries.empty() && p.record.deliveries.back() == big + "END"; }));
}

TEST(OlvAsyncSocket, PauseHoldsDataAndResumeFromAnotherThreadRedeliversFirst)
{
    Pair p(Record::PauseFirst);
    ASSERT_TRUE(p.client.Send("x"));
    ASSERT_TRUE(p.WaitDeliveries(1));
    ASSERT_TRUE(p.client.Send("y"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(p.Deliveries().size(), 1u) << "paused socket must not read";
    std::thread other([&] { OlvAsyncSocket_Resume(p.socket); });
    other.join();
    ASSERT_TRUE(p.record.signal.WaitFor([&] {
        std::string all;
        for (std::size_t i = 1; i < p.record.deliveries.size(); ++i) all += p.record.deliveries[i];
        return all == "xy";
    }));
    auto d = p.Deliveries();
    EXPECT_EQ(d[1], "x") << "buffered data comes again before any new read";

    // A resume asked for by an earlier message of the same read does not undo the pause a
    // later one asks for.
    Pair q(Record::ResumeThenPause);
    ASSERT_TRUE(q.client.Send("go\nwait\nlast\n"));
    ASSERT_TRUE(q.WaitDeliveries(2));
    ChainCall(q.chain, [] {});
    EXPECT_EQ(q.Deliveries().size(), 2u) << "the pause that \"wait\" asked for did not hold";
    OlvAsyncSocket_Resume(q.socket);
    ASSERT_TRUE(q.record.signal.WaitFor([&] { return q.record.deliveries.back() == "last\n"; }));
}

TEST(OlvAsyncSocket, SmallSendBehindQueuedMegabyteKeepsOrderAndDrainsOnce)
{
    Pair p(Record::ConsumeAll, 16384);
    std::string mega(1 << 20, '\0');
    for (std::size_t i = 0; i < mega.size(); ++i) mega[i] = static_cast<char>('a' + i % 26);
    OlvSendResult first = SendClosed, second = SendClosed;
    char* owned = tv::CopyBytes("TRANSFER", 8);
    OlvSendResult third = SendClosed;
    std::thread sender([&] {
        first = OlvAsyncSocket_Send(p.socket, mega.data(), mega.size(), 0, 0, OwnCopy);
        second = OlvAsyncSocket_Send(p.socket, "TEN BYTES!", 10, 0, 0, OwnStatic);
        third = OlvAsyncSocket_Send(p.socket, owned, 8, 0, 0, OwnTransfer);
    });
    sender.join();
    EXPECT_EQ(first, SendQueued);
    EXPECT_EQ(second, SendQueued);
    EXPECT_EQ(third, SendQueued);
    mega.assign(mega.size(), '#');  // OwnCopy: the socket must not read the caller's bytes later
    std::string got = p.client.ReadBytes((1u << 20) + 18);
    ASSERT_EQ(got.size(), (1u << 20) + 18);
    for (std::size_t i = 0; i < (1u << 20); i += 4099)
        ASSERT_EQ(got[i], static_cast<char>('a' + i % 26)) << i;
    EXPECT_EQ(got.substr(1u << 20), "TEN BYTES!TRANSFER");
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.send_oks >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::scoped_lock lk(p.record.signal.mutex());
        EXPECT_EQ(p.record.send_oks, 1);
    }
    EXPECT_EQ(tv::AsyncSocketPendingBytes(p.socket), 0u);
}

TEST(OlvAsyncSocket, PiecesLeaveTogetherAndWhatTheKernelLeavesIsQueuedInOrder)
{
    Pair p(Record::ConsumeAll, 16384);
    const unsigned arming = tv::AsyncSocketArming(p.socket);
    std::string mega(1 << 20, '\0');
    for (std::size_t i = 0; i < mega.size(); ++i) mega[i] = static_cast<char>('a' + i % 26);
    char* owned = tv::CopyBytes("OWNED", 5);
    const tv::SendPiece first[] = {{"HEAD", 4, OwnCopy},
                                   {mega.data(), mega.size(), OwnCopy},
                                   {"|", 1, OwnStatic},
                                   {"", 0, OwnStatic},
                                   {owned, 5, OwnTransfer}};
    OlvSendResult a = SendClosed, b = SendClosed;
    std::thread sender([&] {
        a = tv::AsyncSocketSendPiecesArmed(p.socket, arming, first, 5);
        const tv::SendPiece second[] = {{"TAIL", 4, OwnStatic}};
        b = tv::AsyncSocketSendPiecesArmed(p.socket, arming, second, 1);
    });
    sender.join();
    EXPECT_EQ(a, SendQueued);
    EXPECT_EQ(b, SendQueued);
    mega.assign(mega.size(), '#');  // only the copy may go out
    std::string got = p.client.ReadBytes(4 + (1u << 20) + 1 + 5 + 4);
    ASSERT_EQ(got.size(), 4 + (1u << 20) + 1 + 5 + 4);
    EXPECT_EQ(got.substr(0, 4), "HEAD");
    for (std::size_t i = 0; i < (1u << 20); i += 4099)
        ASSERT_EQ(got[4 + i], static_cast<char>('a' + i % 26)) << i;
    EXPECT_EQ(got.substr(4 + (1u << 20)), "|OWNEDTAIL");
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.send_oks >= 1; }));
    EXPECT_EQ(tv::AsyncSocketPendingBytes(p.socket), 0u);

    // Taken at once now that the queue is empty; a stale arming is refused and frees its data.
    const tv::SendPiece small[] = {{"ab", 2, OwnStatic}, {"cd", 2, OwnCopy}};
    EXPECT_EQ(tv::AsyncSocketSendPiecesArmed(p.socket, arming, small, 2), SendAllSent);
    EXPECT_EQ(p.client.ReadBytes(4), "abcd");
    const tv::SendPiece stale[] = {{tv::CopyBytes("x", 1), 1, OwnTransfer}};
    EXPECT_EQ(tv::AsyncSocketSendPiecesArmed(p.socket, arming + 1, stale, 1), SendClosed);
}

TEST(OlvAsyncSocket, BatchWaitsForItsEndThenLeavesInOrderAndDrainsOnce)
{
    Pair p(Record::ConsumeAll);
    const unsigned arming = tv::AsyncSocketArming(p.socket);
    std::vector<OlvSendResult> results;
    ChainCall(p.chain, [&] {
        tv::AsyncSocketBeginBatch(p.socket);
        results.push_back(OlvAsyncSocket_Send(p.socket, "one,", 4, 0, 0, OwnStatic));
        results.push_back(
            OlvAsyncSocket_Send(p.socket, tv::CopyBytes("two", 3), 3, 0, 0, OwnTransfer));
    });
    EXPECT_EQ(results, std::vector<OlvSendResult>(2, SendQueued));
    p.client.SetTimeout(200);
    EXPECT_EQ(p.client.ReadBytes(1), "") << "nothing leaves before the batch ends";
    p.client.SetTimeout(5000);

    // Past one gathered item, and the rest of a batch in the same chain turn as its end.
    std::string big(200 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 23);
    ChainCall(p.chain, [&] {
        results.push_back(OlvAsyncSocket_Send(p.socket, big.data(), big.size(), 0, 0, OwnCopy));
        big.assign(big.size(), '#');  // gathered as a copy
        results.push_back(OlvAsyncSocket_Send(p.socket, "|end", 4, 0, 0, OwnStatic));
        tv::AsyncSocketEndBatch(p.socket, arming);
    });
    EXPECT_EQ(results, std::vector<OlvSendResult>(4, SendQueued));
    std::string got = p.client.ReadBytes(7 + 200 * 1024 + 4);
    ASSERT_EQ(got.size(), 7 + 200 * 1024 + 4);
    EXPECT_EQ(got.substr(0, 7), "one,two");
    for (std::size_t i = 0; i < 200 * 1024; i += 997)
        ASSERT_EQ(got[7 + i], static_cast<char>('A' + i % 23)) << i;
    EXPECT_EQ(got.substr(7 + 200 * 1024), "|end");
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.send_oks >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::scoped_lock lk(p.record.signal.mutex());
        EXPECT_EQ(p.record.send_oks, 1);
    }
    EXPECT_EQ(tv::AsyncSocketPendingBytes(p.socket), 0u);

    // A batch ended for another arming is dropped; sends after it go out at once.
    ChainCall(p.chain, [&] {
        tv::AsyncSocketBeginBatch(p.socket);
        OlvAsyncSocket_Send(p.socket, "stale", 5, 0, 0, OwnStatic);
        tv::AsyncSocketEndBatch(p.socket, arming + 1);
        results.push_back(OlvAsyncSocket_Send(p.socket, "fresh", 5, 0, 0, OwnStatic));
    });
    EXPECT_EQ(results.back(), SendAllSent);
    EXPECT_EQ(p.client.ReadBytes(5), "fresh");
    EXPECT_EQ(tv::AsyncSocketPendingBytes(p.socket), 0u);
}

TEST(OlvAsyncSocket, PeerCloseAndSendsAfterIt)
{
    Pair p(Record::ConsumeAll);
    p.client.Close();
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.disconnects == 1; }));
    // Closed: refused, and transferred data is freed (the leak checker watches).
    char* owned = tv::CopyBytes("gone", 4);
    EXPECT_EQ(OlvAsyncSocket_Send(p.socket, owned, 4, 0, 0, OwnTransfer), SendClosed);
    EXPECT_EQ(OlvAsyncSocket_Send(nullptr, "x", 1, 0, 0, OwnStatic), SendClosed);
    EXPECT_EQ(OlvAsyncSocket_IsFree(p.socket), 1);
    OlvAsyncSocket_Disconnect(p.socket);  // already free: no second callback
    p.thread.Stop();
    EXPECT_EQ(p.record.disconnects, 1);
    EXPECT_EQ(p.record.interrupts, 0);
}

TEST(OlvAsyncSocket, ChainEndInterruptsAnOpenSocketWithoutDisconnect)
{
    Pair p(Record::ConsumeAll);
    ASSERT_TRUE(p.client.Send("hello"));
    ASSERT_TRUE(p.WaitDeliveries(1));
    p.thread.Stop();
    EXPECT_EQ(p.record.interrupts, 1);
    EXPECT_EQ(p.record.disconnects, 0);
    EXPECT_TRUE(p.client.WaitClosed());
}

// A socket taken out of a running chain must leave nothing on its monitors that the rest of
// the run or the chain's end could fire into the freed record (ASan checks the latter).
TEST(OlvAsyncSocket, RemovedFromARunningChainLeavesNothingBehind)
{
    Pair p(Record::ConsumeAll);
    ASSERT_TRUE(p.client.Send("hello"));
    ASSERT_TRUE(p.WaitDeliveries(1));
    OlvChain_DeferRemove(p.chain, p.socket);
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.interrupts == 1; }));
    EXPECT_TRUE(p.client.WaitClosed());
    // Let the chain run a few turns with the socket gone, then end it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.thread.Stop();
    EXPECT_EQ(p.record.interrupts, 1);
    EXPECT_EQ(p.record.disconnects, 0);
}

TEST(OlvAsyncSocket, DisconnectFromAnotherThreadReportsOnce)
{
    Pair p(Record::ConsumeAll);
    std::thread other([&] { OlvAsyncSocket_Disconnect(p.socket); });
    other.join();
    ASSERT_TRUE(p.record.signal.WaitFor([&] { return p.record.disconnects == 1; }));
    EXPECT_TRUE(p.client.WaitClosed());
}

TEST(OlvAsyncSocket, ConnectReportsSuccessAndRefusalWithoutWaitingForTheTimeout)
{
    Record record;
    Listener listener;
    tv::test::HeldPort dead;  // nothing listens on it
    const std::uint16_t dead_port = dead.port();

    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvAsyncSocket* good =
        OlvAsyncSocket_Create(chain, 4096, OnData, OnConnect, OnDisconnect, OnSendOk);
    OlvAsyncSocket* bad =
        OlvAsyncSocket_Create(chain, 4096, OnData, OnConnect, OnDisconnect, OnSendOk);
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    tv::RandomSource random;
    OlvAsyncSocket_ConnectTo(good, &random, loopback, loopback, listener.port, OnInterrupt,
                             &record);
    OlvAsyncSocket_ConnectTo(bad, &random, loopback, loopback, dead_port, OnInterrupt, &record);
    // Queued before the connect completes; goes out once it does.
    EXPECT_EQ(OlvAsyncSocket_Send(good, "early", 5, 0, 0, OwnStatic), SendQueued);
    ChainThread thread(chain);
    auto started = std::chrono::steady_clock::now();
    thread.Start();
    ASSERT_TRUE(record.signal.WaitFor(
        [&] { return record.connects_ok == 1 && record.connects_failed == 1; }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    int accepted = listener.Accept();
    ASSERT_GE(accepted, 0);
    char buf[8] = {};
    timeval tv{5, 0};
    ::setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(::recv(accepted, buf, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(buf, 5), "early");
    EXPECT_EQ(OlvAsyncSocket_IsFree(bad), 1);
    EXPECT_NE(OlvAsyncSocket_GetLocalAddress(good), 0u);
    ::close(accepted);
    thread.Stop();
}

}  // namespace
