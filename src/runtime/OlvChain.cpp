// The event chain: one select() per turn over every chained object, on the thread that calls
// OlvChain_Run. Other threads reach it only through Wake, Stop and the deferred operations,
// which go through one process-wide lock; the object list itself belongs to the chain thread.
// An eventfd that never leaves the read set carries the wakes.
#include "runtime/OlvChain.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kDefaultBlockMs = 86400 * 1000;  // one day
constexpr int kMaxDescriptorsPerSet = 64;

struct ChainLink {
    void* object = nullptr;
    ChainLink* next = nullptr;
};

enum class DeferKind { Add, Remove, Merge, Drop };

struct Deferred {
    DeferKind kind = DeferKind::Add;
    void* object = nullptr;  // the chained object, or the sub-chain for Merge and Drop
    Deferred* next = nullptr;
};

struct EndCallback {
    tv::ChainEndFn fn = nullptr;
    void* user = nullptr;
    EndCallback* next = nullptr;
};

// Guards every chain's wake descriptor, merge target and deferred requests, and makes
// Stop's flag-and-wake one step that teardown can wait out before the record is freed.
std::mutex& SharedLock() noexcept
{
    static std::mutex lock;
    return lock;
}

}  // namespace

struct OlvChain {
    std::atomic<int> stop_requested{0};
    std::atomic<bool> ending{false};  // the end has begun (tv::ChainEnding)
    OlvLifeTime* timer = nullptr;
    // Chain thread only:
    ChainLink* head = nullptr;
    ChainLink* tail = nullptr;
    EndCallback* ends = nullptr;  // not run yet, in the order registered
    EndCallback* ends_tail = nullptr;
    OlvChain* merged = nullptr;  // sub-chains merged into this one, owned by it
    OlvChain* next_merged = nullptr;
    // Written under SharedLock(); read without it only to follow a merged sub-chain.
    std::atomic<OlvChain*> merged_into{nullptr};
    // Guarded by SharedLock():
    int wake_fd = -1;
    Deferred* deferred_head = nullptr;
    Deferred* deferred_tail = nullptr;
};

