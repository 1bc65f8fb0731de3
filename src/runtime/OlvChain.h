// The event chain: one select() loop that drives an ordered list of chained objects on the
// thread that runs it. A chained object is a standard-layout record whose first member is a
// tv::ChainHooks; once added, its memory belongs to the chain, which calls its destroy hook
// and then frees it with ::operator delete. Build chained objects with tv::NewChainObject.
//
// ---- Lifetime of chained objects: the rules in one place ----
//
// Adding. OlvChain_Add (before the chain runs, or on the chain thread) or OlvChain_DeferAdd
// (any thread) hands the object's memory to the chain; from then on only the chain frees it.
//
// Running. Hooks, timer callbacks and deferred requests run on the chain thread only, each
// turn in the order the objects were added. An object added inside a hook gets its first
// pre_select in that same turn. Other threads reach the chain through Stop, Wake, the
// deferred operations, ChainEnding and the timer monitors' Add and Remove.
//
// Leaving early. OlvChain_DeferRemove unlinks the object at the start of the next turn, runs
// its destroy hook and frees it while the chain goes on running: that destroy hook cancels
// whatever may still call the object back (its timers, its end registrations).
//
// The end, step by step:
//   1. OlvChain_Stop: the turn in progress finishes, post_select hooks included.
//   2. tv::ChainEnding(chain) turns true and stays true until the record is freed. A destroy
//      hook that finds it true leaves the chain's timer monitors alone: they are flushed and
//      destroyed by the same end, some of them before it.
//   3. The end callbacks (tv::ChainOnEnd) run in the order registered, each once, while every
//      object is still there: the place for what must happen before anything is destroyed
//      (keeping other threads out of the objects, letting go of records that sessions point
//      at). A callback registered meanwhile, by an end callback or a destroy hook, runs before
//      the next object is destroyed.
//   4. Deferred requests made before the stop are carried out. Then every object's destroy
//      hook runs once, in the order of addition, and its memory is freed; no pre_select,
//      post_select or timer callback runs any more (a pending timer gets its destroy callback
//      when its monitor goes). A destroy hook may use objects added after its own but not those
//      added before it (the timer monitors an object creates come before it).
//   5. The records of merged sub-chains and the chain's own are freed; OlvChain_Run returns,
//      and the handle is invalid. A record that another thread reaches after that (a web
//      session held by a worker) carries its own "gone" mark, set from an end callback.
//
// Sub-chains. A merged sub-chain's objects run on the chain it joined, and end with it
// (ChainEnding(sub) follows that chain; the sub-chain's end callbacks run in step 3, after
// those of the chain). Dropping it ends it alone while the other chain runs on: ChainEnding(sub)
// turns true, its end callbacks run, its objects are destroyed in order, its record is freed.
#pragma once

#include <sys/select.h>

#include <memory>
#include <new>
#include <type_traits>

namespace tv {

// Adds the object's descriptors to the sets; may lower *block_ms (never raise it).
using PreSelectFn = void (*)(void* object, fd_set* read_set, fd_set* write_set, fd_set* error_set,
                             int* block_ms) noexcept;
// select_result: count of ready descriptors, 0 on time-out, -1 on error (sets then empty).
using PostSelectFn = void (*)(void* object, int select_result, fd_set* read_set, fd_set* write_set,
                              fd_set* error_set) noexcept;
// Releases what the object owns and ends with std::destroy_at(self); the chain then frees the
// storage itself.
using DestroyFn = void (*)(void* object) noexcept;

// Any of the three may be null.
struct ChainHooks {
    PreSelectFn pre_select = nullptr;
    PostSelectFn post_select = nullptr;
    DestroyFn destroy = nullptr;
};

// Storage the chain can free: value-initialised T with its hooks set. T must be standard
// layout with a ChainHooks `hooks` as its first member.
template <class T>
T* NewChainObject(const ChainHooks& hooks)
{
    static_assert(std::is_standard_layout_v<T>, "the chain reads the hooks through void*");
    T* object = ::new (::operator new(sizeof(T))) T{};
    object->hooks = hooks;
    return object;
}

// The one way to put a descriptor into an fd_set: returns true when fd is (now) in the set;
// false, adding nothing, when fd < 0, fd >= FD_SETSIZE, or the set already holds 64
// descriptors. A refused descriptor is simply not watched this turn.
bool FdSetAdd(fd_set* set, int fd) noexcept;

// Number of descriptors in the set.
int FdSetCount(const fd_set* set) noexcept;

}  // namespace tv

