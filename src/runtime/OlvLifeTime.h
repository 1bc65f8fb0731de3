// Timer monitor: a chained object that fires due callbacks on the chain thread at the start of
// every turn and lowers the chain's sleep to the time left until its earliest entry. Timers
// are keyed by their data pointer; a 0 ms timer is how other threads hand work to the chain.
#pragma once

#include <cstdint>

struct OlvChain;
struct OlvLifeTime;

namespace tv {
using TimerFn = void (*)(void* data) noexcept;
// Milliseconds on a 32-bit clock that wraps every 2^32 ms.
using TimerClockFn = std::uint32_t (*)() noexcept;
}  // namespace tv

// Creates a monitor and adds it to `chain` (OlvChain_Add): before the chain runs, or on the
// chain thread. The chain destroys it when it ends, after which it must not be used.
[[nodiscard]] OlvLifeTime* OlvLifeTime_Create(OlvChain* chain) noexcept;

// Any thread. Calls callback(data) on the chain thread once delay_ms have passed (strictly:
// a timer is due once the clock has moved past its expiry), unless cancelled first, in which
// case destroy(data) runs instead (when not null). Exactly one of the two runs, once. Among
// timers due at the same millisecond, the one added last fires first.
void OlvLifeTime_Add(OlvLifeTime* monitor, void* data, int delay_ms, tv::TimerFn callback,
                     tv::TimerFn destroy) noexcept;

namespace tv {
// Any thread. Like a 0 ms timer, but due at the next check whatever the clock says (a 0 ms
// timer waits for the clock to move on, polling meanwhile): how other threads hand work to
// the chain without that wait. These entries fire in the order they were added.
void LifeTimeAddNextTurn(OlvLifeTime* monitor, void* data, TimerFn callback,
                         TimerFn destroy) noexcept;
}  // namespace tv

// Any thread. Cancels every pending timer with this data, including one that is due in the
// turn being fired but not yet called; their destroy callbacks run on the calling thread,
// in order, with no lock held. Never affects a timer added afterwards.
void OlvLifeTime_Remove(OlvLifeTime* monitor, void* data) noexcept;

// Any thread. Cancels every pending timer (destroy callbacks, no lock held).
void OlvLifeTime_Flush(OlvLifeTime* monitor) noexcept;

namespace tv {
// The monitors' default clock: a monotonic millisecond count, truncated to 32 bits.
std::uint32_t LifeTimeClock() noexcept;
// Replaces the clock of one monitor (null restores the default). Before the monitor is in use;
// meant for tests of the wrap-around.
void LifeTimeSetClock(OlvLifeTime* monitor, TimerClockFn clock) noexcept;
}  // namespace tv