namespace {

const tv::ChainHooks& HooksOf(void* object) noexcept
{
    return *static_cast<const tv::ChainHooks*>(object);
}

void DestroyObject(void* object) noexcept
{
    tv::DestroyFn destroy = HooksOf(object).destroy;
    if (destroy != nullptr) destroy(object);
    ::operator delete(object);
}

// Where requests for `chain` go: a merged sub-chain forwards to the chain it joined.
OlvChain* TargetLocked(OlvChain* chain) noexcept
{
    while (chain->merged_into.load() != nullptr) chain = chain->merged_into.load();
    return chain;
}

void WakeLocked(OlvChain* chain) noexcept
{
    if (chain->wake_fd < 0) return;
    std::uint64_t one = 1;
    // Only fails when the counter is already huge, and then the chain is awake anyway.
    [[maybe_unused]] ssize_t written = ::write(chain->wake_fd, &one, sizeof one);
}

// The chain's lists are singly linked and kept by their head and tail.
template <class Node>
void AppendNode(Node*& head, Node*& tail, Node* node) noexcept
{
    if (tail != nullptr)
        tail->next = node;
    else
        head = node;
    tail = node;
}

void Append(ChainLink*& head, ChainLink*& tail, void* object) noexcept
{
    AppendNode(head, tail, new ChainLink{object, nullptr});
}

// Unlinks the first link holding `object`; true when there was one.
bool Unlink(ChainLink*& head, ChainLink*& tail, void* object) noexcept
{
    ChainLink* prev = nullptr;
    for (ChainLink* link = head; link != nullptr; prev = link, link = link->next) {
        if (link->object != object) continue;
        if (prev != nullptr)
            prev->next = link->next;
        else
            head = link->next;
        if (tail == link) tail = prev;
        delete link;
        return true;
    }
    return false;
}

void FreeLinks(ChainLink*& head, ChainLink*& tail) noexcept
{
    while (head != nullptr) {
        ChainLink* next = head->next;
        delete head;
        head = next;
    }
    tail = nullptr;
}

// Shared lock held. Appends a request to the chain that runs `target` and wakes it.
void EnqueueLocked(OlvChain* target, DeferKind kind, void* object) noexcept
{
    AppendNode(target->deferred_head, target->deferred_tail, new Deferred{kind, object, nullptr});
    WakeLocked(target);
}

void Defer(OlvChain* chain, DeferKind kind, void* object, bool unless_stopped) noexcept
{
    std::scoped_lock lock(SharedLock());
    OlvChain* target = TargetLocked(chain);
    if (unless_stopped && target->stop_requested.load() != 0) return;
    EnqueueLocked(target, kind, object);
}

Deferred* TakeDeferred(OlvChain* chain) noexcept
{
    std::scoped_lock lock(SharedLock());
    Deferred* taken = chain->deferred_head;
    chain->deferred_head = nullptr;
    chain->deferred_tail = nullptr;
    return taken;
}

// Frees a chain record whose objects have all been destroyed or handed on.
void FreeChainRecord(OlvChain* chain) noexcept
{
    Deferred* left;
    {
        std::scoped_lock lock(SharedLock());
        if (chain->wake_fd >= 0) ::close(chain->wake_fd);
        chain->wake_fd = -1;
        left = chain->deferred_head;
        chain->deferred_head = chain->deferred_tail = nullptr;
    }
    while (left != nullptr) {
        Deferred* next = left->next;
        delete left;
        left = next;
    }
    while (chain->ends != nullptr) {
        EndCallback* next = chain->ends->next;
        delete chain->ends;
        chain->ends = next;
    }
    FreeLinks(chain->head, chain->tail);
    delete chain;
}

// Runs the end callbacks not run yet, in order; one registered meanwhile runs in turn.
void RunEndCallbacks(OlvChain* chain) noexcept
{
    while (chain->ends != nullptr) {
        EndCallback* first = chain->ends;
        chain->ends = first->next;
        if (chain->ends == nullptr) chain->ends_tail = nullptr;
        tv::ChainEndFn fn = first->fn;
        void* user = first->user;
        delete first;
        fn(user);
    }
}

// The chain's own, then those of the sub-chains that joined it.
void RunAllEndCallbacks(OlvChain* chain) noexcept
{
    RunEndCallbacks(chain);
    for (OlvChain* sub = chain->merged; sub != nullptr; sub = sub->next_merged)
        RunEndCallbacks(sub);
}

// An object removed on its own must not be found again by a later drop of the sub-chain it
// came from: its address may by then belong to a new object.
void ForgetInSubChains(OlvChain* chain, void* object) noexcept
{
    for (OlvChain* sub = chain->merged; sub != nullptr; sub = sub->next_merged) {
        while (Unlink(sub->head, sub->tail, object)) {
        }
    }
}

void ForgetMerged(OlvChain* chain, OlvChain* sub) noexcept
{
    for (OlvChain** at = &chain->merged; *at != nullptr; at = &(*at)->next_merged) {
        if (*at != sub) continue;
        *at = sub->next_merged;
        return;
    }
}

void ApplyDeferred(OlvChain* chain, Deferred* request) noexcept;

// Requests made on a sub-chain before it was merged apply to the sub-chain's own list.
void SettleSubChain(OlvChain* sub) noexcept
{
    Deferred* request = TakeDeferred(sub);
    while (request != nullptr) {
        Deferred* next = request->next;
        ApplyDeferred(sub, request);
        delete request;
        request = next;
    }
}

// The sub-chain's record stays with this chain until it is dropped or this chain ends.
void MergeNow(OlvChain* chain, OlvChain* sub) noexcept
{
    SettleSubChain(sub);
    for (ChainLink* link = sub->head; link != nullptr; link = link->next)
        Append(chain->head, chain->tail, link->object);
    sub->next_merged = chain->merged;
    chain->merged = sub;
}

// The sub-chain ends alone, by the same steps as a chain's end.
void DropNow(OlvChain* chain, OlvChain* sub) noexcept
{
    SettleSubChain(sub);
    sub->ending.store(true);
    // The objects belong to the sub-chain whether or not they ever reached this one.
    for (;;) {
        RunEndCallbacks(sub);
        if (sub->head == nullptr) break;
        void* object = sub->head->object;
        Unlink(sub->head, sub->tail, object);
        Unlink(chain->head, chain->tail, object);
        DestroyObject(object);
    }
    ForgetMerged(chain, sub);
    FreeChainRecord(sub);
}

void ApplyDeferred(OlvChain* chain, Deferred* request) noexcept
{
    switch (request->kind) {
    case DeferKind::Add:
        Append(chain->head, chain->tail, request->object);
        break;
    case DeferKind::Remove:
        if (request->object == chain->timer) break;
        if (!Unlink(chain->head, chain->tail, request->object)) break;
        ForgetInSubChains(chain, request->object);
        DestroyObject(request->object);
        break;
    case DeferKind::Merge:
        MergeNow(chain, static_cast<OlvChain*>(request->object));
        break;
    case DeferKind::Drop:
        DropNow(chain, static_cast<OlvChain*>(request->object));
        break;
    }
}

// Carries out the requests in the order they were made. Returns false when there were none.
bool RunDeferred(OlvChain* chain) noexcept
{
    Deferred* request = TakeDeferred(chain);
    if (request == nullptr) return false;
    while (request != nullptr) {
        Deferred* next = request->next;
        ApplyDeferred(chain, request);
        delete request;
        request = next;
    }
    return true;
}

constexpr std::size_t kSetWords = sizeof(fd_set) / sizeof(unsigned long);

void SetWords(const fd_set* set, unsigned long (&words)[kSetWords]) noexcept
{
    std::memcpy(words, set, sizeof words);
}

int HighestFd(const fd_set* set) noexcept
{
    unsigned long words[kSetWords];
    SetWords(set, words);
    constexpr int kBits = static_cast<int>(sizeof(unsigned long) * 8);
    for (int i = static_cast<int>(kSetWords) - 1; i >= 0; --i) {
        if (words[i] != 0) return i * kBits + (kBits - 1 - std::countl_zero(words[i]));
    }
    return -1;
}

}  // namespace

