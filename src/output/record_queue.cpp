#include "output/record_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ostrane {

namespace {

constexpr uint32_t kNotPacket = 0x80000000u;
// Most captures never hold more than this; -b sets how far it may grow.
constexpr uint64_t kFirstCapacity = RecordQueue::kLargestRecord;
// Far more than any batch; keeps records × bytes clear of overflow.
constexpr uint64_t kMostRecords = uint64_t{1} << 20;

}  // namespace

// Compacting and growing each move every held byte. Either is done only when
// the space they win is at least a quarter of what they move, so a byte is
// moved a few times at most however slowly the reader takes them.
bool RecordQueue::make_room(uint64_t bytes) {
    if (capacity_ - end_ >= bytes) return true;
    const uint64_t held = size();
    const bool fits_after_compacting = capacity_ - held >= bytes;
    if (begin_ >= held && fits_after_compacting) {
        std::memmove(buffer_.get(), data(), held);
        begin_ = 0;
        end_ = held;
        return true;
    }
    if (capacity_ < limit_) {
        const uint64_t grown = std::min(limit_, std::max({2 * capacity_, held + bytes, kFirstCapacity}));
        std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[grown]);
        if (bigger) {
            if (held > 0) std::memcpy(bigger.get(), data(), held);
            buffer_ = std::move(bigger);
            capacity_ = grown;
            begin_ = 0;
            end_ = held;
            return capacity_ - end_ >= bytes;
        }
        // The hold is full at what it has: the kernel's ring holds the rest.
        refused_ = true;
        limit_ = capacity_;
    }
    if (begin_ > 0 && begin_ >= held / 4 && fits_after_compacting) {
        std::memmove(buffer_.get(), data(), held);
        begin_ = 0;
        end_ = held;
        return true;
    }
    return false;
}

uint64_t RecordQueue::reserve(uint64_t records, uint64_t record_bytes, uint64_t extra) {
    if (record_bytes == 0) return records;
    records = std::min(records, kMostRecords);
    // Less than asked for is still worth having.
    if (!make_room(records * record_bytes + extra)) (void)make_room(record_bytes + extra);
    const uint64_t free = capacity_ - end_;
    return free > extra ? std::min(records, (free - extra) / record_bytes) : 0;
}

bool RecordQueue::push(const uint8_t* head, size_t head_size, const uint8_t* body, size_t body_size, bool packet,
                       const uint8_t* tail, size_t tail_size) {
    const uint64_t bytes = uint64_t{head_size} + body_size + tail_size;
    if (bytes >= kNotPacket || !make_room(bytes)) return false;
    uint8_t* at = buffer_.get() + end_;
    std::memcpy(at, head, head_size);
    // A header-only record has neither body nor tail.
    if (body_size > 0) std::memcpy(at + head_size, body, body_size);
    if (tail_size > 0) std::memcpy(at + head_size + body_size, tail, tail_size);
    end_ += bytes;
    lengths_.push_back(static_cast<uint32_t>(bytes) | (packet ? 0 : kNotPacket));
    return true;
}

uint64_t RecordQueue::consume(uint64_t sent) {
    begin_ += sent;
    uint64_t out = head_sent_ + sent;
    uint64_t packets = 0;
    while (!lengths_.empty() && out >= (lengths_.front() & ~kNotPacket)) {
        out -= lengths_.front() & ~kNotPacket;
        packets += (lengths_.front() & kNotPacket) == 0 ? 1 : 0;
        lengths_.pop_front();
    }
    head_sent_ = out;
    if (begin_ == end_) begin_ = end_ = 0;
    return packets;
}

uint64_t RecordQueue::clear() {
    const auto packets = static_cast<uint64_t>(
        std::count_if(lengths_.begin(), lengths_.end(), [](uint32_t length) { return (length & kNotPacket) == 0; }));
    lengths_.clear();
    begin_ = end_ = head_sent_ = 0;
    return packets;
}

}  // namespace ostrane