struct OlvChain;
struct OlvLifeTime;

namespace tv {
// Makes the chain's own timer monitor and adds it to the chain: OlvLifeTime_Create. The chain
// knows the timers only through this hook, so neither module needs the other's code.
using ChainTimerMakerFn = OlvLifeTime* (*)(OlvChain* chain) noexcept;
}  // namespace tv

// Creates a chain together with its own timer monitor (its first object), made by
// `make_timer`. Creation thread.
[[nodiscard]] OlvChain* OlvChain_Create(tv::ChainTimerMakerFn make_timer) noexcept;

// Appends `object` (ownership passes to the chain). Not locked: before OlvChain_Run, or on the
// chain thread (inside a hook or a timer callback).
void OlvChain_Add(OlvChain* chain, void* object) noexcept;

// Any thread. Appends `object` on the chain thread at the start of the next turn; requests are
// carried out in the order they were made. An object still waiting when the chain ends is
// destroyed with the rest.
void OlvChain_DeferAdd(OlvChain* chain, void* object) noexcept;

// Any thread. At the start of the next turn, unlinks `object`, calls its destroy hook and frees
// it. Ignored after OlvChain_Stop (the chain destroys the object when it ends), for the chain's
// own timer monitor, and for an object that is not in the chain.
void OlvChain_DeferRemove(OlvChain* chain, void* object) noexcept;

// Runs the loop on the calling thread until stopped, then ends the chain as the lifetime rules
// above say (end callbacks, then every destroy hook in the order of addition) and frees it: the
// handle is invalid once this returns.
void OlvChain_Run(OlvChain* chain) noexcept;

// Any thread. The turn in progress finishes (post_select hooks included), then the chain ends.
void OlvChain_Stop(OlvChain* chain) noexcept;

// Any thread. Makes a blocked select() return at once; a wake that comes before the wait turns
// that wait into a poll. Never lost.
void OlvChain_Wake(OlvChain* chain) noexcept;

// `sub` is a chain that never runs. Its objects move, in order, into `main` at the start of
// main's next turn; from now on waking or deferring on `sub` acts on `main`. Any thread.
void OlvChain_MergeSubChain(OlvChain* main, OlvChain* sub) noexcept;

// Ends `sub` on main's thread at the start of main's next turn: its end callbacks, then the
// destroy hooks of every object it brought into `main`, in order; then frees `sub`, which must
// not be used afterwards. After OlvChain_Stop it is left to main's end. Any thread.
void OlvChain_DropSubChain(OlvChain* main, OlvChain* sub) noexcept;

namespace tv {
// The chain's own timer monitor (its first object).
OlvLifeTime* ChainTimer(OlvChain* chain) noexcept;

using ChainEndFn = void (*)(void* user) noexcept;
// Before the chain runs, or on the chain thread. fn(user) runs once when the chain ends,
// before any object is destroyed (step 3 above); several run in the order registered. A
// registration made on a merged sub-chain ends with the sub-chain: when it is dropped, or
// with the chain it joined.
void ChainOnEnd(OlvChain* chain, ChainEndFn fn, void* user) noexcept;
// Chain thread. Forgets every registration of exactly this fn and user that has not run yet:
// for an owner that leaves the chain early (its destroy hook, when ChainEnding is false).
void ChainCancelOnEnd(OlvChain* chain, ChainEndFn fn, void* user) noexcept;
// Any thread that knows the record is still there (the chain thread, or one that the chain's
// end waits for). True from the moment the chain's end begins (step 2 above).
bool ChainEnding(OlvChain* chain) noexcept;
}  // namespace tv
