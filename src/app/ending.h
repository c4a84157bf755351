#pragma once

#include "capture/capture_engine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrane {

// How a capture run ended, recorded once, as it happened.
struct Ending {
    enum class Cause {
        Stopped,        // stop requests; with none, the capture never ended by itself
        CountReached,   // -c
        FileLimit,      // -G with -W made its last file
        ReaderGone,     // the reader closed the pipe
        OutputFailed,   // the output failed for good
        CaptureFailed,  // libpcap failed: the interface went away
    };
    Cause cause = Cause::Stopped;
    std::string error;  // what failed, for OutputFailed and CaptureFailed
    unsigned stop_requests = 0;
    uint32_t file_limit = 0;
    // The output took nothing for the grace after a stop (a reader that
    // stopped reading, a full disk): what was given up, and why.
    std::string gave_up;
    bool inside_record = false;  // the stream ends inside a record
    std::string close_error;     // closing the output reported a write error
    uint64_t unwritten = 0;      // packets captured that never reached the output whole
    CaptureStats stats;          // libpcap's counters when reading stopped: the totals
    std::vector<CaptureStats> interface_stats;  // and each interface's
};

// What the run says at its end, before the report, and its exit status.
struct Verdict {
    std::vector<std::string> lines;
    int status = 0;
};

// Packets asked for and not written make the status 1, except when the
// reader closed the pipe or a second stop request asked for the cut.
Verdict conclude(const Ending& ending);

}  // namespace ostrane
