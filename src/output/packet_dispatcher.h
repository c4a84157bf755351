#pragma once

#include "capture/capture_engine.h"
#include "output/file_rotation.h"
#include "output/output_channel.h"
#include "output/record_format.h"
#include "output/record_queue.h"

#include <cstddef>
#include <cstdint>
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

enum class OutputMode { Stdout = 0, File = 1 };

struct DispatcherConfig {
    OutputMode mode = OutputMode::Stdout;
    std::string output_path;  // File mode only; with rotation, the pattern of the names
    RecordFormat format = RecordFormat::Records;
    // What a file says of each interface; a pcap file, of the first (the
    // others have its link type).
    std::vector<LinkDescription> links{LinkDescription{}};
    RotationConfig rotation;  // File mode only
};

// Frames packets into records, queues them whole, and sends what the output
// takes whenever send() is called; it never waits. The capture loop decides
// when to send, and waits on fd() when the output has no room.
//
// Counters count what reached the output: bytes_written() is exactly the
// number of bytes it accepted, and packets_dispatched() the number of
// records that reached it whole. No byte is written twice.
class PacketDispatcher {
public:
    enum class Sent {
        All,      // nothing is queued
        Blocked,  // the reader has no room yet: POLLOUT on fd() says when
        Full,     // the disk is full (ENOSPC, EDQUOT): held, to retry later
        Failed,   // for good; error_code() and last_error() say why
    };

    explicit PacketDispatcher(const DispatcherConfig& config,
                              std::unique_ptr<OutputChannel> channel = std::make_unique<OutputChannel>());
    virtual ~PacketDispatcher();
    PacketDispatcher(const PacketDispatcher&) = delete;
    PacketDispatcher& operator=(const PacketDispatcher&) = delete;

    // Before init(): what a file's header states. A live capture knows the
    // link only once its handle is open.
    void set_links(std::vector<LinkDescription> links) { config_.links = std::move(links); }
    // Where a pcapng file's closing statistics come from when a rotation
    // closes it.
    void set_counters(std::function<std::vector<CaptureStats>()> counters) { hooks_.counters = std::move(counters); }
    // Told the name of each file a rotation closed whole.
    void set_file_closed(std::function<void(const std::string&)> closed) { hooks_.file_closed = std::move(closed); }
    // How many bytes of records may wait for the output in memory.
    void set_hold_limit(uint64_t bytes) { queue_.set_limit(bytes); }
    bool init();
    // Queues one record, and with -C or -G moves to the next file first when
    // one is due. False when the record was not queued: the output failed,
    // or -G with -W made its last file (file_limit_reached()).
    bool dispatch(const CapturedPacket& packet);
    Sent send();
    // Makes room for up to `records` more records of up to `max_captured`
    // packet bytes, as far as the hold limit and memory allow, and returns
    // how many fit: the capture reads no more than that, so that a packet it
    // reads always has its place. The room is only address space until
    // records fill it.
    uint64_t room(uint64_t records, uint32_t max_captured) {
        // A rotation puts the next file's header among them.
        const bool rotating = config_.rotation.max_bytes > 0 || config_.rotation.seconds > 0;
        return queue_.reserve(records, kMaxRecordHeader + kMaxRecordTrailer + uint64_t{max_captured},
                              rotating ? file_header_.size() : 0);
    }
    // Once the last packet is queued, and nothing is: queues what ends the
    // file (a pcapng file's statistics, from each interface's `stats`), if
    // the format has it and the file has not had it. False when nothing was
    // queued.
    bool finish(const std::vector<CaptureStats>& stats);
    // Gives up what is queued and returns how many packets that was. A file
    // is cut back to its last whole record; elsewhere the stream may now end
    // inside one (ends_inside_record()).
    uint64_t abandon();
    // False when the output could not be closed cleanly (a deferred write
    // error), with last_error() set.
    bool close();

    int fd() const { return channel_->fd(); }
    uint64_t pending_bytes() const { return queue_.size(); }
    bool ends_inside_record() const { return inside_record_; }
    bool file_limit_reached() const { return files_done_; }
    // File mode: the name of the file being written, or written last.
    std::string file_name() const { return file_.path; }
    bool memory_refused() const { return queue_.memory_refused(); }
    // The errno of the write that failed, or 0.
    int error_code() const { return error_code_; }
    std::string last_error() const { return last_error_; }
    uint64_t packets_dispatched() const { return packets_dispatched_; }
    uint64_t bytes_written() const { return bytes_written_; }

private:
    bool open_destination(const std::string& path);
    bool attach_stdout();
    bool rotate_if_due();
    bool queue_closing(const std::vector<CaptureStats>& stats);

    DispatcherConfig config_;
    FileRotation rotation_;
    std::unique_ptr<OutputChannel> channel_;
    RecordQueue queue_;
    struct Hooks {  // what the dispatcher asks of its owner
        std::function<std::vector<CaptureStats>()> counters;
        std::function<void(const std::string&)> file_closed;
    } hooks_;
    std::vector<uint8_t> file_header_;  // what each file begins with
    int64_t started_ns_ = 0;   // wall clock, when the output opened
    struct File {  // the one being written
        std::string path;
        uint64_t bytes = 0;  // that it took
        bool created = false;  // by this run: it did not exist
        // It has its last block queued, or is to end as it is.
        bool closing_queued = false;
    } file_;
    bool files_done_ = false;
    bool inside_record_ = false;
    int error_code_ = 0;
    uint64_t packets_dispatched_ = 0;
    uint64_t bytes_written_ = 0;
    std::string last_error_;
};

}  // namespace ostrane
