#pragma once

#include "capture/capture_engine.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ostrane {

// A receive ring of our own on a Linux packet socket, for the Ethernet-like
// devices (Ethernet, veth, loopback). libpcap's TPACKET_V3 ring retires a
// 256 KiB block at every read timeout once it holds a packet, so while the
// process does not run (Ctrl+Z, a CPU quota, a paused VM) it holds blocks ×
// timeout, 64 ms at 1 ms. This ring is TPACKET_V2: a slot per packet, each
// visible at once, with no timer, so it holds as many packets as it has
// slots (8 192 in 16 MiB), however slowly they come. A packet larger than a
// slot is still captured whole: the kernel queues a full copy on the socket
// and marks the slot, and the copy is read in its place.
class PacketRing {
public:
    struct Options {
        uint32_t snaplen = 262144;
        bool promiscuous = true;
        bool nano = false;  // tv_usec carries nanoseconds, as libpcap's nanosecond handles
        PacketDirection direction = PacketDirection::InOut;
    };

    PacketRing() = default;
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // `program` is compiled on an activated libpcap handle of the same
    // device, so that it is the code libpcap would give the kernel, and its
    // return value cuts packets at the snap length. False with last_error() set
    // when the ring cannot be had; libpcap's own ring is then used.
    bool open(const std::string& device, const bpf_program& program, int ring_bytes, const Options& options);
    // As pcap_dispatch: at most `max_packets` to `handler`, never waiting;
    // the count delivered, or -1 when the capture failed (last_error()).
    int read(int max_packets, pcap_handler handler, u_char* user);
    int fd() const { return fd_; }
    uint32_t slots() const { return frame_count_; }
    // Packets the kernel received for the ring, and those it dropped.
    std::pair<uint64_t, uint64_t> stats() const;
    std::string last_error() const { return last_error_; }

private:
    void close();
    bool fail(const std::string& step);
    bool deliver(uint8_t* frame, uint32_t status, pcap_handler handler, u_char* user);
    bool take_copy(uint32_t length, uint32_t& captured);
    bool lost() { ++cut_short_; return false; }
    bool still_up();
    uint8_t* slot(uint32_t index) const {
        return &ring_[size_t{index / frames_per_block_} * kBlock + size_t{index % frames_per_block_} * frame_size_];
    }
    size_t ring_size() const { return size_t{frame_count_ / frames_per_block_} * kBlock; }

    static constexpr uint32_t kBlock = 65536;

    int fd_ = -1;
    int ifindex_ = 0;
    std::string device_;
    uint8_t* ring_ = nullptr;
    uint32_t frame_size_ = 0;
    uint32_t frames_per_block_ = 0;
    uint32_t frame_count_ = 0;
    uint32_t head_ = 0;
    Options options_;
    bool down_ = false;  // ENETDOWN came: from then on the device is looked for when the ring is empty
    std::vector<u_char> copy_;  // a packet too large for its slot, with room for a VLAN tag
    // The kernel's counters reset as they are read; these are the totals.
    mutable uint64_t received_ = 0;
    mutable uint64_t dropped_ = 0;
    uint64_t cut_short_ = 0;  // too large for a slot when the copies' queue was full
    std::string last_error_;
};

}  // namespace ostrane
