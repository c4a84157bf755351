#include "output/packet_dispatcher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostrane {

// Decides how long output may wait for a stream that takes nothing. While
// capturing it waits as long as it takes: that is back-pressure, and the
// kernel's ring absorbs the excess and counts what it drops. Once a stop has
// been requested, the stream gets kStopGrace from the request or from its
// last progress, and a second request ends the wait at once.
class StallClock {
public:
    // `stopping`: the capture is over, which counts as a first stop request.
    // A second request may already have ended the capture: it ends the wait.
    StallClock(const std::atomic<unsigned>* requests, bool stopping) : requests_(requests), stopping_(stopping) {}

    void progress() { since_.reset(); }
    bool give_up() {
        unsigned requests = requests_seen();
        if (stopping_) requests = std::max(requests, first_);
        if (requests == 0) return false;
        if (requests > first_) return true;
        const auto now = std::chrono::steady_clock::now();
        if (!since_) since_ = now;
        return now - *since_ >= PacketDispatcher::kStopGrace;
    }

private:
    unsigned requests_seen() const { return requests_ != nullptr ? requests_->load() : 0u; }

    const std::atomic<unsigned>* requests_;
    bool stopping_;
    unsigned first_ = 1;
    std::optional<std::chrono::steady_clock::time_point> since_;
};

namespace {

// A write that the stream will not take waits in slices this long, so that a
// stop request is seen even when no signal interrupts the wait.
constexpr int kWaitSliceMs = 100;
// Not errno values: the wait for the stream was given up; the stream has no
// room now and the caller does not wait for it.
constexpr int kAbandoned = -1;
constexpr int kWouldBlock = -2;

void sleep_slice() {
#ifdef _WIN32
    Sleep(kWaitSliceMs);
#else
    // poll() without descriptors: a plain sleep that a signal cuts short.
    (void)::poll(nullptr, 0, kWaitSliceMs);
#endif
}

// A full disk may drain, so the bytes stay pending for a later retry. Every
// other failure (closed pipe, file size limit, bad descriptor) is final.
bool may_recover(int error) {
#ifdef EDQUOT
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC;
}

int descriptor_of(FILE* file) {
#ifdef _WIN32
    return _fileno(file);
#else
    return fileno(file);
#endif
}

bool descriptor_is_open(int fd) {
#ifdef _WIN32
    return _get_osfhandle(fd) != -1;
#else
    return fd >= 0 && ::fcntl(fd, F_GETFL) != -1;
#endif
}

}  // namespace

PacketRecordHeader PacketRecordHeader::from_packet(const CapturedPacket& packet) {
    PacketRecordHeader header;
    header.timestamp = packet.timestamp;
    header.original_length = packet.original_length;
    header.captured_length = packet.captured_length;
    return header;
}

void PacketRecordHeader::encode(uint8_t* out) const {
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof timestamp, "IEEE 754 double expected");
    std::memcpy(&bits, &timestamp, sizeof bits);
    put_le32(out, magic);
    put_le32(out + 4, static_cast<uint32_t>(bits));
    put_le32(out + 8, static_cast<uint32_t>(bits >> 32));
    put_le32(out + 12, original_length);
    put_le32(out + 16, captured_length);
}

PacketRecordHeader PacketRecordHeader::decode(const uint8_t* in) {
    PacketRecordHeader header;
    header.magic = get_le32(in);
    const uint64_t bits = get_le32(in + 4) | (static_cast<uint64_t>(get_le32(in + 8)) << 32);
    std::memcpy(&header.timestamp, &bits, sizeof bits);
    header.original_length = get_le32(in + 12);
    header.captured_length = get_le32(in + 16);
    return header;
}

PacketDispatcher::PacketDispatcher(const DispatcherConfig& config)
    : mode_(config.mode),
      output_path_(config.output_path),
      format_(config.format),
      linktype_(config.linktype),
      snaplen_(config.snaplen),
      rotation_config_(config.rotation),
      buffer_(kBufferCapacity, 0) {}

