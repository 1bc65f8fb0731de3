#include "runtime/OlvChain.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "runtime/OlvLifeTime.h"
#include "support/ChainRunner.h"

namespace {

using tv::test::ChainRunner;
using tv::test::HangGuard;
using tv::test::Probe;
using tv::test::ThreadedChain;
using tv::test::WaitUntil;

constexpr int kOneDayMs = 86400 * 1000;

TEST(OlvChain, WakeFromAnotherThreadEndsADaySleepAtOnce)
{
    HangGuard guard("WakeFromAnotherThreadEndsADaySleepAtOnce");
    Probe probe;
    // A lost wake shows as a 10 s sleep, which the waits below do not allow for.
    probe.cap_block_ms = 10000;
    ThreadedChain chain;
    chain.AddProbe(&probe);
    chain.Start();

    ASSERT_TRUE(WaitUntil([&] { return probe.pre.load() == 1; }));
    // With no timers the chain means to sleep a whole day.
    EXPECT_EQ(probe.first_block_ms.load(), kOneDayMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it enter select()
    EXPECT_EQ(probe.post.load(), 0);

    OlvChain_Wake(chain.chain());
    ASSERT_TRUE(WaitUntil([&] { return probe.post.load() == 1; }, std::chrono::seconds(3)));
    EXPECT_EQ(probe.last_result.load(), 0) << "the wake itself is not a ready descriptor";

    ASSERT_TRUE(WaitUntil([&] { return probe.pre.load() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    OlvChain_Stop(chain.chain());
    ASSERT_TRUE(WaitUntil([&] { return chain.Ended(); }, std::chrono::seconds(3)));
    chain.StopAndJoin();
    EXPECT_EQ(probe.post.load(), 2);
    EXPECT_EQ(probe.destroyed.load(), 1);
}

TEST(OlvChain, WakeBeforeTheWaitTurnsItIntoAPoll)
{
    Probe probe;
    probe.on_pre = [](Probe* self, int, fd_set*, int*) {
        // Inside pre_select, before this turn's select(): a lost wake would sleep until the
        // watchdog.
        OlvChain_Wake(self->chain);
    };
    probe.on_post = [](Probe* self, int turn, int result, fd_set*) {
        EXPECT_EQ(result, 0) << "turn " << turn;
        if (turn == 3) OlvChain_Stop(self->chain);
    };
    ChainRunner runner;
    runner.AddProbe(&probe);
    // A wake made before the chain runs counts for its first wait as well.
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run(20000));
    EXPECT_EQ(probe.post.load(), 3);
}

TEST(OlvChain, PreSelectHooksSetTheSleepTogether)
{
    Probe lower;
    Probe after;
    Probe poller;
    lower.on_pre = [](Probe*, int, fd_set*, int* block_ms) { *block_ms = 700; };
    poller.on_pre = [](Probe*, int turn, fd_set*, int* block_ms) {
        if (turn <= 3) *block_ms = 0;
    };
    poller.on_post = [](Probe* self, int turn, int, fd_set*) {
        if (turn == 3) OlvChain_Stop(self->chain);
    };
    ChainRunner runner;
    runner.AddProbe(&lower);
    runner.AddProbe(&after);
    runner.AddProbe(&poller);
    // Three polls in a row end well before the 700 ms sleep, let alone the watchdog.
    EXPECT_TRUE(runner.Run(60000));
    EXPECT_EQ(after.first_block_ms.load(), 700) << "a later hook sees the lowered sleep";
    EXPECT_EQ(poller.post.load(), 3);
}

TEST(OlvChain, StopDuringATurnFinishesItThenDestroysEveryObjectOnceInOrder)
{
    std::vector<int> order;
    Probe first;
    Probe second;
    Probe third;
    first.id = 1;
    second.id = 2;
    third.id = 3;
    for (Probe* probe : {&first, &second, &third}) probe->destroy_order = &order;
    first.on_pre = [](Probe* self, int turn, fd_set*, int*) {
        if (turn == 2) OlvChain_Stop(self->chain);
    };
    second.on_post = [](Probe* self, int turn, int, fd_set*) {
        // Removals requested after the stop are left to the chain's end.
        if (turn == 2) OlvChain_DeferRemove(self->chain, self->user);
    };
    ChainRunner runner;
    runner.AddProbe(&first);
    runner.AddProbe(&second);
    tv::test::ProbeObject* third_object = tv::test::NewProbeObject(&third);
    third.chain = runner.chain();
    runner.Add(third_object);
    second.user = third_object;
    // Turn 1 is a poll, so the stop comes in turn 2.
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run());

    for (Probe* probe : {&first, &second, &third}) {
        EXPECT_EQ(probe->pre.load(), 2) << probe->id;
        EXPECT_EQ(probe->post.load(), 2) << probe->id << ": the stopping turn still ends";
        EXPECT_EQ(probe->destroyed.load(), 1) << probe->id;
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(OlvChain, StopFromAnotherThreadRacesTeardownSafely)
{
    HangGuard guard("StopFromAnotherThreadRacesTeardownSafely");
    // The chain may see the flag, tear down and free itself while Stop is still at work.
    for (int round = 0; round < 200; ++round) {
        OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
        std::thread runner([chain] { OlvChain_Run(chain); });
        OlvChain_Stop(chain);
        runner.join();
    }
}

struct DeferAddCase;
DeferAddCase* g_add = nullptr;

struct DeferAddCase {
    std::atomic<int> turn{0};  // the first probe's pre_select count
    Probe first;
    Probe added[3];
};

TEST(OlvChain, DeferredAddFromAnotherThreadJoinsTheSameTurnInOrder)
{
    HangGuard guard("DeferredAddFromAnotherThreadJoinsTheSameTurnInOrder");
    DeferAddCase state;
    g_add = &state;  // reached from capture-less hooks
    DeferAddCase& c = state;
    std::vector<int> order;
    c.first.id = 0;
    c.first.cap_block_ms = 10000;
    c.first.destroy_order = &order;
    c.first.on_pre = [](Probe* self, int, fd_set*, int*) { g_add->turn = self->pre.load(); };
    for (int i = 0; i < 3; ++i) {
        Probe& probe = c.added[i];
        probe.id = i + 1;
        probe.destroy_order = &order;
        probe.on_pre = [](Probe* self, int turn, fd_set*, int*) {
            // Seen in the turn it was added: after the first probe's pre_select, before its
            // post_select.
            if (turn != 1) return;
            self->user = reinterpret_cast<void*>(static_cast<intptr_t>(g_add->turn));
            EXPECT_EQ(g_add->first.post.load() + 1, g_add->turn.load());
        };
        probe.on_post = [](Probe* self, int turn, int, fd_set*) {
            if (turn != 1) return;
            EXPECT_EQ(reinterpret_cast<intptr_t>(self->user), g_add->turn.load())
                << "first post_select in the turn of the first pre_select";
        };
    }

    ThreadedChain chain;
    chain.AddProbe(&c.first);
    chain.Start();
    ASSERT_TRUE(WaitUntil([] { return g_add->first.pre.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (Probe& probe : c.added) {
        probe.chain = chain.chain();
        OlvChain_DeferAdd(chain.chain(), tv::test::NewProbeObject(&probe));
    }
    // The chain sleeps up to 10 s; the request itself must wake it.
    ASSERT_TRUE(WaitUntil([] { return g_add->added[2].pre.load() >= 1; }, std::chrono::seconds(3)));
    // That turn then sleeps again; a wake ends it, and the new objects see its post_select.
    OlvChain_Wake(chain.chain());
    ASSERT_TRUE(
        WaitUntil([] { return g_add->added[2].post.load() >= 1; }, std::chrono::seconds(3)));
    chain.StopAndJoin();

    for (Probe& probe : c.added) EXPECT_EQ(probe.destroyed.load(), 1);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3})) << "added in the order requested";
}

TEST(OlvChain, DeferredRemoveDestroysOnceAndIgnoresWhatIsNotThere)
{
    std::vector<int> order;
    Probe driver;
    Probe removed;
    Probe kept;
    Probe transient;
    driver.id = 1;
    removed.id = 2;
    kept.id = 3;
    transient.id = 4;
    for (Probe* probe : {&driver, &removed, &kept, &transient}) probe->destroy_order = &order;
    struct Targets {
        void* removed;
        void* transient;
        int not_an_object;
    };
    static Targets targets;
    driver.on_post = [](Probe* self, int turn, int, fd_set*) {
        OlvChain* chain = self->chain;
        if (turn == 1) {
            OlvChain_DeferRemove(chain, targets.removed);
            OlvChain_DeferRemove(chain, targets.removed);  // the second finds nothing
            OlvChain_DeferRemove(chain, &targets.not_an_object);
            OlvChain_DeferRemove(chain, tv::ChainTimer(chain));  // never removed
            // Added and removed in one breath: removed, never called.
            OlvChain_DeferAdd(chain, targets.transient);
            OlvChain_DeferRemove(chain, targets.transient);
        }
        if (turn == 2) {
            // The chain's own timer monitor still works.
            OlvLifeTime_Add(
                tv::ChainTimer(chain), chain, 0,
                [](void* data) noexcept { OlvChain_Stop(static_cast<OlvChain*>(data)); }, nullptr);
        }
    };
    ChainRunner runner;
    runner.AddProbe(&driver);
    auto* removed_object = tv::test::NewProbeObject(&removed);
    runner.Add(removed_object);
    runner.AddProbe(&kept);
    targets.removed = removed_object;
    targets.transient = tv::test::NewProbeObject(&transient);
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run());

    EXPECT_EQ(removed.pre.load(), 1);
    EXPECT_EQ(removed.destroyed.load(), 1);
    EXPECT_EQ(transient.pre.load(), 0);
    EXPECT_EQ(transient.destroyed.load(), 1);
    EXPECT_GE(kept.pre.load(), 3);
    EXPECT_EQ(order, (std::vector<int>{2, 4, 1, 3}));
}

TEST(OlvChain, SelectWatchesDescriptorsAboveSixtyFour)
{
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    int high = ::fcntl(pipe_fds[0], F_DUPFD_CLOEXEC, 200);
    ASSERT_GE(high, 200);
    ASSERT_LT(high, FD_SETSIZE);
    ASSERT_EQ(::write(pipe_fds[1], "x", 1), 1);

    static int watched;
    watched = high;
    Probe probe;
    probe.on_pre = [](Probe*, int, fd_set* read_set, int*) {
        EXPECT_TRUE(tv::FdSetAdd(read_set, watched));
    };
    probe.on_post = [](Probe* self, int, int result, fd_set* read_set) {
        if (FD_ISSET(watched, read_set)) {
            EXPECT_EQ(result, 1);
            OlvChain_Stop(self->chain);
        }
    };
    ChainRunner runner;
    runner.AddProbe(&probe);
    EXPECT_TRUE(runner.Run()) << "a descriptor above 63 was never reported ready";
    EXPECT_EQ(probe.post.load(), 1);
    ::close(high);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

TEST(OlvChain, ObjectAddedInsideAHookRunsInTheSameTurn)
{
    Probe parent;
    Probe child;
    static Probe* pending_child;
    pending_child = &child;
    parent.on_pre = [](Probe* self, int turn, fd_set*, int*) {
        if (turn != 1) return;
        pending_child->chain = self->chain;
        OlvChain_Add(self->chain, tv::test::NewProbeObject(pending_child));
    };
    child.on_post = [](Probe* self, int, int, fd_set*) { OlvChain_Stop(self->chain); };
    ChainRunner runner;
    runner.AddProbe(&parent);
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run());
    EXPECT_EQ(parent.pre.load(), 1);
    EXPECT_EQ(child.pre.load(), 1);
    EXPECT_EQ(child.post.load(), 1);
    EXPECT_EQ(child.destroyed.load(), 1);
}

TEST(OlvChain, FailedSelectIsATurnWithNothingReady)
{
    ChainRunner runner;  // first, so that its own descriptor cannot take the closed number
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    static int closed_fd;
    closed_fd = pipe_fds[0];
    Probe probe;
    probe.on_pre = [](Probe*, int turn, fd_set* read_set, int*) {
        if (turn == 1) {
            EXPECT_TRUE(tv::FdSetAdd(read_set, closed_fd));
        }
    };
    probe.on_post = [](Probe* self, int turn, int result, fd_set* read_set) {
        if (turn == 1) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(tv::FdSetCount(read_set), 0);
            OlvChain_Wake(self->chain);
        }
        if (turn == 2) OlvChain_Stop(self->chain);
    };
    runner.AddProbe(&probe);
    EXPECT_TRUE(runner.Run());
    EXPECT_EQ(probe.post.load(), 2) << "the loop goes on after a failed select()";
}

TEST(OlvChain, FdSetAddKeepsTheCapAndTheSetSize)
{
    fd_set set;
    FD_ZERO(&set);
    EXPECT_FALSE(tv::FdSetAdd(&set, -1));
    EXPECT_FALSE(tv::FdSetAdd(&set, FD_SETSIZE));
    EXPECT_FALSE(tv::FdSetAdd(&set, FD_SETSIZE + 5));
    EXPECT_EQ(tv::FdSetCount(&set), 0);
    for (int fd = 0; fd < 64; ++fd) EXPECT_TRUE(tv::FdSetAdd(&set, fd * 3));
    EXPECT_EQ(tv::FdSetCount(&set), 64);
    EXPECT_TRUE(tv::FdSetAdd(&set, 9)) << "already present";
    EXPECT_FALSE(tv::FdSetAdd(&set, 1)) << "a 65th descriptor";
    EXPECT_FALSE(FD_ISSET(1, &set));
    EXPECT_EQ(tv::FdSetCount(&set), 64);
}

struct EndCase;
EndCase* g_end = nullptr;

// End callbacks record their number, destroy hooks 100 + the object's.
struct EndCase {
    std::vector<int> order;
    OlvChain* chain = nullptr;
    int not_ending = 0;  // callbacks and hooks that ran without ChainEnding
};

void RecordEnd(void* user) noexcept
{
    g_end->order.push_back(static_cast<int>(reinterpret_cast<std::intptr_t>(user)));
    if (!tv::ChainEnding(g_end->chain)) ++g_end->not_ending;
}

void* Number(std::intptr_t n)
{
    return reinterpret_cast<void*>(n);
}

struct EndMember {
    tv::ChainHooks hooks;
    int id = 0;
};

void EndMemberDestroy(void* object) noexcept
{
    auto* member = static_cast<EndMember*>(object);
    g_end->order.push_back(100 + member->id);
    if (!tv::ChainEnding(g_end->chain)) ++g_end->not_ending;
    if (member->id == 1) tv::ChainOnEnd(g_end->chain, RecordEnd, Number(5));
    std::destroy_at(member);
}

TEST(OlvChain, EndCallbacksRunBeforeAnyDestroyHookInTheOrderRegistered)
{
    EndCase state;
    g_end = &state;
    ChainRunner runner;
    state.chain = runner.chain();
    for (int id : {1, 2}) {
        auto* member = tv::NewChainObject<EndMember>(
            {.pre_select = nullptr, .post_select = nullptr, .destroy = EndMemberDestroy});
        member->id = id;
        runner.Add(member);
    }
    tv::ChainOnEnd(runner.chain(), RecordEnd, Number(1));
    // One registered by an end callback runs in the same pass, after those before it.
    tv::ChainOnEnd(
        runner.chain(),
        [](void*) noexcept {
            RecordEnd(Number(2));
            tv::ChainOnEnd(g_end->chain, RecordEnd, Number(3));
        },
        nullptr);
    tv::ChainOnEnd(runner.chain(), RecordEnd, Number(4));
    tv::ChainOnEnd(runner.chain(), RecordEnd, Number(6));
    tv::ChainCancelOnEnd(runner.chain(), RecordEnd, Number(4));
    Probe stopper;
    stopper.on_post = [](Probe* self, int, int, fd_set*) {
        EXPECT_FALSE(tv::ChainEnding(self->chain));
        OlvChain_Stop(self->chain);
    };
    runner.AddProbe(&stopper);
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run());
    // 5 comes from the first member's destroy hook: before the second one is destroyed.
    EXPECT_EQ(state.order, (std::vector<int>{1, 2, 6, 3, 101, 5, 102}));
    EXPECT_EQ(state.not_ending, 0);
}

struct SubChainCase;
SubChainCase* g_sub = nullptr;

struct SubChainCase {
    std::vector<int> order;
    Probe driver;
    Probe member[2];
    OlvChain* sub = nullptr;
    OlvChain* dropped = nullptr;
    std::atomic<int> sub_timer_fired{0};
};

TEST(OlvChain, SubChainMergesInOrderAndDropDestroysItsObjects)
{
    SubChainCase state;
    g_sub = &state;  // reached from capture-less hooks
    SubChainCase& c = state;
    c.driver.id = 1;
    c.driver.destroy_order = &c.order;
    for (int i = 0; i < 2; ++i) {
        c.member[i].id = 10 + i;
        c.member[i].destroy_order = &c.order;
    }
    c.driver.on_post = [](Probe* self, int turn, int, fd_set*) {
        if (turn == 1) OlvChain_MergeSubChain(self->chain, g_sub->sub);
        if (turn == 2) {
            // Merged at the start of turn 2, after the driver: both members ran once.
            EXPECT_EQ(g_sub->member[0].pre.load(), 1);
            EXPECT_EQ(g_sub->member[1].pre.load(), 1);
            EXPECT_EQ(g_sub->member[1].post.load(), 0) << "they come after the driver";
            // The sub-chain's own timer monitor now runs on this chain.
            OlvLifeTime_Add(
                tv::ChainTimer(g_sub->sub), g_sub, 0,
                [](void*) noexcept { ++g_sub->sub_timer_fired; }, nullptr);
        }
        if (turn > 2 && g_sub->sub_timer_fired.load() == 1 && g_sub->sub != nullptr) {
            OlvChain_DropSubChain(self->chain, g_sub->sub);
            g_sub->dropped = g_sub->sub;
            g_sub->sub = nullptr;
            self->user = reinterpret_cast<void*>(static_cast<intptr_t>(turn));
        }
        if (g_sub->sub == nullptr && turn == reinterpret_cast<intptr_t>(self->user) + 1) {
            EXPECT_EQ(g_sub->member[0].destroyed.load(), 1);
            EXPECT_EQ(g_sub->member[1].destroyed.load(), 1);
            OlvChain_Stop(self->chain);
        }
    };
    c.driver.on_pre = [](Probe*, int, fd_set*, int* block_ms) { *block_ms = 0; };

    c.sub = OlvChain_Create(OlvLifeTime_Create);
    for (Probe& probe : c.member) {
        probe.chain = c.sub;
        OlvChain_Add(c.sub, tv::test::NewProbeObject(&probe));
    }
    ChainRunner runner;
    runner.AddProbe(&c.driver);
    // A dropped sub-chain ends alone: its end callbacks first, while the main chain runs on.
    tv::ChainOnEnd(
        c.sub,
        [](void*) noexcept {
            g_sub->order.push_back(0);
            EXPECT_TRUE(tv::ChainEnding(g_sub->dropped));
            EXPECT_FALSE(tv::ChainEnding(g_sub->driver.chain));
        },
        nullptr);
    EXPECT_TRUE(runner.Run());
    EXPECT_EQ(c.sub_timer_fired.load(), 1);
    EXPECT_EQ(c.order, (std::vector<int>{0, 10, 11, 1}));
    for (Probe& probe : c.member) {
        EXPECT_EQ(probe.destroyed.load(), 1);
        EXPECT_EQ(probe.pre.load(), probe.post.load());
    }
}

TEST(OlvChain, MergedSubChainStillOwnedWhenTheMainChainEnds)
{
    // Never dropped: the main chain's end destroys the members and frees the sub-chain.
    Probe member;
    OlvChain* sub = OlvChain_Create(OlvLifeTime_Create);
    OlvChain_Add(sub, tv::test::NewProbeObject(&member));
    Probe driver;
    static OlvChain* pending;
    pending = sub;
    driver.on_post = [](Probe* self, int turn, int, fd_set*) {
        if (turn == 1) OlvChain_MergeSubChain(self->chain, pending);
        if (turn == 2) OlvChain_Stop(self->chain);
    };
    ChainRunner runner;
    runner.AddProbe(&driver);
    OlvChain_Wake(runner.chain());
    EXPECT_TRUE(runner.Run());
    EXPECT_EQ(member.pre.load(), 1);
    EXPECT_EQ(member.destroyed.load(), 1);
}

}  // namespace
