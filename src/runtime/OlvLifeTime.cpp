// Timer monitor: a chained object whose pre_select hook fires the due timers on the chain
// thread. Add, Remove and Flush may come from any thread; one lock guards the pending list and
// the entries taken aside for the turn being fired, and no lock is held while a callback runs.
#include "runtime/OlvLifeTime.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <type_traits>

#include "runtime/OlvChain.h"
#include "runtime/OlvContainers.h"

namespace {

struct TimerEntry {
    std::uint32_t expiry = 0;
    void* data = nullptr;
    tv::TimerFn callback = nullptr;
    tv::TimerFn destroy = nullptr;
};

// Expiry values live on a clock that wraps every 2^32 ms, so they are compared by their
// signed distance: correct across the wrap for delays under about 24 days.
bool Earlier(std::uint32_t a, std::uint32_t b) noexcept
{
    return static_cast<std::int32_t>(a - b) < 0;
}

}  // namespace

struct OlvLifeTime {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvChain* chain = nullptr;
    tv::TimerClockFn clock = nullptr;
    // Pending entries sorted by expiry; its lock also guards `firing`.
    OlvLinkedList* timers = nullptr;
    // Entries the current check found due and has not called yet. Remove looks here too, so
    // that a timer cancelled from an earlier callback of the same turn gets destroy instead.
    OlvLinkedList* firing = nullptr;
};
static_assert(std::is_standard_layout_v<OlvLifeTime>);
static_assert(offsetof(OlvLifeTime, hooks) == 0);

namespace {

std::uint32_t Now(const OlvLifeTime* monitor) noexcept
{
    return monitor->clock != nullptr ? monitor->clock() : tv::LifeTimeClock();
}

// Moves every entry of `from` whose data is `data` (every entry when `all`) into `into`.
void MoveMatching(OlvLinkedList* from, OlvLinkedList* into, bool all, void* data) noexcept
{
    tv::LinkedListNode* node = OlvLinkedList_First(from);
    while (node != nullptr) {
        auto* entry = static_cast<TimerEntry*>(OlvLinkedList_Data(node));
        if (all || entry->data == data) {
            OlvLinkedList_Append(into, entry);
            node = OlvLinkedList_RemoveNode(node);
        } else {
            node = OlvLinkedList_Next(node);
        }
    }
}

// Calls destroy for every entry of `cancelled` (no monitor lock held) and frees the list.
void DestroyEntries(OlvLinkedList* cancelled) noexcept
{
    for (tv::LinkedListNode* node = OlvLinkedList_First(cancelled); node != nullptr;
         node = OlvLinkedList_Next(node)) {
        auto* entry = static_cast<TimerEntry*>(OlvLinkedList_Data(node));
        if (entry->destroy != nullptr) entry->destroy(entry->data);
        delete entry;
    }
    OlvLinkedList_Destroy(cancelled);
}

void Cancel(OlvLifeTime* monitor, bool all, void* data) noexcept
{
    OlvLinkedList* cancelled = OlvLinkedList_Create();
    OlvLinkedList_Lock(monitor->timers);
    // Entries taken aside for this turn are due earlier than anything still pending.
    MoveMatching(monitor->firing, cancelled, all, data);
    MoveMatching(monitor->timers, cancelled, all, data);
    OlvLinkedList_Unlock(monitor->timers);
    DestroyEntries(cancelled);
}

void LifeTimeCheck(void* object, fd_set*, fd_set*, fd_set*, int* block_ms) noexcept
{
    auto* monitor = static_cast<OlvLifeTime*>(object);
    std::uint32_t now = Now(monitor);

    OlvLinkedList_Lock(monitor->timers);
    tv::LinkedListNode* node = OlvLinkedList_First(monitor->timers);
    while (node != nullptr) {
        auto* entry = static_cast<TimerEntry*>(OlvLinkedList_Data(node));
        // Strictly earlier: an entry due exactly now waits for the clock to move on.
        if (Earlier(entry->expiry, now)) {
            OlvLinkedList_Append(monitor->firing, entry);
            node = OlvLinkedList_RemoveNode(node);
        } else {
            node = OlvLinkedList_Next(node);
        }
    }
    OlvLinkedList_Unlock(monitor->timers);

    for (;;) {
        OlvLinkedList_Lock(monitor->timers);
        tv::LinkedListNode* first = OlvLinkedList_First(monitor->firing);
        auto* entry = static_cast<TimerEntry*>(OlvLinkedList_Data(first));
        if (first != nullptr) OlvLinkedList_RemoveNode(first);
        OlvLinkedList_Unlock(monitor->timers);
        if (entry == nullptr) break;
        // The callback may add or remove timers on this very monitor.
        entry->callback(entry->data);
        delete entry;
    }

    OlvLinkedList_Lock(monitor->timers);
    tv::LinkedListNode* head = OlvLinkedList_First(monitor->timers);
    if (head != nullptr) {
        auto* entry = static_cast<TimerEntry*>(OlvLinkedList_Data(head));
        std::int32_t left = static_cast<std::int32_t>(entry->expiry - now);
        if (left < 0) left = 0;
        if (left < *block_ms) *block_ms = left;
    }
    OlvLinkedList_Unlock(monitor->timers);
}

void LifeTimeDestroy(void* object) noexcept
{
    auto* monitor = static_cast<OlvLifeTime*>(object);
    // A destroy callback may schedule again on this monitor; those entries are cancelled too.
    for (;;) {
        OlvLinkedList_Lock(monitor->timers);
        bool empty =
            OlvLinkedList_Count(monitor->timers) == 0 && OlvLinkedList_Count(monitor->firing) == 0;
        OlvLinkedList_Unlock(monitor->timers);
        if (empty) break;
        OlvLifeTime_Flush(monitor);
    }
    OlvLinkedList_Destroy(monitor->firing);
    OlvLinkedList_Destroy(monitor->timers);
    std::destroy_at(monitor);
}

constexpr tv::ChainHooks kLifeTimeHooks = {
    .pre_select = LifeTimeCheck,
    .post_select = nullptr,
    .destroy = LifeTimeDestroy,
};

}  // namespace

