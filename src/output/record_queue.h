#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace ostrane {

// The records that wait for the output, oldest first, as one run of bytes:
// a record goes in whole or not at all, and a write that took part of them
// retires the records it completed. Nothing else in the program knows about
// partial writes. No I/O here.
//
// It grows as needed up to its limit; memory that cannot be had makes the
// limit what it has (the hold is full), and nothing is thrown.
class RecordQueue {
public:
    // The largest record: libpcap's largest snap length and the largest
    // framing (a pcapng block's).
    static constexpr uint64_t kLargestRecord = 262144 + 36;

    explicit RecordQueue(uint64_t limit = kLargestRecord) { set_limit(limit); }

    // Never below the largest record, which must always fit an empty queue.
    void set_limit(uint64_t bytes) { limit_ = bytes > kLargestRecord ? bytes : kLargestRecord; }
    // Makes room, as far as the limit and memory allow, for up to `records`
    // more records of at most `record_bytes` each and `extra` bytes besides,
    // and returns how many records fit.
    uint64_t reserve(uint64_t records, uint64_t record_bytes, uint64_t extra = 0);
    // One record, its header, its body and its trailer; false when it does
    // not fit. `packet` false: a file's header or closing block, which
    // counts as bytes but not as a packet.
    bool push(const uint8_t* head, size_t head_size, const uint8_t* body, size_t body_size, bool packet = true,
              const uint8_t* tail = nullptr, size_t tail_size = 0);

    // The bytes still to go out.
    const uint8_t* data() const { return buffer_.get() + begin_; }
    uint64_t size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }
    // The first `sent` bytes of data() went out: returns how many packets
    // they completed.
    uint64_t consume(uint64_t sent);
    // How much of the oldest record has gone out (0: none; the stream is
    // between records).
    uint64_t head_sent() const { return head_sent_; }
    // Gives up everything queued; returns how many packets that was.
    uint64_t clear();
    // Memory was refused: the limit is now what could be had.
    bool memory_refused() const { return refused_; }

private:
    bool make_room(uint64_t bytes);

    std::unique_ptr<uint8_t[]> buffer_;
    uint64_t capacity_ = 0;
    uint64_t limit_ = kLargestRecord;
    uint64_t begin_ = 0;  // bytes before it have gone out
    uint64_t end_ = 0;
    // Each queued record's whole length; kNotPacket marks a file header.
    std::deque<uint32_t> lengths_;
    uint64_t head_sent_ = 0;
    bool refused_ = false;
};

}  // namespace ostrane
