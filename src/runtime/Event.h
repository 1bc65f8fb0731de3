// A manual-reset event: once set it stays set until reset, and wakes every waiter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tv {

class Event {
public:
    // Any thread.
    void Set() noexcept
    {
        {
            std::scoped_lock lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Reset() noexcept
    {
        std::scoped_lock lock(mutex_);
        set_ = false;
    }
    bool IsSet() const noexcept
    {
        std::scoped_lock lock(mutex_);
        return set_;
    }
    void Wait() noexcept
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return set_; });
    }
    // True when the event was set within the time.
    bool WaitFor(std::chrono::milliseconds timeout) noexcept
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace tv
