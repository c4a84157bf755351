#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace ostrane {

class PacketRing;

// tcpdump's -Q: the packets the host received, those it sent, or both.
enum class PacketDirection { InOut, In, Out };

struct CaptureConfig {
    std::string interface_name;
    std::string filter;             // empty: no filter
    int32_t snaplen = 65535;
    int32_t buffer_size_mb = 16;
    bool promiscuous = true;
    bool nano = false;  // timestamps to the nanosecond
    PacketDirection direction = PacketDirection::InOut;
    // How long a ring block that holds packets stays open: the latency of a
    // packet on a quiet link. The loop's own idle wait does not follow it.
    int32_t timeout_ms = 1;
    int32_t dispatch_batch = 64;
};

// One packet as libpcap delivered it. `data` points into libpcap's buffer and
// is valid only while the callback that received it runs.
struct CapturedPacket {
    double timestamp = 0.0;         // seconds since the Unix epoch, to the microsecond
    uint32_t original_length = 0;   // length on the wire
    uint32_t captured_length = 0;   // bytes present at `data`
    const uint8_t* data = nullptr;
    // The same time exactly, for the files: to the nanosecond when the
    // capture was asked for nanoseconds.
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    uint32_t interface_index = 0;  // which of the capture's interfaces, from 0
};

using PacketCallback = std::function<void(const CapturedPacket&)>;

struct CaptureStats {
    uint64_t packets_received = 0;
    uint64_t packets_dropped = 0;
};

// The mapping from libpcap's header to a CapturedPacket; `nano`: the handle
// gives nanoseconds in tv_usec. The microseconds are divided before the
// seconds are added, and the result is part of the record stream, so the
// order of operations must not change; nanoseconds are cut to microseconds
// first, as libpcap cuts the kernel's, so that the stream is the same either way.
inline CapturedPacket to_captured_packet(const pcap_pkthdr& header, const u_char* bytes, bool nano = false) {
    CapturedPacket packet;
    const auto fraction = static_cast<uint32_t>(header.ts.tv_usec);
    const uint32_t micros = nano ? fraction / 1000 : fraction;
    packet.timestamp = static_cast<double>(micros) / 1000000.0 + static_cast<double>(header.ts.tv_sec);
    packet.seconds = header.ts.tv_sec;
    packet.nanoseconds = nano ? fraction : fraction * 1000;
    packet.original_length = header.len;
    packet.captured_length = header.caplen;
    packet.data = bytes;
    return packet;
}

// The kernel buffer size in bytes for a size in MiB, clamped to what
// pcap_set_buffer_size's int can carry.
int buffer_size_bytes(int32_t buffer_size_mb);

// One live capture, opened non-blocking: it reads what the kernel has ready
// and never waits. The capture loop waits on selectable_fd() and decides how
// much to read. libpcap opens the device and compiles the filter; on Linux,
// an Ethernet-like device is then read from a ring of our own (PacketRing),
// and anything else from libpcap's handle.
class CaptureEngine {
public:
    explicit CaptureEngine(const CaptureConfig& config);
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    bool open();

    // Delivers to the callback at most `max_packets` of the packets ready
    // now, and returns how many libpcap read (0: none was ready), or -1 with
    // last_error() set when the capture failed (the interface went away).
    int read(int max_packets);
    void set_callback(PacketCallback callback) { callback_ = std::move(callback); }
    // What its packets carry as their interface: its place among several.
    void set_index(uint32_t index) { index_ = index; }
    // Packets stamped after `wall_us` (microseconds since the epoch) came
    // after a stop request: they are read but not delivered, and saw_late()
    // says that one came. 0: no cut-off.
    void set_cutoff(int64_t wall_us) { cutoff_us_ = wall_us; }
    bool saw_late() const { return saw_late_; }
    // What to poll for packets (-1 where nothing can be polled), and how
    // soon libpcap must be called again whatever it says (-1: no limit).
    int selectable_fd() const;
    int required_timeout_ms() const;
    // The most bytes libpcap puts in one packet's captured data.
    uint32_t max_captured_length() const;
    // How many packets our own ring holds however slowly they come; 0 when
    // libpcap's ring is read, which holds blocks for a read timeout each.
    uint32_t ring_slots() const;

    CaptureStats get_stats() const;
    // The open handle's link type (pcap_datalink) and snap length
    // (pcap_snapshot), as a pcap file of its packets states them; -1 without one.
    int datalink() const;
    int snapshot() const;
    void close();
    std::string last_error() const { return last_error_; }
    const CaptureConfig& config() const { return config_; }

    static void pcap_callback(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

private:
    CaptureConfig config_;
    pcap_t* handle_ = nullptr;
#ifdef __linux__
    std::unique_ptr<PacketRing> ring_;
#endif
    int datalink_ = -1;
    int snapshot_ = -1;
    PacketCallback callback_;
    uint32_t index_ = 0;
    int64_t cutoff_us_ = 0;
    bool saw_late_ = false;
    std::string last_error_;
};

}  // namespace ostrane
