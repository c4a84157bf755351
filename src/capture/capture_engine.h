#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace ostrane {

struct CaptureConfig {
    std::string interface_name;
    std::string filter;             // empty: no filter
    int32_t snaplen = 65535;
    int32_t buffer_size_mb = 16;
    bool promiscuous = true;
    // How long a ring block that holds packets stays open: the latency of a
    // packet on a quiet link. The loop's own idle wait does not follow it.
    int32_t timeout_ms = 1;
    int32_t dispatch_batch = 64;
};

// One packet as libpcap delivered it. `data` points into libpcap's buffer and
// is valid only while the callback that received it runs.
struct CapturedPacket {
    double timestamp = 0.0;         // seconds since the Unix epoch
    uint32_t original_length = 0;   // length on the wire
    uint32_t captured_length = 0;   // bytes present at `data`
    const uint8_t* data = nullptr;
};

using PacketCallback = std::function<void(const CapturedPacket&)>;
// Called on the capture thread after every pcap_dispatch call, and at least
// every 100 ms. `more_ready`: the read filled its batch, so more packets may
// be waiting at once, and output can wait for the next turn.
using TurnCallback = std::function<void(bool more_ready)>;

// What the owner of the loop can take before its next turn: at most
// `packets` packets (negative: no limit; 0: none, the ring is left alone and
// the kernel drops what it cannot hold), and a descriptor that, once it is
// ready for writing, lets it take more (-1: none). Asked before every read.
struct OutputRoom {
    int packets = -1;
    int fd = -1;
};
using RoomCallback = std::function<OutputRoom()>;

struct CaptureStats {
    uint64_t packets_received = 0;
    uint64_t packets_dropped = 0;
};

// The mapping from libpcap's header to a CapturedPacket. The microseconds are
// divided before the seconds are added, and the result is part of the record
// stream, so the order of operations must not change.
inline CapturedPacket to_captured_packet(const pcap_pkthdr& header, const u_char* bytes) {
    CapturedPacket packet;
    packet.timestamp = static_cast<double>(header.ts.tv_usec) / 1000000.0 +
                       static_cast<double>(header.ts.tv_sec);
    packet.original_length = header.len;
    packet.captured_length = header.caplen;
    packet.data = bytes;
    return packet;
}

// The kernel buffer size in bytes for a size in MiB, clamped to what
// pcap_set_buffer_size's int can carry.
int buffer_size_bytes(int32_t buffer_size_mb);

// Owns one live libpcap handle. open(), start_capture() and the callbacks run
// on one thread; stop_capture() and request_stop() may also be called from a
// signal handler or another thread.
class CaptureEngine {
public:
    explicit CaptureEngine(const CaptureConfig& config);
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    bool open();
    bool set_filter(const std::string& expression);

    // Runs the dispatch loop until stop_capture() or a libpcap failure.
    // Returns false, with last_error() set, only when libpcap failed or no
    // handle is open. A stop requested before the loop starts (Ctrl+C while
    // the interface was still being opened) is honoured: the loop does not run.
    bool start_capture(PacketCallback cb);

    // Ends the loop at once; packets still in the kernel's ring are left
    // there. Async-signal-safe: an atomic store and pcap_breakloop. Idempotent.
    void stop_capture();

    // Ends the loop once every packet the kernel captured before the request
    // has been delivered to the callback, however long that takes: at the
    // first packet stamped after the request, or once the ring is empty and
    // the block that was open at the request has been retired. A second
    // request ends it at once. Async-signal-safe, like stop_capture().
    void request_stop();
    // How many request_stop() calls the current or last capture received.
    const std::atomic<unsigned>& stop_requests() const { return stop_requests_; }
    // How long ago the first of them came; zero before any.
    std::chrono::steady_clock::duration since_stop_request() const;
    // After a loop that ended before its drain did: reads out, without
    // delivering them, the packets still in the ring that were captured
    // before the stop request, and returns how many there were.
    uint64_t count_unread_before_stop();

    void set_turn_callback(TurnCallback turn) { turn_ = std::move(turn); }
    // A drain after a stop request also waits, without reading on, until
    // the room's descriptor is -1 again.
    void set_room_callback(RoomCallback room) { room_ = std::move(room); }
    // The most bytes libpcap puts in one packet's captured data.
    uint32_t max_captured_length() const;

    CaptureStats get_stats() const;
    // The open handle's link type (pcap_datalink) and snap length
    // (pcap_snapshot), as a pcap file of its packets states them; -1 without one.
    int datalink() const;
    int snapshot() const;
    void close();
    std::string last_error() const { return last_error_; }
    const CaptureConfig& config() const { return config_; }

    static void pcap_callback(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

    // How long a requested stop keeps reading: the kernel hands over a
    // partly filled ring block only when its retire timer (the read timeout)
    // fires, so one timeout plus a margin for the timer and the scheduler.
    static int drain_ms(int32_t timeout_ms);

private:
    // The dispatch loop; `sweeping` ignores stop flags and turns and runs
    // only until the drain is complete.
    bool run_loop(bool sweeping);
    // Waits up to `ms`, or less, for packets to read (when `packets`) or for
    // `out_fd` to take bytes (when it is not -1); false on a failure.
    bool wait_for_packets(pcap_t* handle, bool packets, int out_fd, int ms);
    OutputRoom ask_room() const;
    void break_loop();

    CaptureConfig config_;
    // Atomic because a signal handler reads it through stop_capture().
    std::atomic<pcap_t*> handle_{nullptr};
    PacketCallback callback_;
    TurnCallback turn_;
    RoomCallback room_;
    // The loop must end, or not start; start_capture clears it when it
    // returns.
    std::atomic<bool> stop_requested_{false};
    std::atomic<unsigned> stop_requests_{0};
    // When the first request came: on the clock packets are stamped with,
    // to tell the packets captured before it, and on the steady clock, to
    // time the drain whatever happens to the wall clock meanwhile.
    // Microseconds since each clock's epoch; 0 before any.
    std::atomic<int64_t> request_us_{0};
    std::atomic<int64_t> request_steady_us_{0};
    // The drain is complete: a packet stamped after the request arrived, and
    // the loop ends once the batch that brought it is read.
    bool drained_ = false;
    std::string last_error_;

    static_assert(std::atomic<pcap_t*>::is_always_lock_free, "handler needs lock-free atomics");
    static_assert(std::atomic<unsigned>::is_always_lock_free, "handler needs lock-free atomics");
    static_assert(std::atomic<bool>::is_always_lock_free, "handler needs lock-free atomics");
    static_assert(std::atomic<int64_t>::is_always_lock_free, "handler needs lock-free atomics");
};

}  // namespace ostrane