std::uint32_t tv::LifeTimeClock() noexcept
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<std::uint32_t>(ms);
}

void tv::LifeTimeSetClock(OlvLifeTime* monitor, TimerClockFn clock) noexcept
{
    monitor->clock = clock;
}

OlvLifeTime* OlvLifeTime_Create(OlvChain* chain) noexcept
{
    auto* monitor = tv::NewChainObject<OlvLifeTime>(kLifeTimeHooks);
    monitor->chain = chain;
    monitor->timers = OlvLinkedList_Create();
    monitor->firing = OlvLinkedList_Create();
    OlvChain_Add(chain, monitor);
    return monitor;
}

void OlvLifeTime_Add(OlvLifeTime* monitor, void* data, int delay_ms, tv::TimerFn callback,
                     tv::TimerFn destroy) noexcept
{
    auto* entry = new TimerEntry;
    entry->data = data;
    entry->callback = callback;
    entry->destroy = destroy;

    OlvLinkedList_Lock(monitor->timers);
    entry->expiry = Now(monitor) + static_cast<std::uint32_t>(delay_ms);
    // Before the first entry that is not earlier: among equal expiries the newest fires first.
    tv::LinkedListNode* node = OlvLinkedList_First(monitor->timers);
    while (node != nullptr &&
           Earlier(static_cast<TimerEntry*>(OlvLinkedList_Data(node))->expiry, entry->expiry))
        node = OlvLinkedList_Next(node);
    bool new_head;
    if (node != nullptr) {
        new_head = OlvLinkedList_InsertBefore(node, entry) == OlvLinkedList_First(monitor->timers);
    } else {
        OlvLinkedList_Append(monitor->timers, entry);
        new_head = OlvLinkedList_Count(monitor->timers) == 1;
    }
    OlvLinkedList_Unlock(monitor->timers);

    // The chain may be asleep for longer than this timer wants to wait.
    if (new_head) OlvChain_Wake(monitor->chain);
}

void tv::LifeTimeAddNextTurn(OlvLifeTime* monitor, void* data, TimerFn callback,
                             TimerFn destroy) noexcept
{
    auto* entry = new TimerEntry;
    entry->data = data;
    entry->callback = callback;
    entry->destroy = destroy;

    OlvLinkedList_Lock(monitor->timers);
    // Already past on the clock, so the next check fires it whatever the time; behind the
    // entries that are as due, so hand-offs run in the order they were made.
    entry->expiry = Now(monitor) - 1;
    tv::LinkedListNode* node = OlvLinkedList_First(monitor->timers);
    while (node != nullptr &&
           !Earlier(entry->expiry, static_cast<TimerEntry*>(OlvLinkedList_Data(node))->expiry))
        node = OlvLinkedList_Next(node);
    if (node != nullptr)
        OlvLinkedList_InsertBefore(node, entry);
    else
        OlvLinkedList_Append(monitor->timers, entry);
    OlvLinkedList_Unlock(monitor->timers);
    OlvChain_Wake(monitor->chain);
}

void OlvLifeTime_Remove(OlvLifeTime* monitor, void* data) noexcept
{
    Cancel(monitor, false, data);
}

void OlvLifeTime_Flush(OlvLifeTime* monitor) noexcept
{
    Cancel(monitor, true, nullptr);
}