// Out of line, where StallClock is complete.
PacketDispatcher::~PacketDispatcher() { close(); }

bool PacketDispatcher::init() {
    close();
    if (mode_ == OutputMode::File) {
        rotation_ = FileRotation(output_path_, rotation_config_);
        rotating_ = rotation_config_.max_bytes > 0 || rotation_config_.seconds > 0;
        files_done_ = false;
        if (!open_file(rotation_.start(std::time(nullptr)))) return false;
    } else {
#ifdef _WIN32
        // Text mode would turn every 0x0A byte of the stream into 0x0D 0x0A.
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        file_ = stdout;
        owns_file_ = false;
        fd_ = descriptor_of(file_);
    }
    begin_ = 0;
    write_pos_ = 0;
    waiting_for_reader_ = false;
    out_of_space_ = false;
    capture_stall_.reset();
    packets_dispatched_ = 0;
    bytes_written_ = 0;
    broken_ = false;
    error_code_ = 0;
    queued_records_ = 0;
    head_left_ = 0;
    records_abandoned_ = 0;
    in_record_ = false;
    record_sent_ = 0;
    if (!descriptor_is_open(fd_)) {
        // `ostrane ... >&-`: fail now rather than at the first packet.
        last_error_ = "Output stream is not open";
        close();
        return false;
    }
    open_private_descriptor();
    if (!write_file_header()) {
        close();
        return false;
    }
    return true;
}

bool PacketDispatcher::open_file(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error_code_ = errno;
        last_error_ = "Failed to open output file: " + path + ": " + std::strerror(error_code_);
        return false;
    }
    owns_file_ = true;
    fd_ = descriptor_of(file_);
    file_bytes_ = 0;
    return true;
}

// Sent before any record of the file is staged, so that the record
// accounting of the buffer never sees it; it counts as bytes written.
bool PacketDispatcher::write_file_header() {
    if (format_ != RecordFormat::Pcap) return true;
    const auto header = pcap_file_header(linktype_, snaplen_);
    StallClock stall(stop_requests_, false);
    int error = 0;
    const size_t sent = send(header.data(), header.size(), error, stall, true);
    bytes_written_ += sent;
    file_bytes_ += sent;
    if (sent == header.size()) return true;
    broken_ = true;
    if (error == kAbandoned) {  // a reader that took nothing, and a stop
        last_error_ = "Output blocked while stopping: abandoned the file header";
        return false;
    }
    error_code_ = error;
    last_error_ = "Write failed: wrote " + std::to_string(sent) + " of " + std::to_string(header.size()) +
                  " bytes of the file header: " + std::strerror(error);
    return false;
}

// Only between records and with nothing pending, so that every file is a
// whole pcap of its own: records a full disk holds stay with their file,
// and the next one begins once they are out.
bool PacketDispatcher::rotate_if_due() {
    const std::time_t now = rotation_.uses_clock() ? std::time(nullptr) : 0;
    if (!rotation_.due(file_bytes_ + pending_bytes(), now)) return true;
    // Without waiting: the loop must read on while a reader (of a FIFO)
    // pauses, and the records it holds meanwhile stay with this file.
    if (pending_bytes() > 0 && (!send_available() || pending_bytes() > 0)) return !broken_;
    const FileRotation::Step step = rotation_.advance(file_bytes_, now);
    if (step == FileRotation::Step::Stay) return true;
    if (step == FileRotation::Step::Stop) {
        files_done_ = true;
        last_error_ = "Maximum file limit reached: " + std::to_string(rotation_config_.max_files);
        return false;
    }
    release_private_descriptor();  // the next file may be a FIFO of its own
    if (std::fclose(file_) != 0) {
        file_ = nullptr;
        broken_ = true;
        error_code_ = errno;
        last_error_ = "Failed to close output file: " + std::string(std::strerror(errno));
        return false;
    }
    file_ = nullptr;
    if (!open_file(rotation_.name())) {
        broken_ = true;
        return false;
    }
    open_private_descriptor();
    return write_file_header();
}

