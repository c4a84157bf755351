#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrane {

// One descriptor that the process writes to without ever blocking: the
// records' destination or standard error. A pipe, a FIFO or a terminal is
// written through a file description of our own opened non-blocking, a
// socket with non-blocking sends; a regular file never blocks anyway. Only
// the capture loop waits, on fd().
class OutputChannel {
public:
    OutputChannel() = default;
    virtual ~OutputChannel();
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;

    // A descriptor the process inherited (standard output or error), which
    // stays open. `terminal`: a terminal is written without blocking too.
    bool attach(int fd, bool terminal);
    // Creates or truncates `path`; the channel owns the descriptor.
    bool open(const std::string& path);
    // Releases the descriptor. False when closing reported a deferred write
    // error (NFS, a quota), which error() then describes.
    bool close();

    // Hands over as many of `size` bytes as the descriptor takes now and
    // returns how many it took; `error` is 0 when it took them all, EAGAIN
    // when it has no room yet, or the errno of the write that failed.
    size_t send(const uint8_t* data, size_t size, int& error);
    // A regular file gives back its last `bytes`, so that it ends on a whole
    // record; false anywhere else.
    bool cut_back(uint64_t bytes) const;
    // What to poll: POLLOUT says there is room, POLLERR that the reader left.
    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

protected:
    // The one place bytes leave the process: like write(2). Tests script it.
    virtual long write_some(const uint8_t* data, size_t size);

private:
    void go_non_blocking(bool terminal);

    int fd_ = -1;
    int owned_fd_ = -1;          // ours to close: an opened file, or a private description
    bool socket_ = false;        // written with MSG_DONTWAIT
    bool small_writes_ = false;  // a blocking pipe: poll, then at most PIPE_BUF
    std::string path_;           // of an opened file
    std::string error_;
};

}  // namespace ostrane
