#include "app/capture_session.h"

#include "app/interface_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

namespace ostrane {

namespace {

using Sent = PacketDispatcher::Sent;

// A turn comes at least this often: to see a stop request, to answer
// SIGUSR1 and to retry a full disk. Not the read timeout: waking every
// millisecond on an idle link would cost CPU for nothing. The kernel wakes
// the wait itself when it retires a ring block that holds packets, and
// retires none that is empty.
constexpr int kIdleWaitMs = 100;
// After a read that brought packets the loop lets the next ones gather for
// up to this long before it reads again: under steady traffic the kernel
// retires a block every read timeout, and a wake-up for each (some 20 to 50
// µs of CPU on a virtual machine) would cost more than the packets. A packet
// on a quiet link is not delayed by it, and under load one waits at most the
// gap plus the read timeout.
constexpr int kReadGapMs = 8;
// The records read leave together once the loop has caught up with the
// ring, or once they would fill a pipe: one write for the lot, and no record
// waits for a later packet.
constexpr uint64_t kSendAtOnce = 65536;
constexpr int64_t kGraceUs = int64_t{1000} * CaptureSession::kGraceMs;
constexpr int64_t kStillWritingUs = 1000000;

// libpcap's TPACKET_V3 ring blocks are 256 KiB whatever the snap length, and
// under steady traffic each retires with the packets of one read timeout:
// the gap may fill at most a quarter of the ring's blocks, so a small ring
// (-b 2 has 8) still has room for a burst that comes meanwhile. Our own ring
// has a slot per packet: the gap may fill an eighth of them at the rate of
// the reads since the last gap, and before any rate is known, at a million a
// second. With captures of both kinds, the gap suits the smaller ring.
int read_gap_ms(const CaptureSet& captures, uint64_t read, int64_t since_us) {
    const CaptureConfig& config = captures.config();
    int64_t gap = kReadGapMs;
    if (const int64_t slots = captures.ring_slots(); slots > 0) {
        const int64_t at_rate = slots / 8 * since_us / (static_cast<int64_t>(std::max<uint64_t>(read, 1)) * 1000);
        gap = std::min({gap, at_rate, slots / 1000});
    }
    if (captures.reads_libpcap()) {
        constexpr int64_t kBlockBytes = int64_t{256} << 10;
        constexpr int64_t kLibpcapDefault = int64_t{2} << 20;
        const int bytes = buffer_size_bytes(config.buffer_size_mb);
        const int64_t blocks = (bytes > 0 ? bytes : kLibpcapDefault) / kBlockBytes;
        gap = std::min<int64_t>(gap, blocks / 4 * std::max(config.timeout_ms, 1));
    }
    return static_cast<int>(std::clamp<int64_t>(gap, 1, kReadGapMs));
}

// How long a requested stop keeps reading: the kernel hands over a partly
// filled ring block only when its retire timer (the read timeout) fires, so
// one timeout plus a margin for the timer and the scheduler.
int64_t drain_us(int32_t timeout_ms) {
    constexpr int kMargin = 50;
    constexpr int kMost = 250;
    return int64_t{1000} * (std::clamp(timeout_ms, 0, kMost - kMargin) + kMargin);
}

bool failure(Ending::Cause cause) {
    return cause == Ending::Cause::ReaderGone || cause == Ending::Cause::OutputFailed ||
           cause == Ending::Cause::CaptureFailed;
}

}  // namespace

CaptureSession::CaptureSession(CaptureSet& captures, PacketDispatcher& dispatcher, Messages& messages,
                               StopRequests& requests, SessionConfig config)
    : captures_(captures), dispatcher_(dispatcher), messages_(messages), requests_(requests), config_(std::move(config)) {}

Ending CaptureSession::run() {
    captures_.set_callback([this](const CapturedPacket& packet) { deliver(packet); });
    progress_us_ = StopRequests::steady_now_us();
    if (requests_.count() == 0) {
        messages_.info("[INFO] Capture started. Press Ctrl+C to stop.");
    } else {
        // Ctrl+C while the interface was still opening: nothing is captured,
        // and a file still gets its header.
        reading_ = false;
        note_stats();
    }
    while (state_ != State::Done) turn();
    captures_.set_callback(nullptr);
    if (!dispatcher_.close()) ending_.close_error = dispatcher_.last_error();
    ending_.stop_requests = requests_.count();
    ending_.unwritten = delivered_ - dispatcher_.packets_dispatched();
    return ending_;
}

void CaptureSession::turn() {
    const bool was_reading = reading_;
    hear_requests();
    int asked = 0;  // 0: no room to read
    const int read = reading_ ? read_ring(asked) : 0;
    gathered_.packets += static_cast<uint64_t>(read);
    // All that was asked for came: more may be ready at once, and output can wait for it.
    const bool more_ready = reading_ && asked > 0 && read >= asked;
    const uint64_t held = dispatcher_.pending_bytes();
    if (!counting_only_ && state_ != State::Done) write_out(more_ready);
    // The kernel's counters when reading stopped: what it drops while a slow
    // reader takes the rest came after the ending, and was never asked for.
    if (was_reading && !reading_) note_stats();
    // Every packet is out: what ends the file follows them, with those counters.
    const bool over = state_ != State::Capturing && !reading_;
    if (over && !counting_only_ && dispatcher_.pending_bytes() == 0 && dispatcher_.finish(ending_.interface_stats)) {
        write_out(false);
    }
    tell();
    if (over && (counting_only_ || dispatcher_.pending_bytes() == 0)) state_ = State::Done;
    if (state_ == State::Done || more_ready) return;
    // The room ran out and the send made some: read on at once.
    if (reading_ && asked == 0 && dispatcher_.pending_bytes() < held) return;
    wait(read, asked == 0);
}

void CaptureSession::note_stats() {
    ending_.interface_stats = captures_.each_stats();
    ending_.stats = CaptureSet::total(ending_.interface_stats);
}

// Reads no more than the output has room for: a packet read always has its
// place, and the rest stays in the kernel's ring, which counts its drops.
int CaptureSession::read_ring(int& asked) {
    uint64_t room = static_cast<uint64_t>(std::max(captures_.config().dispatch_batch, 1));
    if (config_.max_count > 0) room = std::min(room, config_.max_count - std::min(delivered_, config_.max_count));
    if (!counting_only_ && room > 0) room = dispatcher_.room(room, captures_.max_captured_length());
    if (dispatcher_.memory_refused() && !told_.memory) {
        messages_.say("[WARN] No more memory to hold records for the output: the kernel's ring holds the rest");
        told_.memory = true;
    }
    asked = static_cast<int>(room);
    if (asked == 0) return 0;
    const int read = captures_.read(asked);
    if (read < 0) {
        end_reading(Ending::Cause::CaptureFailed, captures_.last_error());
        return 0;
    }
    if (captures_.failed() && stop_.since_us == 0) {
        // One interface of several went away: the others' rings still hold
        // what came before, which is read as a stop reads it.
        fail_reading_later();
    }
    if (config_.max_count > 0 && delivered_ >= config_.max_count) {
        end_reading(Ending::Cause::CountReached);
    } else if (stop_.since_us != 0 && (captures_.saw_late() || (read < asked && drain_left_us() <= 0))) {
        // The drain is complete: a packet stamped after the stop came, or
        // the ring is empty now that the block open at the stop is retired.
        reading_ = false;
    }
    return read;
}

int64_t CaptureSession::drain_left_us() const {
    return stop_.since_us + drain_us(captures_.config().timeout_ms) - StopRequests::steady_now_us();
}

void CaptureSession::fail_reading_later() {
    captures_.set_cutoff(StopRequests::wall_now_us());
    stop_.since_us = StopRequests::steady_now_us();
    if (!failure(ending_.cause)) {
        ending_.cause = Ending::Cause::CaptureFailed;
        ending_.error = captures_.last_error();
    }
    if (state_ == State::Capturing) state_ = State::Draining;
}

void CaptureSession::deliver(const CapturedPacket& packet) {
    ++delivered_;
    if (counting_only_ || dispatcher_.dispatch(packet)) return;
    if (dispatcher_.file_limit_reached()) {
        // -G with -W: the last file is complete, and the packet is not asked for.
        --delivered_;
        return end_reading(Ending::Cause::FileLimit);
    }
    fail(output_failure(), dispatcher_.last_error());
}

// A reader that closes the pipe (`| head`) ends the capture as a user would;
// any other failure of the output loses packets that were asked for.
Ending::Cause CaptureSession::output_failure() const {
    const int error = dispatcher_.error_code();
    return error == EPIPE || error == ECONNRESET ? Ending::Cause::ReaderGone : Ending::Cause::OutputFailed;
}

void CaptureSession::write_out(bool more_ready) {
    if (more_ready && dispatcher_.pending_bytes() < kSendAtOnce) return;
    const uint64_t before = dispatcher_.bytes_written();
    const Sent previous = sent_;
    sent_ = dispatcher_.send();
    const int64_t now = StopRequests::steady_now_us();
    if (dispatcher_.bytes_written() != before) progress_us_ = now;
    switch (sent_) {
        case Sent::All:
            if (previous == Sent::Full) messages_.info("[INFO] Output resumed: held records written");
            break;
        case Sent::Blocked:  // a reader that pauses is no news: it is waited for
            break;
        case Sent::Full:
            // News once, when the disk first fills up; not at every retry.
            if (previous != Sent::Full) {
                messages_.say("[WARN] Output is full: holding " + std::to_string(dispatcher_.pending_bytes()) +
                              " bytes of records until it takes more");
            }
            if (reading_ && dispatcher_.room(1, captures_.max_captured_length()) == 0) {
                return fail(Ending::Cause::OutputFailed, dispatcher_.last_error());
            }
            break;
        case Sent::Failed:
            return fail(output_failure(), dispatcher_.last_error());
    }
    // After a stop request, or once a full disk is all that is left to wait
    // for, an output that takes nothing has its grace, then is given up.
    const bool graced = stop_.heard > 0 || (sent_ == Sent::Full && !reading_);
    if (graced && dispatcher_.pending_bytes() > 0 && now - progress_us_ >= kGraceUs) {
        const bool full = sent_ == Sent::Full;
        std::string why = std::string(full ? "Output full" : "Output blocked") + " while stopping: abandoned " +
                          std::to_string(dispatcher_.pending_bytes()) + " bytes";
        give_up(full ? why + ": " + std::strerror(dispatcher_.error_code()) : why);
    }
}

void CaptureSession::hear_requests() {
    const unsigned count = requests_.count();
    if (count == stop_.heard) return;
    requests_.clear_wake();
    if (stop_.heard == 0) {
        // A drain that a failure began keeps its earlier cut-off.
        if (stop_.since_us == 0) {
            captures_.set_cutoff(requests_.first_wall_us());
            stop_.since_us = requests_.first_steady_us();
        }
        progress_us_ = std::max(progress_us_, requests_.first_steady_us());
        if (state_ == State::Capturing) state_ = State::Draining;
    }
    stop_.heard = count;
    // The second one asks for the cut: no error for what it leaves.
    if (count >= 2 && state_ != State::Done) give_up({});
}

void CaptureSession::end_reading(Ending::Cause cause, const std::string& error) {
    // The first failure is the cause, and a failure outranks an ending that
    // was still writing out; any other ending counts only as the first.
    if (failure(cause) ? !failure(ending_.cause) : state_ == State::Capturing) {
        ending_.cause = cause;
        ending_.error = error;
    }
    reading_ = false;
    if (state_ == State::Capturing) state_ = State::Draining;
    progress_us_ = StopRequests::steady_now_us();
}

void CaptureSession::fail(Ending::Cause cause, const std::string& error) {
    end_reading(cause, error);
    (void)dispatcher_.abandon();
    ending_.inside_record = ending_.inside_record || dispatcher_.ends_inside_record();
    // The rest of the batch being read is counted: after what was given up,
    // none of it may reach the output.
    counting_only_ = true;
}

void CaptureSession::give_up(const std::string& why) {
    (void)dispatcher_.abandon();
    ending_.inside_record = ending_.inside_record || dispatcher_.ends_inside_record();
    if (ending_.gave_up.empty()) ending_.gave_up = why;
    // What the ring still holds from before the stop is counted, not written.
    counting_only_ = true;
}

// What the user may want to hear at any turn, and the messages a paused
// terminal could not take yet.
void CaptureSession::tell() {
    if (config_.each_turn) config_.each_turn();
    messages_.pump();
    const bool writing = state_ == State::Draining && !counting_only_ && (reading_ || dispatcher_.pending_bytes() > 0);
    if (!told_.draining && stop_.heard == 1 && writing &&
        StopRequests::steady_now_us() - requests_.first_steady_us() >= kStillWritingUs) {
        messages_.info("[INFO] Still writing the packets captured before the stop; press Ctrl+C again to stop at once");
        told_.draining = true;
    }
    if (config_.counts_requested != nullptr && config_.counts_requested->exchange(false)) {
        const CaptureStats stats = captures_.get_stats();
        messages_.say("[INFO] Packets received by filter: " + std::to_string(stats.packets_received) +
                      ", dropped by kernel: " + std::to_string(stats.packets_dropped) +
                      ", dispatched: " + std::to_string(dispatcher_.packets_dispatched()) +
                      ", bytes written: " + std::to_string(dispatcher_.bytes_written()));
    }
    messages_.status([&] {
        return escape_for_terminal(config_.interface_name) + ": " + std::to_string(dispatcher_.packets_dispatched()) +
               " packets, " + std::to_string(dispatcher_.bytes_written()) + " bytes written, " +
               std::to_string(captures_.get_stats().packets_dropped) + " dropped by kernel";
    });
}

void CaptureSession::wait(int read, bool no_room) {
    int wait_ms = kIdleWaitMs;
    bool watch_ring = reading_ && !no_room;
    if (reading_ && read > 0) {
        watch_ring = false;
        const int64_t now = StopRequests::steady_now_us();
        wait_ms = read_gap_ms(captures_, gathered_.packets, now - gathered_.since_us);
        gathered_ = {0, now};
    }
    // The drain ends once the ring is found empty after its deadline: wake
    // for that, but only while the ring is watched; without room the wait is
    // for the output.
    if (watch_ring && stop_.since_us != 0) {
        wait_ms = static_cast<int>(std::clamp<int64_t>((drain_left_us() + 999) / 1000, 0, wait_ms));
    }
    if (const int required = captures_.required_timeout_ms(); required >= 0) wait_ms = std::min(wait_ms, required);
#ifdef _WIN32
    (void)watch_ring;
    // Npcap's event cannot be waited on with the rest here (wine's wpcap
    // aborts on pcap_getevent): short sleeps bound the wait as well.
    Sleep(static_cast<DWORD>(std::clamp(wait_ms, 0, 10)));
#else
    const bool blocked = sent_ == Sent::Blocked && dispatcher_.pending_bytes() > 0;
    std::vector<pollfd> fds = {
        // There while writing: a pipe whose reader left says so (POLLERR) at
        // once, also on a quiet link with nothing to send.
        {counting_only_ ? -1 : dispatcher_.fd(), static_cast<short>(blocked ? POLLOUT : 0), 0},
        {requests_.wake_fd(), POLLIN, 0},
        {messages_.holding() ? messages_.fd() : -1, POLLOUT, 0},
    };
    const std::vector<int> rings = captures_.selectable_fds();
    std::transform(rings.begin(), rings.end(), std::back_inserter(fds),
                   [watch_ring](int fd) { return pollfd{watch_ring ? fd : -1, POLLIN, 0}; });
    // EINTR: a signal; the next turn looks at the requests.
    if (::poll(fds.data(), fds.size(), wait_ms) <= 0) return;
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0 && dispatcher_.pending_bytes() == 0) {
        fail(Ending::Cause::ReaderGone, "Broken pipe");
    }
#endif
}

void CaptureSession::settle() {
    messages_.finish();
    const unsigned seen = requests_.count();
    while (messages_.holding() && requests_.count() == seen) {
#ifdef _WIN32
        Sleep(10);
#else
        pollfd fds[2] = {{requests_.wake_fd(), POLLIN, 0}, {messages_.fd(), POLLOUT, 0}};
        (void)::poll(fds, 2, kIdleWaitMs);
        requests_.clear_wake();
#endif
        messages_.pump();
    }
    if (messages_.holding()) messages_.give_up();
}

}  // namespace ostrane