// A blocking write to a reader that has stopped reading cannot be left for a
// stop request, so pipes and sockets are written without blocking. The flag
// must not go on the stream's own file description: in a pipeline that is
// shared with every other writer of the pipe, and it would outlive us.
void PacketDispatcher::open_private_descriptor() {
#ifndef _WIN32
    struct stat info {};
    const int access = ::fcntl(fd_, F_GETFL) & O_ACCMODE;
    if (::fstat(fd_, &info) != 0) return;
    if (S_ISSOCK(info.st_mode)) {
        socket_ = true;
    } else if (S_ISFIFO(info.st_mode)) {
        // A new file description of the same pipe, which is ours alone. Only
        // for a descriptor that may already write: this still runs with the
        // privileges to capture, and must not win write access to a FIFO the
        // user could only read. One that cannot write fails at its first write.
        if (access != O_WRONLY && access != O_RDWR) return;
        const std::string path = "/proc/self/fd/" + std::to_string(fd_);
        owned_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (owned_fd_ >= 0) {
            fd_ = owned_fd_;
        } else {
            // No /proc, or a pipe of another user: blocking writes of at
            // most PIPE_BUF bytes once poll() says there is room never block.
            small_writes_ = true;
        }
    }
#endif
}

bool PacketDispatcher::dispatch(const CapturedPacket& packet) {
    if (file_ == nullptr) {
        last_error_ = "Dispatcher not initialized";
        return false;
    }
    if (broken_) return false;  // last_error_ still says why
    if (packet.captured_length > 0 && packet.data == nullptr) {
        // A header promising bytes that never follow would desynchronise the reader.
        last_error_ = "Packet has no data";
        return false;
    }

    if (rotating_ && (files_done_ || !rotate_if_due())) return false;

    uint8_t header[kMaxRecordHeader];
    const size_t header_size = encode_record_header(format_, packet, header);

    record_start_ = write_pos_;
    record_started_ = false;
    if (!write(header, header_size) || !write(packet.data, packet.captured_length)) {
        // The record is not accepted. None of it has gone out (write() keeps
        // a record that has), so what is pending of it is dropped, and a
        // later flush cannot end the stream with half a record.
        if (!record_started_) write_pos_ = record_start_;
        return false;
    }
    if (queued_records_ == 0) head_left_ = pending_bytes();
    ++queued_records_;
    return true;
}

bool PacketDispatcher::write(const void* bytes, size_t length) {
    const auto* source = static_cast<const uint8_t*>(bytes);
    if (length > buffer_.size() - write_pos_) {
        // The space of bytes already sent is reused once it is at least as
        // large as what is held, so that no byte is moved more than once
        // on average; or when the limit leaves no other way.
        if (begin_ > 0 && (begin_ >= pending_bytes() || write_pos_ + length > buffer_capacity_)) {
            record_start_ -= std::min(record_start_, begin_);
            compact();
        }
        if (length > buffer_.size() - write_pos_ && buffer_.size() < buffer_capacity_) {
            buffer_.resize(std::min<uint64_t>(buffer_capacity_, std::max<uint64_t>(2 * buffer_.size(), write_pos_ + length)));
        }
    }
    if (length <= buffer_.size() - write_pos_) {  // the common case, once per packet
        if (length > 0) std::memcpy(buffer_.data() + write_pos_, source, length);  // a header-only record has no data
        write_pos_ += length;
        return true;
    }
    StallClock stall(stop_requests_, false);
    while (length > 0) {
        const uint64_t space = buffer_capacity_ - write_pos_;
        if (length <= space) {
            std::memcpy(buffer_.data() + write_pos_, source, length);
            write_pos_ += length;
            return true;
        }
        // A record larger than the room left leaves in buffer-sized pieces.
        std::memcpy(buffer_.data() + write_pos_, source, space);
        write_pos_ = buffer_capacity_;
        source += space;
        length -= space;
        const bool flushed = flush(stall);
        const uint64_t sent = buffer_capacity_ - pending_bytes();
        compact();
        record_started_ = record_started_ || sent > record_start_;
        record_start_ = record_start_ > sent ? record_start_ - sent : 0;
        if (flushed) continue;
        // Once part of the record is out, the rest has to follow it: the
        // reader could not find the next record otherwise. The flush has made
        // room at least the size of that part, which is all a record that
        // fits the buffer still needs; a larger one waits for the disk as
        // long as the capture would wait for a reader.
        if (!record_started_ || broken_) return false;
        if (write_pos_ < buffer_capacity_) continue;
        if (stall.give_up()) {
            abandon("Output blocked: abandoned ");
            return false;
        }
        waited();
        sleep_slice();
    }
    return true;
}

