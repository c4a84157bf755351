#pragma once

#include "app/ending.h"
#include "app/messages.h"
#include "app/stop_requests.h"
#include "capture/capture_set.h"
#include "output/packet_dispatcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrane {

struct SessionConfig {
    uint64_t max_count = 0;  // -c; 0: no limit
    std::string interface_name;  // for the status line: the interfaces' names
    // Set by SIGUSR1: the counters so far, once, at the next turn.
    std::atomic<bool>* counts_requested = nullptr;
    // Whatever else is looked after at each turn (-z's commands).
    std::function<void()> each_turn;
};

// One capture run from its first read to its last write: reads the ring as
// far as the output has room, sends the records, hears the stop requests,
// drains, and records how it ended. Its loop is the one place that waits,
// on the capture's descriptor, the output, standard error's held lines, the
// stop requests and a timer. Nothing waits inside libpcap's callback.
//
// States: capturing; draining (reading ended, or ends at the stop request's
// packets, and the output takes what is held); done. The end of -c, of
// -G/-W or of the capture itself is not a stop request: a slow reader is
// waited for as long as it takes. After a stop request, or while the disk
// is full, an output that takes nothing for kGrace is given up, and a
// second request gives it up at once.
class CaptureSession {
public:
    static constexpr int kGraceMs = 1000;

    CaptureSession(CaptureSet& captures, PacketDispatcher& dispatcher, Messages& messages, StopRequests& requests,
                   SessionConfig config);
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // The whole capture; the output is closed when it returns.
    Ending run();
    // After the report: waits until standard error has taken every line,
    // unless a further stop request gives them up (a terminal left paused
    // must not keep a process alive that was asked to end).
    void settle();

private:
    enum class State { Capturing, Draining, Done };

    void turn();
    int read_ring(int& asked);
    void deliver(const CapturedPacket& packet);
    void write_out(bool more_ready);
    void hear_requests();
    void note_stats();
    void end_reading(Ending::Cause cause, const std::string& error = {});
    void fail_reading_later();
    void fail(Ending::Cause cause, const std::string& error);
    Ending::Cause output_failure() const;
    void give_up(const std::string& why);
    void tell();
    void wait(int read, bool no_room);
    int64_t drain_left_us() const;

    CaptureSet& captures_;
    PacketDispatcher& dispatcher_;
    Messages& messages_;
    StopRequests& requests_;
    SessionConfig config_;
    Ending ending_;
    State state_ = State::Capturing;
    bool reading_ = true;
    // After a cut: the ring's packets from before the stop are counted, not written.
    bool counting_only_ = false;
    uint64_t delivered_ = 0;  // packets handed to the output, or counted after a cut
    struct Stop {
        unsigned heard = 0;   // stop requests acted on
        int64_t since_us = 0;  // when the drain began (a stop, a failure), steady; 0: none
    } stop_;
    // The output: the last send's outcome and when it last made progress
    // (or a grace began), in steady microseconds.
    PacketDispatcher::Sent sent_ = PacketDispatcher::Sent::All;
    int64_t progress_us_ = 0;
    // Packets read since the loop last let them gather, and when that began.
    struct Gathered {
        uint64_t packets = 0;
        int64_t since_us = 0;
    } gathered_;
    struct Told {  // news said once
        bool draining = false;
        bool memory = false;
    } told_;
};

}  // namespace ostrane
