#pragma once

#include "capture/capture_engine.h"
#include "output/file_rotation.h"
#include "output/record_format.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ostrane {

// One record of the output stream is this 20-byte header, little-endian and
// unpadded, followed by `captured_length` packet bytes. There is no stream
// header or trailer.
struct PacketRecordHeader {
    static constexpr size_t kSize = 20;
    static constexpr uint32_t kMagic = 0x00544B50;  // the bytes "PKT\0"

    uint32_t magic = kMagic;
    double timestamp = 0.0;
    uint32_t original_length = 0;
    uint32_t captured_length = 0;

    static PacketRecordHeader from_packet(const CapturedPacket& packet);
    // Byte by byte, so neither struct layout nor host byte order leaks into the stream.
    void encode(uint8_t* out) const;
    static PacketRecordHeader decode(const uint8_t* in);
};

class StallClock;  // how long output waits for a stream that takes nothing

enum class OutputMode { Stdout = 0, File = 1 };

struct DispatcherConfig {
    OutputMode mode = OutputMode::Stdout;
    std::string output_path;  // File mode only; with rotation, the pattern of the names
    RecordFormat format = RecordFormat::Records;
    uint32_t linktype = 1;  // Pcap only: for the file header
    uint32_t snaplen = 262144;
    RotationConfig rotation;  // File mode only
};

// Frames packets into records and sends them out of the process in batches:
// dispatch() stages a record, and send_available() sends everything staged in
// one write. The capture calls it once it has caught up with the kernel's
// ring, so a record never waits for a later packet.
//
// A reader that pauses must not stop the capture from reading the kernel's
// ring: with a short read timeout each ring block holds only a few packets,
// and the ring would run out of blocks long before it runs out of bytes. So
// records the reader has no room for yet are held here, in a buffer that
// grows up to the hold limit (the kernel buffer's size), and
// records_room() tells the capture how many more it may read meanwhile.
//
// Counters count what reached the stream: bytes_written() is exactly the
// number of bytes the stream accepted, and packets_dispatched() the number of
// records that reached it whole. When the stream fails, bytes it did not
// accept stay pending and are retried later (never the ones it accepted), so
// no byte is ever written twice, and once a record has begun to go out its
// remaining bytes stay pending with it, so the stream never ends inside a
// record without saying so.
//
// A stream that takes nothing is waited for (back-pressure: by flush() and
// finish(), or by the capture loop through send_available() and
// reader_fd()) until a stop is requested; from then on it gets kStopGrace
// without progress, or until a second request, after which its pending
// bytes are abandoned and the dispatcher fails for good.
class PacketDispatcher {
public:
    static constexpr size_t kBufferCapacity = 262144;
    static constexpr std::chrono::seconds kStopGrace{1};

    explicit PacketDispatcher(const DispatcherConfig& config);
    virtual ~PacketDispatcher();
    PacketDispatcher(const PacketDispatcher&) = delete;
    PacketDispatcher& operator=(const PacketDispatcher&) = delete;

    // Pcap only, before init(): what the file header states. A live
    // capture knows them only once its handle is open.
    void set_link(uint32_t linktype, uint32_t snaplen) {
        linktype_ = linktype;
        snaplen_ = snaplen;
    }
    bool init();
    bool dispatch(const CapturedPacket& packet);
    // Waits until the stream has taken every pending byte (or, after a stop
    // request, gives up as described above).
    bool flush();
    // Sends what the stream takes now, without waiting for a reader. False
    // when the stream failed (for good, or for a while: a full disk), with
    // last_error() set; bytes a reader has no room for yet are simply held.
    bool send_available();
    // The last flush: what a full disk still holds gets the grace of a stop
    // request and is then abandoned. False only when bytes were abandoned,
    // whose count last_error() then gives.
    bool finish();
    void close();