void PacketDispatcher::compact() {
    if (begin_ == 0) return;
    std::memmove(buffer_.data(), buffer_.data() + begin_, write_pos_ - begin_);
    write_pos_ -= begin_;
    begin_ = 0;
}

uint64_t PacketDispatcher::records_room(uint32_t max_captured) const {
    uint64_t room = buffer_capacity_ - write_pos_;
    if (begin_ >= pending_bytes()) room += begin_;
    return room / (PacketRecordHeader::kSize + uint64_t{max_captured});
}

bool PacketDispatcher::send_available() {
    if (!capture_stall_) capture_stall_ = std::make_unique<StallClock>(stop_requests_, false);
    return flush(*capture_stall_, false);
}

void PacketDispatcher::waited() {
    if (wait_hook_) wait_hook_();
}

bool PacketDispatcher::flush() {
    StallClock stall(stop_requests_, false);
    return flush(stall);
}

bool PacketDispatcher::flush(StallClock& stall, bool wait) {
    if (file_ == nullptr || pending_bytes() == 0) return true;
    if (broken_) return false;

    const uint64_t pending = pending_bytes();
    const uint8_t* from = buffer_.data() + begin_;
    int error = 0;
    const size_t sent = send(from, pending, error, stall, wait);
    note_delivered(from, sent);
    // Keep only what the stream did not take: resending any of the rest
    // would duplicate bytes the reader already has.
    begin_ += sent;
    waiting_for_reader_ = error == kWouldBlock;
    if (sent == pending) {
        begin_ = write_pos_ = 0;
        out_of_space_ = false;
        return true;
    }
    if (error == kWouldBlock) return true;  // held until the reader has room
    if (error == kAbandoned) {
        abandon("Output blocked while stopping: abandoned ");
        return false;
    }
    out_of_space_ = may_recover(error);
    broken_ = !out_of_space_;
    error_code_ = error;
    last_error_ = "Write failed: wrote " + std::to_string(sent) + " of " + std::to_string(pending) +
                  " bytes: " + std::strerror(error);
    return false;
}

// Hands the stream as many of the bytes as it will take and returns how many
// it took. The records go out through the descriptor rather than stdio: after
// a failed fflush, stdio cannot say how many bytes reached the stream (glibc
// drops its buffer), and without that count a retry either loses bytes or
// sends some twice.
size_t PacketDispatcher::send(const uint8_t* data, size_t size, int& error, StallClock& stall, bool wait) {
    size_t done = 0;
    error = 0;
    while (done < size) {
        const long n = write_some(data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            stall.progress();
            continue;
        }
#ifndef _WIN32
        // A full pipe or socket, or a blocking write cut short by a stop
        // request's signal.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (stall.give_up()) {
                error = kAbandoned;
                break;
            }
            if (!wait) {
                error = kWouldBlock;
                break;
            }
            waited();
            pollfd waiter{fd_, POLLOUT, 0};
            if (::poll(&waiter, 1, kWaitSliceMs) < 0 && errno != EINTR) {
                error = errno;
                break;
            }
            continue;
        }