bool tv::FdSetAdd(fd_set* set, int fd) noexcept
{
    if (fd < 0 || fd >= FD_SETSIZE) return false;
    if (FD_ISSET(fd, set)) return true;
    if (FdSetCount(set) >= kMaxDescriptorsPerSet) return false;
    FD_SET(fd, set);
    return true;
}

int tv::FdSetCount(const fd_set* set) noexcept
{
    unsigned long words[kSetWords];
    SetWords(set, words);
    int count = 0;
    for (unsigned long word : words) count += std::popcount(word);
    return count;
}

OlvLifeTime* tv::ChainTimer(OlvChain* chain) noexcept
{
    return chain->timer;
}

void tv::ChainOnEnd(OlvChain* chain, ChainEndFn fn, void* user) noexcept
{
    AppendNode(chain->ends, chain->ends_tail, new EndCallback{fn, user, nullptr});
}

void tv::ChainCancelOnEnd(OlvChain* chain, ChainEndFn fn, void* user) noexcept
{
    EndCallback* previous = nullptr;
    for (EndCallback* callback = chain->ends; callback != nullptr;) {
        EndCallback* next = callback->next;
        if (callback->fn == fn && callback->user == user) {
            if (previous != nullptr)
                previous->next = next;
            else
                chain->ends = next;
            if (chain->ends_tail == callback) chain->ends_tail = previous;
            delete callback;
        } else {
            previous = callback;
        }
        callback = next;
    }
}

bool tv::ChainEnding(OlvChain* chain) noexcept
{
    // A merged sub-chain also ends with the chain it joined.
    for (; chain != nullptr; chain = chain->merged_into.load()) {
        if (chain->ending.load()) return true;
    }
    return false;
}

OlvChain* OlvChain_Create(tv::ChainTimerMakerFn make_timer) noexcept
{
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0 || fd >= FD_SETSIZE) {
        // Without a wake descriptor select() can watch, the chain could sleep through a stop.
        std::fprintf(stderr, "Cannot open the event chain's wake descriptor\n");
        std::exit(1);
    }
    auto* chain = new OlvChain;
    chain->wake_fd = fd;
    chain->timer = make_timer(chain);
    return chain;
}

void OlvChain_Add(OlvChain* chain, void* object) noexcept
{
    Append(chain->head, chain->tail, object);
}

void OlvChain_DeferAdd(OlvChain* chain, void* object) noexcept
{
    Defer(chain, DeferKind::Add, object, false);
}

void OlvChain_DeferRemove(OlvChain* chain, void* object) noexcept
{
    Defer(chain, DeferKind::Remove, object, true);
}

