// Threads kept from call to call for short calls.
//
// Starting and joining a thread costs tens of microseconds, as much as a
// small filter's whole work; waking one that waits costs a few. The helpers
// start when a call first asks for them and then wait for the next call.
// One call uses them at a time: a call that finds them busy (another
// Python thread filtering) is told so and starts threads of its own. After
// a fork the child has none of the parent's threads: it abandons the
// parent's helpers (never touching their locks) and starts its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace morvane::filters {

// A short wait in a spinning loop.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Spins until ready() or `budget` has passed; whether ready().
template <class Ready> bool spin_until(Ready ready, std::chrono::microseconds budget) {
    const auto end = std::chrono::steady_clock::now() + budget;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            spin_pause();
        }
        if (std::chrono::steady_clock::now() >= end) return ready();
    }
}

class Helpers {
public:
    // Runs `work` on the calling thread and offers it to `extra` helpers;
    // returns once every helper that took it has returned. The calling
    // thread never waits for a helper to wake: `work` takes its share of
    // the call from a counter, and a helper that comes late finds less or
    // nothing left. Sleeping helpers are woken only when `wake` (waking
    // one costs the caller some microseconds, and it arrives tens of
    // microseconds later on a cold core); without it, only helpers still
    // awake from a recent call join in, unless this call follows the last
    // one closely. `work` must not throw. False,
    // having run nothing, when the helpers are busy with another call or
    // none could be started.
    static bool run(int extra, const std::function<void()> &work, bool wake) {
        Helpers &h = current();
        std::unique_lock<std::mutex> use(h.use_, std::try_to_lock);
        if (!use.owns_lock()) return false;
        try {
            while (h.started_ < extra) {
                std::thread(&Helpers::serve, &h).detach();
                ++h.started_;
            }
        } catch (const std::exception &) {
            extra = h.started_;
            if (extra == 0) return false;
        }
        // A call soon after the last one is taken for one of a loop: it
        // wakes the helpers, which then stay awake for the calls after it.
        const auto now = std::chrono::steady_clock::now();
        wake = wake || now - h.last_end_ < kSpin;
        if (!wake) extra = std::min(extra, h.started_ - h.asleep_.load(std::memory_order_relaxed));
        if (extra <= 0) {
            work();
            h.last_end_ = std::chrono::steady_clock::now();
            return true;
        }
        h.job_ = &work;
        h.running_.store(extra, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> hold(h.mutex_);
            h.places_.store(extra, std::memory_order_release);
        }
        if (wake) h.wake_.notify_all();
        work();
        // Places no helper has taken by now are withdrawn: the work is
        // done, and a helper still waking would only find it so.
        const int untaken = h.places_.exchange(0, std::memory_order_acq_rel);
        if (untaken > 0) h.running_.fetch_sub(untaken, std::memory_order_acq_rel);
        auto finished = [&h] { return h.running_.load(std::memory_order_acquire) == 0; };
        if (!spin_until(finished, kSpin)) {
            std::unique_lock<std::mutex> hold(h.mutex_);
            h.done_.wait(hold, finished);
        }
        h.last_end_ = std::chrono::steady_clock::now();
        return true;
    }

private:
    // How long a helper that has finished, and a call whose helpers have
    // not, keep looking before they sleep: calls in a loop, with work of
    // their own between them, then find the helpers awake.
    static constexpr std::chrono::microseconds kSpin{1000};

    explicit Helpers(pid_t owner) : owner_(owner) {}

    // This process's helpers (a parent's are left as they are: their
    // threads do not exist here).
    static Helpers &current() {
        static std::atomic<Helpers *> live{nullptr};
        const pid_t self = getpid();
        Helpers *h = live.load(std::memory_order_acquire);
        while (h == nullptr || h->owner_ != self) {
            Helpers *fresh = new Helpers(self);
            if (live.compare_exchange_strong(h, fresh, std::memory_order_acq_rel)) return *fresh;
            delete fresh; // another thread installed one first: h holds it
        }
        return *h;
    }

    // A helper's life: wait for a call's places, take one if any is left,
    // run the call's work, report.
    void serve() {
        auto open = [this] { return places_.load(std::memory_order_acquire) > 0; };
        for (;;) {
            if (!spin_until(open, kSpin)) {
                std::unique_lock<std::mutex> hold(mutex_);
                asleep_.fetch_add(1, std::memory_order_relaxed);
                wake_.wait(hold, open);
                asleep_.fetch_sub(1, std::memory_order_relaxed);
            }
            int left = places_.load(std::memory_order_acquire);
            while (left > 0 &&
                   !places_.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel))
                ;
            if (left <= 0) continue;
            (*job_)();
            if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> hold(mutex_);
                done_.notify_all();
            }
        }
    }

    const pid_t owner_;
    std::mutex use_; // held by the call using the helpers
    int started_ = 0;
    std::chrono::steady_clock::time_point last_end_{}; // of the last call
    const std::function<void()> *job_ = nullptr;
    // Places left for helpers in the current call, and helpers (of those
    // that took one) still running.
    std::atomic<int> places_{0}, running_{0};
    std::atomic<int> asleep_{0}; // helpers waiting on wake_
    std::mutex mutex_;
    std::condition_variable wake_, done_;
};

} // namespace morvane::filters