#else
        // Writes block here: a reader without room is waited for inside them.
        (void)wait;
        if (n < 0 && errno == EINTR) continue;
#endif
        error = n < 0 ? errno : EIO;
        break;
    }
    return done;
}

long PacketDispatcher::write_some(const uint8_t* data, size_t size) {
#ifdef _WIN32
    return _write(fd_, data, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
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

bool PacketDispatcher::finish() {
    StallClock stall(stop_requests_, true);
    for (;;) {
        const uint64_t before = pending_bytes();
        if (flush(stall)) return true;
        if (broken_) {
            // A stream that failed for good takes nothing more: what it
            // still held is lost, and the report must say so (the flush has
            // said it already when it gave up the wait itself).
            if (pending_bytes() > 0) abandon("Output failed: abandoned ");
            return false;
        }
        // Only a full disk gets here: it has its grace like a stalled reader.
        if (pending_bytes() < before) stall.progress();
        if (stall.give_up()) {
            abandon("Output blocked while stopping: abandoned ");
            return false;
        }
        waited();
        sleep_slice();
    }
}

void PacketDispatcher::abandon(const char* why) {
    last_error_ = why + std::to_string(pending_bytes()) + " bytes";
    if (in_record_ && !cut_partial_record()) last_error_ += ", ending the stream inside a record";
    if (out_of_space_ && error_code_ != 0) last_error_ += std::string(": ") + std::strerror(error_code_);
    records_abandoned_ += queued_records_;
    begin_ = 0;
    write_pos_ = 0;
    record_start_ = 0;
    queued_records_ = 0;
    head_left_ = 0;
    broken_ = true;
}

// A file, unlike a pipe, can take back the part of a record that went out
// before the disk filled, so that it ends on a whole record and the count of
// bytes written is what it holds. Only while nothing was written after us.
bool PacketDispatcher::cut_partial_record() {
#ifdef _WIN32
    return false;
#else
    struct stat info {};
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || end != info.st_size ||
        end < static_cast<off_t>(record_sent_) || ::ftruncate(fd_, end - static_cast<off_t>(record_sent_)) != 0) {
        return false;
    }
    (void)::lseek(fd_, end - static_cast<off_t>(record_sent_), SEEK_SET);
    bytes_written_ -= record_sent_;
    file_bytes_ -= record_sent_;
    record_sent_ = 0;
    in_record_ = false;
    return true;
#endif
}

void PacketDispatcher::note_delivered(const uint8_t* from, uint64_t sent) {
    bytes_written_ += sent;
    file_bytes_ += sent;
    uint64_t offset = 0;
    while (queued_records_ > 0 && sent >= head_left_) {
        sent -= head_left_;
        offset += head_left_;
        ++packets_dispatched_;
        --queued_records_;
        in_record_ = false;
        record_sent_ = 0;
        // Records behind the head are still whole in the buffer, so the next
        // one's length can be read from its own header.
        head_left_ = queued_records_ > 0 ? stored_record_length(format_, from + offset) : 0;
    }
    // What is left went out of the oldest record still queued, or of the one
    // dispatch() is copying in.
    if (sent == 0) return;
    in_record_ = true;
    record_sent_ += sent;
    if (queued_records_ > 0) head_left_ -= sent;
}

void PacketDispatcher::release_private_descriptor() {
#ifndef _WIN32
    if (owned_fd_ >= 0) (void)::close(owned_fd_);
#endif
    owned_fd_ = -1;
    socket_ = false;
    small_writes_ = false;
}

void PacketDispatcher::close() {
    if (file_ == nullptr) return;
    flush();
    capture_stall_.reset();
    release_private_descriptor();
    // Nothing is buffered in stdio, but a file system may still report a
    // deferred write error when the file is closed.
    if (owns_file_ && std::fclose(file_) != 0) last_error_ = "Failed to close output file: " + output_path_;
    file_ = nullptr;
    owns_file_ = false;
    fd_ = -1;
}

}  // namespace ostrane
