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

Messages::Messages(std::FILE* stream, bool status_line, bool quiet)
    : quiet_(quiet), line_(stream, status_line) {
#ifdef _WIN32
    fd_ = _fileno(stream);
#else
    fd_ = fileno(stream);
    struct stat kind {};
    if (::fstat(fd_, &kind) != 0) return;
    const int access = ::fcntl(fd_, F_GETFL) & O_ACCMODE;
    if (S_ISSOCK(kind.st_mode)) {
        socket_ = true;
    } else if ((S_ISFIFO(kind.st_mode) || ::isatty(fd_) != 0) && (access == O_WRONLY || access == O_RDWR)) {
        // O_NONBLOCK on standard error itself would reach the shell that
        // shares its file description, and outlive us: a file description of
        // our own instead. Never for a regular file, whose new description
        // would start writing at offset 0; never for a descriptor that may
        // not write, which this must not turn into one that may.
        const std::string path = "/proc/self/fd/" + std::to_string(fd_);
        owned_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (owned_fd_ >= 0) {
            fd_ = owned_fd_;
        } else {
            small_writes_ = true;
        }
    }
#endif
}

Messages::~Messages() {
    finish();
#ifndef _WIN32
    if (owned_fd_ >= 0) (void)::close(owned_fd_);
#endif
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
    pollfd room{fd_, POLLOUT, 0};
    return ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0;
#endif
}

long Messages::write_some(const char* data, size_t size) {
#ifdef _WIN32
    return _write(fd_, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 20)));
#else
    if (socket_) return ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (small_writes_) {
        if (!has_room()) {
            errno = EAGAIN;
            return -1;
        }
        size = std::min<size_t>(size, PIPE_BUF);
    }
    return ::write(fd_, data, size);
#endif
}

void Messages::pump() {
    while (!gone_ && !held_.empty()) {
        const long n = write_some(held_.data(), held_.size());
        if (n > 0) {
            held_.erase(0, static_cast<size_t>(n));
            if (held_.empty() && lost_ > 0) held_ = line_.clear() + lost_line();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // Closed, or failing: nobody will read what is held.
        gone_ = true;
        held_.clear();
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
    const unsigned seen = signals_ != nullptr ? signals_->load() : 0;
    for (pump(); !gone_ && !held_.empty(); pump()) {
        if (signals_ != nullptr && signals_->load() != seen) {
            gone_ = true;
            held_.clear();
            return;
        }
#ifndef _WIN32
        // Slices, for the signal counter: a signal need not cut a poll short.
        pollfd room{fd_, POLLOUT, 0};
        (void)::poll(&room, 1, 100);
#endif
    }
}

}  // namespace ostrane
