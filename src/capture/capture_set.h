#pragma once

#include "capture/capture_engine.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrane {

// The live captures of one run, one per interface, read as one: in turns,
// so that a busy interface does not keep a quiet one's packets waiting, and
// each packet under its own interface (CapturedPacket::interface_index, its place
// here). They share everything but the device.
class CaptureSet {
public:
    explicit CaptureSet(const std::vector<CaptureConfig>& configs);

    size_t size() const { return engines_.size(); }
    CaptureEngine& at(size_t index) { return *engines_[index]; }
    const CaptureEngine& at(size_t index) const { return *engines_[index]; }
    const CaptureConfig& config() const { return engines_.front()->config(); }

    // At most `max_packets` of what the captures have ready, as
    // CaptureEngine::read. One that fails (its interface went away) is read
    // no more, and last_error() says why, while the others are read on; -1
    // once none is left.
    int read(int max_packets);
    bool failed() const { return !last_error_.empty(); }
    void set_callback(const PacketCallback& callback);
    void set_cutoff(int64_t wall_us);
    // Every capture still read came to a packet stamped after the cut-off.
    bool saw_late() const;
    // What to poll for packets: -1 where nothing can be polled.
    std::vector<int> selectable_fds() const;
    int required_timeout_ms() const;
    uint32_t max_captured_length() const;
    // The fewest slots of any of our own rings (0: none has one), and
    // whether any capture reads libpcap's ring.
    uint32_t ring_slots() const;
    bool reads_libpcap() const;
    CaptureStats get_stats() const { return total(each_stats()); }
    std::vector<CaptureStats> each_stats() const;
    static CaptureStats total(const std::vector<CaptureStats>& each);
    std::string last_error() const { return last_error_; }

private:
    std::vector<std::unique_ptr<CaptureEngine>> engines_;
    std::vector<bool> failed_;  // read no more
    size_t next_ = 0;  // the capture read first at the next read()
    std::string last_error_;
};

}  // namespace ostrane
