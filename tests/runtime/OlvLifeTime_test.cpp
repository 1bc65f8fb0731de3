#include "runtime/OlvLifeTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/OlvChain.h"
#include "support/ChainRunner.h"

namespace {

using tv::test::ChainRunner;
using tv::test::HangGuard;
using tv::test::Probe;
using tv::test::ThreadedChain;
using tv::test::WaitUntil;

// A monitor on a scripted clock: before turn i the clock reads clock[i-1]. A watcher after the
// monitor records the sleep it asked for, then makes every turn a poll so that the script does
// not wait in real time.
struct Script {
    std::vector<std::uint32_t> clock;
    std::vector<int> block_ms;
    std::vector<std::pair<int, int>> events;  // (turn, +id fired / -id destroyed)
    int turn = 0;
    OlvLifeTime* monitor = nullptr;
};

Script* g_script = nullptr;
std::atomic<std::uint32_t> g_now{0};

std::uint32_t FakeClock() noexcept
{
    return g_now.load();
}

struct Tag {
    int id = 0;
    void* remove_on_fire = nullptr;
    Tag* add_on_fire = nullptr;
    Tag* hand_off_on_fire = nullptr;
};

void Fire(void* data) noexcept
{
    auto* tag = static_cast<Tag*>(data);
    g_script->events.emplace_back(g_script->turn, tag->id);
    if (tag->remove_on_fire != nullptr) OlvLifeTime_Remove(g_script->monitor, tag->remove_on_fire);
    if (tag->add_on_fire != nullptr)
        OlvLifeTime_Add(g_script->monitor, tag->add_on_fire, 0, Fire, nullptr);
    if (tag->hand_off_on_fire != nullptr)
        tv::LifeTimeAddNextTurn(g_script->monitor, tag->hand_off_on_fire, Fire, nullptr);
}

void Cancelled(void* data) noexcept
{
    g_script->events.emplace_back(g_script->turn, -static_cast<Tag*>(data)->id);
}

void Add(Tag* tag, int delay_ms)
{
    OlvLifeTime_Add(g_script->monitor, tag, delay_ms, Fire, Cancelled);
}

using Events = std::vector<std::pair<int, int>>;

// Runs the script; `setup` adds timers with the clock at its first value.
void RunScript(Script& script, const std::function<void(ChainRunner&)>& setup)
{
    g_script = &script;
    Probe driver;
    Probe watcher;
    driver.on_pre = [](Probe*, int turn, fd_set*, int*) {
        g_script->turn = turn;
        g_now = g_script->clock[static_cast<std::size_t>(turn - 1)];
    };
    watcher.on_pre = [](Probe*, int, fd_set*, int* block_ms) {
        g_script->block_ms.push_back(*block_ms);
        *block_ms = 0;
    };
    watcher.on_post = [](Probe* self, int turn, int, fd_set*) {
        if (static_cast<std::size_t>(turn) == g_script->clock.size()) OlvChain_Stop(self->chain);
    };
    ChainRunner runner;
    runner.AddProbe(&driver);
    script.monitor = OlvLifeTime_Create(runner.chain());
    tv::LifeTimeSetClock(script.monitor, FakeClock);
    runner.AddProbe(&watcher);
    g_now = script.clock.front();
    setup(runner);
    EXPECT_TRUE(runner.Run());
    g_script = nullptr;
}

TEST(OlvLifeTime, FiresOnlyOnceTheClockHasPassedTheExpiryInExpiryOrder)
{
    Script script;
    script.clock = {1000, 1000, 1001, 1010, 1011, 1100};
    Tag a{1}, b{2}, c{3}, d{4};
    RunScript(script, [&](ChainRunner&) {
        Add(&a, 30);
        Add(&b, 10);
        Add(&c, 20);
        Add(&d, 0);
    });
    // A timer due exactly now waits (the turn polls) until the clock moves on.
    EXPECT_EQ(script.events, (Events{{3, 4}, {5, 2}, {6, 3}, {6, 1}}));
    ASSERT_GE(script.block_ms.size(), 5u);
    EXPECT_EQ(script.block_ms[0], 0);
    EXPECT_EQ(script.block_ms[1], 0);
    EXPECT_EQ(script.block_ms[2], 9);
    EXPECT_EQ(script.block_ms[3], 0);
    EXPECT_EQ(script.block_ms[4], 9);
}

TEST(OlvLifeTime, EqualExpiryFiresNewestFirstAndRemovalNeverReachesLaterTimers)
{
    Script script;
    script.clock = {5000, 5006, 5007};
    Tag a{1}, b{2}, c{3}, d{4}, e{5};
    RunScript(script, [&](ChainRunner&) {
        Add(&a, 5);
        Add(&b, 5);
        Add(&c, 5);
        Add(&d, 5);
        OlvLifeTime_Remove(script.monitor, &d);
        // Cancelled on the calling thread, before Remove returns.
        EXPECT_EQ(script.events, (Events{{0, -4}}));
        // Removing what is not scheduled leaves nothing behind for a later timer.
        OlvLifeTime_Remove(script.monitor, &e);
        Add(&e, 6);
    });
    EXPECT_EQ(script.events, (Events{{0, -4}, {2, 3}, {2, 2}, {2, 1}, {3, 5}}));
}

TEST(OlvLifeTime, CallbacksMayRemoveAndAddTimersOfTheSameTurn)
{
    Script script;
    script.clock = {100, 200, 201, 202};
    Tag a{1}, b{2}, f{6}, g{7}, h{8};
    // a and b are due in the same turn and are the only timers: a's removal of b must still
    // reach b, which was already taken aside for firing.
    a.remove_on_fire = &b;
    a.add_on_fire = &f;
    // g removes h, which is not due yet.
    g.remove_on_fire = &h;
    RunScript(script, [&](ChainRunner&) {
        Add(&a, 1);
        Add(&b, 2);
    });
    EXPECT_EQ(script.events, (Events{{2, 1}, {2, -2}, {3, 6}}));

    Script second;
    second.clock = {0, 10, 11};
    RunScript(second, [&](ChainRunner&) {
        Add(&g, 5);
        Add(&h, 50);
    });
    EXPECT_EQ(second.events, (Events{{2, 7}, {2, -8}}));
}

TEST(OlvLifeTime, HandOffsFireAtTheNextCheckInOrderWhileTheClockStandsStill)
{
    Script script;
    script.clock = {1000, 1000, 1000, 1001};
    Tag a{1}, b{2}, c{3}, d{4}, e{5};
    a.hand_off_on_fire = &e;  // added while firing: the next turn, not this one
    RunScript(script, [&](ChainRunner&) {
        Add(&d, 0);
        tv::LifeTimeAddNextTurn(script.monitor, &a, Fire, Cancelled);
        tv::LifeTimeAddNextTurn(script.monitor, &b, Fire, Cancelled);
        tv::LifeTimeAddNextTurn(script.monitor, &c, Fire, Cancelled);
        OlvLifeTime_Remove(script.monitor, &c);
    });
    // The 0 ms timer still waits for the clock to move on.
    EXPECT_EQ(script.events, (Events{{0, -3}, {1, 1}, {1, 2}, {2, 5}, {4, 4}}));

    // At the clock's zero, and cancelled by the chain's end like any timer.
    Script second;
    second.clock = {0, 0};
    RunScript(second, [&](ChainRunner&) {
        tv::LifeTimeAddNextTurn(second.monitor, &a, Fire, Cancelled);
        Add(&b, 100);
    });
    EXPECT_EQ(second.events, (Events{{1, 1}, {2, 5}, {2, -2}}));
}

TEST(OlvLifeTime, ChainEndAndFlushCallDestroyNotCallback)
{
    Script script;
    script.clock = {0, 1};
    Tag a{1}, b{2}, c{3}, x{9};
    RunScript(script, [&](ChainRunner& runner) {
        Add(&a, 100000);
        OlvLifeTime_Add(script.monitor, &b, 200000, Fire, nullptr);  // no destroy: nothing runs
        OlvLifeTime_Add(runner.timer(), &c, 1000000, Fire, Cancelled);
        Add(&x, 1);
        OlvLifeTime_Flush(script.monitor);
        // In list order: earliest expiry first.
        EXPECT_EQ(script.events, (Events{{0, -9}, {0, -1}}));
        Add(&a, 100000);
    });
    // The chain's own monitor is its first object, so it is flushed first.
    EXPECT_EQ(script.events, (Events{{0, -9}, {0, -1}, {2, -3}, {2, -1}}));
}

TEST(OlvLifeTime, ClockWrapKeepsTimersInOrderAndOnTime)
{
    Script script;
    script.clock = {0xFFFFFF00u, 0xFFFFFF11u, 0x50u, 0x101u};
    Tag a{1}, b{2};
    RunScript(script, [&](ChainRunner&) {
        Add(&a, 0x200);  // expires at 0x100, past the wrap
        Add(&b, 0x10);
    });
    EXPECT_EQ(script.events, (Events{{2, 2}, {4, 1}}));
    ASSERT_GE(script.block_ms.size(), 3u);
    EXPECT_EQ(script.block_ms[0], 0x10);
    EXPECT_EQ(script.block_ms[1], 0x100 + 0x100 - 0x11);
    EXPECT_EQ(script.block_ms[2], 0x100 - 0x50);
}

TEST(OlvLifeTime, AddFromAnotherThreadWakesASleepingChain)
{
    HangGuard guard("AddFromAnotherThreadWakesASleepingChain");
    Probe probe;
    probe.cap_block_ms = 10000;  // a lost wake would show as a 10 s sleep
    ThreadedChain chain;
    chain.AddProbe(&probe);
    chain.Start();
    ASSERT_TRUE(WaitUntil([&] { return probe.pre.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    static std::atomic<int> fired;
    fired = 0;
    OlvLifeTime_Add(
        tv::ChainTimer(chain.chain()), &fired, 1,
        [](void* data) noexcept { ++*static_cast<std::atomic<int>*>(data); }, nullptr);
    EXPECT_TRUE(WaitUntil([] { return fired.load() == 1; }, std::chrono::seconds(3)));
    chain.StopAndJoin();
}

struct Counted {
    std::atomic<int> fired{0};
    std::atomic<int> destroyed{0};
};

TEST(OlvLifeTime, ConcurrentAddAndRemoveEndEachTimerExactlyOnce)
{
    HangGuard guard("ConcurrentAddAndRemoveEndEachTimerExactlyOnce");
    constexpr int kPerThread = 400;
    static Counted counted[2][kPerThread];
    for (auto& side : counted)
        for (Counted& c : side) c.fired = c.destroyed = 0;
    ThreadedChain chain;
    OlvLifeTime* monitor = tv::ChainTimer(chain.chain());
    chain.Start();

    auto work = [monitor](int side) {
        for (int i = 0; i < kPerThread; ++i) {
            OlvLifeTime_Add(
                monitor, &counted[side][i], i % 4,
                [](void* data) noexcept { ++static_cast<Counted*>(data)->fired; },
                [](void* data) noexcept { ++static_cast<Counted*>(data)->destroyed; });
            if (i % 2 == 1) OlvLifeTime_Remove(monitor, &counted[side][i - 1]);
        }
    };
    std::thread first(work, 0);
    std::thread second(work, 1);
    first.join();
    second.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    chain.StopAndJoin();

    int fired = 0;
    for (auto& side : counted) {
        for (Counted& c : side) {
            EXPECT_EQ(c.fired.load() + c.destroyed.load(), 1);
            fired += c.fired.load();
        }
    }
    EXPECT_GT(fired, 0);
}

}  // namespace