    // The stop requests of the capture feeding this dispatcher; may be null.
    void watch_stop_requests(const std::atomic<unsigned>* requests) { stop_requests_ = requests; }
    // How many bytes of records may wait for a reader in memory; never less
    // than kBufferCapacity.
    void set_hold_limit(uint64_t bytes) { buffer_capacity_ = bytes > kBufferCapacity ? bytes : kBufferCapacity; }
    // While records wait for a reader that has no room: the descriptor that
    // will say when it has (POLLOUT); -1 otherwise.
    int reader_fd() const { return waiting_for_reader_ && write_pos_ > begin_ ? fd_ : -1; }
    // How many more records of up to `max_captured` packet bytes fit in what
    // may still be held, counting the space already sent only once reusing
    // it is cheap (it is at least as large as what is held): otherwise every
    // batch would move all the held bytes to make room for itself.
    uint64_t records_room(uint32_t max_captured) const;
    // Called about every 100 ms while the dispatcher waits for the stream,
    // so that the program stays responsive meanwhile (messages, counters).
    void set_wait_hook(std::function<void()> hook) { wait_hook_ = std::move(hook); }
    // Bytes accepted by dispatch() that the stream has not taken yet: records
    // held for a reader or while the disk is full.
    uint64_t pending_bytes() const { return write_pos_ - begin_; }
    // The stream refused the last bytes for lack of space (a full disk).
    bool out_of_space() const { return out_of_space_; }
    // The stream failed for good; dispatch() and flush() will not write again.
    bool failed() const { return broken_; }
    // The errno of the last write the stream refused (EPIPE: the reader went
    // away); 0 when none was, or when the wait for a stalled one was given up.
    int error_code() const { return error_code_; }
    // Part of a record has gone out, and the rest will not follow.
    bool ends_inside_record() const { return in_record_ && broken_; }
    // Records dispatch() accepted that will never reach the stream whole.
    uint64_t records_abandoned() const { return records_abandoned_; }
    // -G with -W has made its last file: dispatch() takes no more records.
    bool file_limit_reached() const { return files_done_; }

    std::string last_error() const { return last_error_; }
    uint64_t packets_dispatched() const { return packets_dispatched_; }
    uint64_t bytes_written() const { return bytes_written_; }

protected:
    // The one place bytes leave the process: like write(2), it returns how
    // many of them the stream took, or -1 with errno set. Tests script it.
    // The destructor's last flush reaches this class's own version, which
    // writes to the stream that init() opened.
    // cppcheck-suppress virtualCallInConstructor
    virtual long write_some(const uint8_t* data, size_t size);

private:
    bool write(const void* bytes, size_t length);
    bool flush(StallClock& stall, bool wait = true);
    size_t send(const uint8_t* data, size_t size, int& error, StallClock& stall, bool wait);
    void abandon(const char* why);
    bool cut_partial_record();
    void note_delivered(const uint8_t* from, uint64_t sent);
    // Moves the pending bytes to the front of the buffer.
    void compact();
    void waited();
    void open_private_descriptor();
    void release_private_descriptor();
    bool open_file(const std::string& path);
    bool write_file_header();
    bool rotate_if_due();

    OutputMode mode_;
    std::string output_path_;
    RecordFormat format_;
    uint32_t linktype_;
    uint32_t snaplen_;
    // The destination: one stream, or a file that gives way to the next.
    RotationConfig rotation_config_;
    FileRotation rotation_;
    bool rotating_ = false;
    uint64_t file_bytes_ = 0;  // bytes the current file took
    bool files_done_ = false;
    FILE* file_ = nullptr;
    bool owns_file_ = false;
    std::vector<uint8_t> buffer_;  // grows up to buffer_capacity_
    // Bytes [begin_, write_pos_) of buffer_ are pending; those before begin_
    // have gone out.
    uint64_t begin_ = 0;
    uint64_t write_pos_ = 0;
    uint64_t buffer_capacity_ = kBufferCapacity;
    uint64_t packets_dispatched_ = 0;
    uint64_t bytes_written_ = 0;
    std::string last_error_;

    // The descriptor the records go to: the stream's own, or a private one
    // of the same pipe opened non-blocking (owned_fd_), or a socket that is
    // written with MSG_DONTWAIT, or a pipe written in small pieces.
    int fd_ = -1;
    int owned_fd_ = -1;
    bool socket_ = false;
    bool small_writes_ = false;  // a blocking pipe, written without blocking
    // The stream failed in a way it cannot recover from (closed pipe, file
    // size limit, bad descriptor), as opposed to a full disk that may drain.
    bool broken_ = false;
    int error_code_ = 0;
    // Pending bytes outside dispatch() are the unsent remainder of whole
    // records that dispatch() accepted: `queued_records_` of them, the oldest
    // of which has `head_left_` bytes still to go.
    uint64_t queued_records_ = 0;
    uint64_t head_left_ = 0;
    uint64_t records_abandoned_ = 0;
    // The stream ends inside a record: part of one has gone out.
    bool in_record_ = false;
    uint64_t record_sent_ = 0;  // bytes of that record that went out
    // Offset in buffer_ of the record dispatch() is copying in, and whether
    // any of its bytes have already gone out.
    uint64_t record_start_ = 0;
    bool record_started_ = false;
    const std::atomic<unsigned>* stop_requests_ = nullptr;
    // The last send stopped at a reader with no room, or at a full disk.
    bool waiting_for_reader_ = false;
    bool out_of_space_ = false;
    // How long send_available() has seen no progress since a stop request:
    // it never waits, so it keeps its clock across calls.
    std::unique_ptr<StallClock> capture_stall_;
    std::function<void()> wait_hook_;
};

}  // namespace ostrane
