#include "output/packet_dispatcher.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace ostrane {

namespace {

// A full disk may drain, so the records stay queued for a later retry. Every
// other failure (closed pipe, file size limit, I/O error) is final.
bool may_recover(int error) {
#ifdef EDQUOT
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC;
}

int64_t wall_ns() {
    using std::chrono::system_clock;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(system_clock::now().time_since_epoch()).count();
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

PacketDispatcher::PacketDispatcher(const DispatcherConfig& config, std::unique_ptr<OutputChannel> channel)
    : config_(config), channel_(std::move(channel)) {}

PacketDispatcher::~PacketDispatcher() { (void)close(); }

bool PacketDispatcher::init() {
    (void)close();
    (void)queue_.clear();
    packets_dispatched_ = bytes_written_ = 0;
    error_code_ = 0;
    files_done_ = inside_record_ = false;
    started_ns_ = wall_ns();
    file_header_.clear();
    if (config_.format == RecordFormat::Pcap) {
        const auto header = pcap_file_header(config_.links.front());
        file_header_.assign(header.begin(), header.end());
    } else if (config_.format == RecordFormat::Pcapng) {
        file_header_ = pcapng_file_header(config_.links);
    }
    if (config_.mode == OutputMode::File) {
        rotation_ = FileRotation(config_.output_path, config_.rotation);
        if (!open_destination(rotation_.start(std::time(nullptr)))) return false;
    } else if (!attach_stdout()) {
        return false;
    }
    // A destination that takes nothing at all (a full disk, /dev/full) is
    // said now rather than at the first packet; a pipe without room yet is
    // waited for by the capture.
    const Sent sent = send();
    if (sent != Sent::Full && sent != Sent::Failed) return true;
    (void)close();
    return false;
}

bool PacketDispatcher::attach_stdout() {
#ifdef _WIN32
    // Text mode would turn every 0x0A byte of the stream into 0x0D 0x0A.
    _setmode(_fileno(stdout), _O_BINARY);
    const int out = _fileno(stdout);
#else
    const int out = fileno(stdout);
#endif
    if (!channel_->attach(out, false)) {
        last_error_ = channel_->error();
        return false;
    }
    return open_destination({});
}

// An empty path: standard output, which init() attaches.
bool PacketDispatcher::open_destination(const std::string& path) {
    std::error_code error;
    // Only a file this run made is ours to take back (see close()).
    file_ = {path, 0, !path.empty() && !std::filesystem::exists(std::filesystem::symlink_status(path, error)), false};
    if (!path.empty() && !channel_->open(path)) {
        error_code_ = errno;
        last_error_ = channel_->error();
        return false;
    }
    // Queued like a record, so that it goes out in order with them; it
    // counts as bytes written, not as a packet.
    if (file_header_.empty() || queue_.push(file_header_.data(), file_header_.size(), nullptr, 0, false)) return true;
    last_error_ = "No room to hold the file's header";
    return false;
}

bool PacketDispatcher::dispatch(const CapturedPacket& packet) {
    if (!channel_->is_open()) {
        last_error_ = "Dispatcher not initialized";
        return false;
    }
    if (error_code_ != 0 && !may_recover(error_code_)) return false;  // last_error_ still says why
    if (packet.captured_length > 0 && packet.data == nullptr) {
        // A header promising bytes that never follow would desynchronise the reader.
        last_error_ = "Packet has no data";
        return false;
    }
    const RotationConfig& rotation = config_.rotation;
    if (config_.mode == OutputMode::File && (rotation.max_bytes > 0 || rotation.seconds > 0) && !rotate_if_due()) {
        return false;
    }
    uint8_t header[kMaxRecordHeader];
    uint8_t trailer[kMaxRecordTrailer];
    const size_t header_size = encode_record_header(config_.format, config_.links.front(), packet, header);
    const size_t trailer_size = encode_record_trailer(config_.format, packet, trailer);
    if (queue_.push(header, header_size, packet.data, packet.captured_length, true, trailer, trailer_size)) return true;
    last_error_ = "No room to hold the record";
    return false;
}

// Only between records and with nothing queued, so that every file is a
// whole pcap of its own: records that a full disk or a FIFO's paused reader
// holds stay with their file, and the next one begins once they are out.
bool PacketDispatcher::rotate_if_due() {
    // After the last file of -G with -W the period stays due, and each
    // record meets the end again.
    const std::time_t now = rotation_.uses_clock() ? std::time(nullptr) : 0;
    if (!rotation_.due(file_.bytes + queue_.size(), now)) return true;
    if (!queue_.empty()) {
        const Sent sent = send();
        if (sent != Sent::All) return sent != Sent::Failed;
    }
    // Decided before the file's closing block goes out, and taken only once
    // it has: a rotation that has to wait for the disk is decided again.
    FileRotation next = rotation_;
    const FileRotation::Step step = next.advance(file_.bytes, now);
    if (step == FileRotation::Step::Next && queue_closing(hooks_.counters ? hooks_.counters() : std::vector<CaptureStats>{})) {
        const Sent sent = send();
        if (sent == Sent::Failed) return false;
        if (sent != Sent::All) {
            // The packet stays with this file, whose statistics must stay
            // last: unless some went out, they are taken back, and made
            // again when the rotation is tried again.
            if (queue_.head_sent() == 0) {
                (void)queue_.clear();
                file_.closing_queued = false;
            }
            return true;
        }
    }
    if (step == FileRotation::Step::Stop) {
        // The file stays the last one, and file_name() its name.
        files_done_ = true;
        last_error_ = "Maximum file limit reached: " + std::to_string(config_.rotation.max_files);
        return false;
    }
    rotation_ = next;
    if (step == FileRotation::Step::Stay) return true;
    const std::string closed = file_.path;
    if (!close()) return false;
    if (hooks_.file_closed) hooks_.file_closed(closed);
    return open_destination(rotation_.name());
}

bool PacketDispatcher::finish(const std::vector<CaptureStats>& stats) {
    return channel_->is_open() && error_code_ == 0 && queue_closing(stats);
}

bool PacketDispatcher::queue_closing(const std::vector<CaptureStats>& stats) {
    if (config_.format != RecordFormat::Pcapng || file_.closing_queued) return false;
    std::vector<uint8_t> block;
    const int64_t now = wall_ns();
    for (uint32_t index = 0; index < config_.links.size(); ++index) {
        const std::vector<uint8_t> one = pcapng_statistics(config_.links.front().nano, index, started_ns_, now,
                                                           index < stats.size() ? stats[index] : CaptureStats{});
        block.insert(block.end(), one.begin(), one.end());
    }
    // Without room, the file ends on its last packet, which is whole.
    file_.closing_queued = queue_.push(block.data(), block.size(), nullptr, 0, false);
    return file_.closing_queued;
}

PacketDispatcher::Sent PacketDispatcher::send() {
    if (queue_.empty()) return Sent::All;
    if (error_code_ != 0 && !may_recover(error_code_)) return Sent::Failed;
    const uint64_t pending = queue_.size();
    int error = 0;
    const size_t sent = channel_->send(queue_.data(), pending, error);
    bytes_written_ += sent;
    file_.bytes += sent;
    packets_dispatched_ += queue_.consume(sent);
    if (error == 0 || error == EAGAIN) {
        error_code_ = 0;
        return error == 0 ? Sent::All : Sent::Blocked;
    }
    error_code_ = error;
    last_error_ = "Write failed: wrote " + std::to_string(sent) + " of " + std::to_string(pending) +
                  " bytes: " + std::strerror(error);
    return may_recover(error) ? Sent::Full : Sent::Failed;
}

// A file, unlike a pipe, can take back the part of a record that went out,
// so that it ends on a whole record and bytes_written() is what it holds.
uint64_t PacketDispatcher::abandon() {
    // What is given up may be the file's header: nothing more goes into it.
    file_.closing_queued = true;
    const uint64_t head = queue_.head_sent();
    inside_record_ = head > 0 && !channel_->cut_back(head);
    if (head > 0 && !inside_record_) {
        bytes_written_ -= head;
        file_.bytes -= head;
    }
    return queue_.clear();
}

bool PacketDispatcher::close() {
    if (!channel_->is_open()) return true;
    const bool closed = channel_->close();
    // A file this run made that never got its header (a disk full from the
    // start) is no capture file: no tool could read it, and nothing was in it.
    if (file_.created && !file_header_.empty() && file_.bytes == 0) {
        std::error_code error;
        (void)std::filesystem::remove(file_.path, error);
    }
    if (closed) return true;
    if (error_code_ == 0) error_code_ = EIO;
    last_error_ = channel_->error();
    return false;
}

}  // namespace ostrane