void OlvChain_MergeSubChain(OlvChain* main, OlvChain* sub) noexcept
{
    std::scoped_lock lock(SharedLock());
    OlvChain* target = TargetLocked(main);
    // From now on wakes and requests made on the sub-chain reach the chain that runs it.
    sub->merged_into = target;
    EnqueueLocked(target, DeferKind::Merge, sub);
}

void OlvChain_DropSubChain(OlvChain* main, OlvChain* sub) noexcept
{
    // After a stop the sub-chain ends with main.
    Defer(main, DeferKind::Drop, sub, true);
}

void OlvChain_Stop(OlvChain* chain) noexcept
{
    std::scoped_lock lock(SharedLock());
    chain->stop_requested.store(1);
    WakeLocked(chain);
}

void OlvChain_Wake(OlvChain* chain) noexcept
{
    std::scoped_lock lock(SharedLock());
    WakeLocked(TargetLocked(chain));
}

namespace {

// One turn: every pre_select hook, one select(), every post_select hook.
void RunTurn(OlvChain* chain, fd_set* read_set, fd_set* write_set, fd_set* error_set) noexcept
{
    FD_ZERO(read_set);
    FD_ZERO(write_set);
    FD_ZERO(error_set);
    int block_ms = kDefaultBlockMs;
    // Hooks may append objects: read `next` after each call so that a new object gets its
    // first pre_select in this same turn.
    for (ChainLink* link = chain->head; link != nullptr; link = link->next) {
        tv::PreSelectFn pre_select = HooksOf(link->object).pre_select;
        if (pre_select != nullptr)
            pre_select(link->object, read_set, write_set, error_set, &block_ms);
    }
    if (block_ms < 0) block_ms = 0;

    // Always watched, outside the per-set cap: a wake must never be lost. A wake that came
    // before this point leaves the descriptor readable, so the wait below is only a poll.
    FD_SET(chain->wake_fd, read_set);
    int highest = HighestFd(read_set);
    int highest_write = HighestFd(write_set);
    int highest_error = HighestFd(error_set);
    if (highest_write > highest) highest = highest_write;
    if (highest_error > highest) highest = highest_error;

    timeval timeout{block_ms / 1000, (block_ms % 1000) * 1000};
    int result = ::select(highest + 1, read_set, write_set, error_set, &timeout);
    if (result < 0) {
        FD_ZERO(read_set);
        FD_ZERO(write_set);
        FD_ZERO(error_set);
        result = -1;
    } else if (FD_ISSET(chain->wake_fd, read_set)) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t got = ::read(chain->wake_fd, &count, sizeof count);
        FD_CLR(chain->wake_fd, read_set);
        --result;
    }

    for (ChainLink* link = chain->head; link != nullptr; link = link->next) {
        tv::PostSelectFn post_select = HooksOf(link->object).post_select;
        if (post_select != nullptr)
            post_select(link->object, result, read_set, write_set, error_set);
    }
}

// The chain's end, as the lifetime rules in the header give it.
void EndChain(OlvChain* chain) noexcept
{
    chain->ending.store(true);
    // Requests made before the stop are honoured; objects added during the end (by a destroy
    // hook or a late DeferAdd) are destroyed too, in order of addition.
    for (;;) {
        RunAllEndCallbacks(chain);
        if (RunDeferred(chain)) continue;
        if (chain->head != nullptr) {
            ChainLink* link = chain->head;
            void* object = link->object;
            chain->head = link->next;
            if (chain->head == nullptr) chain->tail = nullptr;
            delete link;
            DestroyObject(object);
            continue;
        }
        std::scoped_lock lock(SharedLock());
        if (chain->deferred_head != nullptr) continue;
        // Taken under the lock that Stop and Wake hold, so none of them is still using the
        // record once it is freed.
        ::close(chain->wake_fd);
        chain->wake_fd = -1;
        break;
    }
    while (chain->merged != nullptr) {
        OlvChain* sub = chain->merged;
        chain->merged = sub->next_merged;
        FreeChainRecord(sub);
    }
    FreeChainRecord(chain);
}

}  // namespace

void OlvChain_Run(OlvChain* chain) noexcept
{
    fd_set read_set;
    fd_set write_set;
    fd_set error_set;
    while (chain->stop_requested.load() == 0) {
        RunDeferred(chain);
        RunTurn(chain, &read_set, &write_set, &error_set);
    }
    EndChain(chain);
}
