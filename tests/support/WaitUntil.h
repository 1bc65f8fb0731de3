#pragma once

#include <chrono>
#include <thread>

namespace tv::test {

// Polls `done` until it holds or `limit` passes. Waits end at the event, so a generous limit
// costs nothing on a quiet machine and keeps a busy one from failing a test.
template <class Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace tv::test
