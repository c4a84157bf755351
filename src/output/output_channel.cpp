#include "output/output_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostrane {

OutputChannel::~OutputChannel() { (void)close(); }

bool OutputChannel::attach(int fd, bool terminal) {
    (void)close();
#ifdef _WIN32
    (void)terminal;
    if (_get_osfhandle(fd) == -1) {
        error_ = "Output stream is not open";
        return false;
    }
    fd_ = fd;
#else
    if (::fcntl(fd, F_GETFL) == -1) {
        error_ = "Output stream is not open";
        return false;
    }
    fd_ = fd;
    go_non_blocking(terminal);
#endif
    return true;
}

bool OutputChannel::open(const std::string& path) {
    (void)close();
#ifdef _WIN32
    fd_ = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
#endif
    if (fd_ < 0) {
        error_ = "Failed to open output file: " + path + ": " + std::strerror(errno);
        return false;
    }
    owned_fd_ = fd_;
    path_ = path;
#ifndef _WIN32
    // A FIFO or a socket named by -w is ours alone: non-blocking in place.
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        (void)::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
#endif
    return true;
}

// A blocking write to a reader that stopped reading could not be left for a
// stop request. O_NONBLOCK must not go on an inherited file description: in
// a pipeline that is shared with every other writer of the pipe, and on a
// terminal with the shell, and it would outlive us.
void OutputChannel::go_non_blocking(bool terminal) {
#ifndef _WIN32
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return;
    if (S_ISSOCK(info.st_mode)) {
        socket_ = true;
        return;
    }
    if (!S_ISFIFO(info.st_mode) && !(terminal && ::isatty(fd_) != 0)) return;  // a regular file never blocks
    // This may still run with the privileges to capture: it must not win
    // write access to a FIFO the user could only read. One that cannot
    // write fails at its first write.
    const int access = ::fcntl(fd_, F_GETFL) & O_ACCMODE;
    if (access != O_WRONLY && access != O_RDWR) return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd_);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        fd_ = owned_fd_ = own;
    } else {
        // No /proc, or a pipe of another user: writes of at most PIPE_BUF
        // bytes once poll() says there is room never block.
        small_writes_ = true;
    }
#else
    (void)terminal;
#endif
}

bool OutputChannel::close() {
    bool closed = true;
    if (owned_fd_ >= 0) {
#ifdef _WIN32
        closed = ::_close(owned_fd_) == 0;
#else
        closed = ::close(owned_fd_) == 0;
#endif
        // A file's last bytes may fail only now; a private description of
        // an inherited stream holds nothing of its own.
        closed = closed || path_.empty();
        if (!closed) error_ = "Failed to close output file: " + path_ + ": " + std::strerror(errno);
    }
    fd_ = owned_fd_ = -1;
    socket_ = small_writes_ = false;
    path_.clear();
    return closed;
}

size_t OutputChannel::send(const uint8_t* data, size_t size, int& error) {
    size_t done = 0;
    error = 0;
    while (done < size) {
        const long n = write_some(data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EWOULDBLOCK is EAGAIN wherever both exist.
        error = n < 0 ? (errno == EWOULDBLOCK ? EAGAIN : errno) : EIO;
        break;
    }
    return done;
}

long OutputChannel::write_some(const uint8_t* data, size_t size) {
#ifdef _WIN32
    return ::_write(fd_, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
#else
    if (socket_) return ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (small_writes_) {
        pollfd room{fd_, POLLOUT, 0};
        const int ready = ::poll(&room, 1, 0);
        if (ready <= 0) {
            if (ready == 0) errno = EAGAIN;
            return -1;
        }
        size = std::min<size_t>(size, PIPE_BUF);
    }
    return ::write(fd_, data, size);
#endif
}

bool OutputChannel::cut_back(uint64_t bytes) const {
#ifdef _WIN32
    (void)bytes;
    return false;
#else
    // Only while nothing was written after us: the file ends where we are.
    struct stat info {};
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    const auto cut = static_cast<off_t>(bytes);
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || end != info.st_size || end < cut ||
        ::ftruncate(fd_, end - cut) != 0) {
        return false;
    }
    return ::lseek(fd_, end - cut, SEEK_SET) == end - cut;
#endif
}

}  // namespace ostrane
