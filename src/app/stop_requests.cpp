#include "app/stop_requests.h"

#include <chrono>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ostrane {

namespace {

int64_t microseconds(std::chrono::nanoseconds since_epoch) {
    return std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
}

}  // namespace

int64_t StopRequests::steady_now_us() { return microseconds(std::chrono::steady_clock::now().time_since_epoch()); }

int64_t StopRequests::wall_now_us() { return microseconds(std::chrono::system_clock::now().time_since_epoch()); }

StopRequests::~StopRequests() {
#ifndef _WIN32
    for (const int fd : wake_) {
        if (fd >= 0) (void)::close(fd);
    }
#endif
}

void StopRequests::open_wake() {
#ifndef _WIN32
    if (wake_[0] < 0 && ::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
#endif
}

void StopRequests::request() noexcept {
    // Only the first request's time counts, and the steady time is there
    // first, so the loop never times a drain from a request it does not know.
    int64_t none = 0;
    if (steady_us_.compare_exchange_strong(none, steady_now_us())) {
        wall_us_.store(wall_now_us());
    }
    count_.fetch_add(1);
#ifndef _WIN32
    // A full pipe already wakes the loop.
    if (wake_[1] >= 0) (void)!::write(wake_[1], "s", 1);
#endif
}

void StopRequests::clear_wake() {
#ifndef _WIN32
    char drained[64];
    while (wake_[0] >= 0 && ::read(wake_[0], drained, sizeof drained) > 0) {
    }
#endif
}

}  // namespace ostrane
