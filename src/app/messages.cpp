#include "app/messages.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostrane {

Messages::Messages(std::FILE* stream, bool status_line, bool quiet) : quiet_(quiet), line_(stream, status_line) {
#ifdef _WIN32
    const int descriptor = _fileno(stream);
#else
    const int descriptor = fileno(stream);
#endif
    // A closed standard error takes nothing: every line is dropped.
    gone_ = !channel_.attach(descriptor, true);
}

void Messages::say(const std::string& line) {
    said_ = true;
    if (gone_) return;
    if (!closing_ && held_.size() + line.size() >= kMaxHeld) {
        ++lost_;
        return;
    }
    held_ += line_.clear();
    held_ += line;
    held_ += '\n';
    pump();
}

bool Messages::has_room() const {
#ifdef _WIN32
    return true;
#else
    pollfd room{channel_.fd(), POLLOUT, 0};
    return ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0;
#endif
}

void Messages::pump() {
    while (!gone_ && !held_.empty()) {
        int error = 0;
        held_.erase(0, channel_.send(reinterpret_cast<const uint8_t*>(held_.data()), held_.size(), error));
        if (error == EAGAIN) return;
        // Closed, or failing: nobody will read what is held.
        if (error != 0) return give_up();
        if (lost_ > 0) held_ = line_.clear() + lost_line();
    }
}

std::string Messages::lost_line() {
    std::string line = "[WARN] " + std::to_string(lost_) + " messages were lost while standard error took nothing\n";
    lost_ = 0;
    return line;
}

void Messages::closing() {
    closing_ = true;
    if (lost_ > 0 && !gone_) held_ += line_.clear() + lost_line();
}

void Messages::finish() {
    if (!gone_) held_ += line_.clear();
    pump();
}

}  // namespace ostrane
