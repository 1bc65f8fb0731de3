// The event chain: one select() loop that drives an ordered list of chained objects on the
// thread that runs it. A chained object is a standard-layout record whose first member is a
// tv::ChainHooks; once added, its memory belongs to the chain, which calls its destroy hook
// and then frees it with ::operator delete. Build chained objects with tv::NewChainObject.
#pragma once

#include <sys/select.h>

#include <memory>
#include <new>
#include <type_traits>

namespace tv {

// Adds the object's descriptors to the sets; may lower *block_ms (never raise it).
using PreSelectFn = void (*)(void* object, fd_set* read_set, fd_set* write_set,
                             fd_set* error_set, int* block_ms) noexcept;
// select_result: count of ready descriptors, 0 on time-out, -1 on error (sets then empty).
using PostSelectFn = void (*)(void* object, int select_result, fd_set* read_set,
                              fd_set* write_set, fd_set* error_set) noexcept;
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

// Creates a chain together with its own timer monitor (its first object). Creation thread.
[[nodiscard]] OlvChain* OlvChain_Create() noexcept;

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

// Runs the loop on the calling thread until stopped, then destroys every object in the order of
// addition and frees the chain: the handle is invalid once this returns.
void OlvChain_Run(OlvChain* chain) noexcept;

// Any thread. The turn in progress finishes (post_select hooks included), then the chain ends.
void OlvChain_Stop(OlvChain* chain) noexcept;

// Any thread. Makes a blocked select() return at once; a wake that comes before the wait turns
// that wait into a poll. Never lost.
void OlvChain_Wake(OlvChain* chain) noexcept;

// `sub` is a chain that never runs. Its objects move, in order, into `main` at the start of
// main's next turn; from now on waking or deferring on `sub` acts on `main`. Any thread.
void OlvChain_MergeSubChain(OlvChain* main, OlvChain* sub) noexcept;

// Removes and destroys (in order) every object that `sub` brought into `main`, then frees `sub`;
// carried out on main's thread at the start of its next turn. `sub` must not be used afterwards.
// After OlvChain_Stop it is left to main's end. Any thread.
void OlvChain_DropSubChain(OlvChain* main, OlvChain* sub) noexcept;

namespace tv {
// The chain's own timer monitor (its first object).
OlvLifeTime* ChainTimer(OlvChain* chain) noexcept;
}  // namespace tv
