#pragma once

#include <atomic>
#include <cstdint>

namespace ostrane {

// The stop requests of a capture run as the signal handlers (and, on
// Windows, the console handler's thread) make them: a count, the time of
// the first, and a byte on a pipe that wakes the capture loop's wait. That
// is all a handler touches; it never reaches the capture itself, which may
// already be closed.
class StopRequests {
public:
    StopRequests() = default;
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // The wake-up pipe; only once standard descriptors are in place, so
    // that it cannot take one of their numbers. Without it the loop still
    // sees a request at its next turn.
    void open_wake();
    // Async-signal-safe: atomics, clock_gettime and write(2).
    void request() noexcept;
    unsigned count() const { return count_.load(); }
    // When the first request came, in microseconds: on the clock packets are
    // stamped with, to tell the packets captured before it, and on the
    // steady clock, to time the drain; 0 before any.
    int64_t first_wall_us() const { return wall_us_.load(); }
    int64_t first_steady_us() const { return steady_us_.load(); }
    // Readable after a request; -1 without a pipe.
    int wake_fd() const { return wake_[0]; }
    void clear_wake();

    static int64_t steady_now_us();
    // Microseconds since the epoch, as packets are stamped.
    static int64_t wall_now_us();

private:
    std::atomic<unsigned> count_{0};
    std::atomic<int64_t> wall_us_{0};
    std::atomic<int64_t> steady_us_{0};
    int wake_[2] = {-1, -1};

    static_assert(std::atomic<unsigned>::is_always_lock_free, "used from a signal handler");
    static_assert(std::atomic<int64_t>::is_always_lock_free, "used from a signal handler");
};

}  // namespace ostrane
