// ostrane: live capture from one interface to a framed record stream on stdout.

#include "app/interface_listing.h"
#include "app/privileges.h"
#include "app/status_line.h"
#include "capture/capture_engine.h"
#include "output/packet_dispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace {

using ostrane::CaptureEngine;
using ostrane::PacketDispatcher;

// Read by signal_handler only. Atomic so that the handler, which on Windows
// runs on a thread of its own, never sees a torn or stale pointer.
std::atomic<CaptureEngine*> g_engine_ptr{nullptr};
static_assert(std::atomic<CaptureEngine*>::is_always_lock_free, "used from a signal handler");
// Set by SIGUSR1; the capture loop prints the counters at its next turn.
std::atomic<bool> g_counts_requested{false};

struct CommandLineOptions {
    std::string interface_name;
    std::string filter;
    int32_t snaplen = 65535;
    int32_t buffer_size_mb = 16;
    uint64_t max_count = 0;
    bool list_only = false;
    bool show_help = false;
};

void print_usage(const char* program) {
    std::cerr << "\n"
              << "Ostrane Capture Engine v" OSTRANE_VERSION "\n"
              << "High-performance packet capture for network analysis.\n"
              << "\n"
              << "Usage: " << program << " [options]\n"
              << "\n"
              << "Options:\n"
              << "  -i <interface>    Network interface to capture on\n"
              << "  -f <filter>       BPF filter expression (e.g., \"tcp port 80\")\n"
              << "  -s <snaplen>      Snapshot length in bytes (default: 65535)\n"
              << "  -b <buffer_mb>    Capture buffer size in MB (default: 16)\n"
              << "  -c <count>        Stop after N packets (0 = unlimited)\n"
              << "  -l                List available interfaces and exit\n"
              << "  -h                Show this help\n"
              << "\n"
              << "Examples:\n"
              << "  " << program << " -l\n"
              << "  " << program << " -i eth0\n"
              << "  " << program << " -i eth0 -f \"tcp port 80\" | python3 ../python_analyzer/main.py\n"
              << "\n";
}

// Ctrl+C, SIGTERM and SIGHUP all land here. Only an atomic increment and
// pcap_breakloop: nothing here may allocate, lock or touch a stdio stream.
void signal_handler(int sig) {
#ifdef _WIN32
    // The Windows runtime resets the handler to SIG_DFL before calling it; a
    // second Ctrl+C during the report must not kill the process.
    (void)std::signal(sig, signal_handler);
#else
    (void)sig;
#endif
    if (CaptureEngine* engine = g_engine_ptr.load()) engine->request_stop();
}

#ifdef SIGUSR1
// As tcpdump does: the counters so far, and the capture goes on. Printing
// here is not safe, so the loop does it.
void counts_handler(int) { g_counts_requested.store(true); }
#endif

#ifdef _WIN32
// Closing the console window (or logging off) ends the process as soon as
// this returns, or after a few seconds. Stop as Ctrl+C does and hold the
// event until the capture run has written its report and exits.
BOOL WINAPI console_handler(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) return FALSE;
    CaptureEngine* engine = g_engine_ptr.load();
    if (engine == nullptr) return FALSE;
    engine->request_stop();
    Sleep(INFINITE);
    return TRUE;
}
#endif

// Every signal that asks a capture to end ends it the same way: the packets
// already captured are written, then the report.
bool install_stop_handlers() {
#ifdef _WIN32
    // Ctrl+Break arrives as SIGBREAK.
    return std::signal(SIGINT, signal_handler) != SIG_ERR && std::signal(SIGBREAK, signal_handler) != SIG_ERR &&
           SetConsoleCtrlHandler(console_handler, TRUE) != 0;
#else
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write blocked on a reader that stopped reading must
    // come back with EINTR, so that the stop request is seen.
    action.sa_flags = 0;
    bool ok = true;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // nohup: a SIGHUP ignored from the start stays ignored.
        if (sig == SIGHUP && ::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    }
    // SIGUSR1 needs to interrupt nothing: a write to standard error that
    // it cut short would lose every message after it.
    action.sa_handler = counts_handler;
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGUSR1, &action, nullptr) == 0 && ok;
#endif
}

// atoi, but defined for every input: out-of-range values clamp instead of
// being undefined behaviour. A non-number still gives 0.
int32_t parse_int(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

CommandLineOptions parse_arguments(int argc, char** argv) {
    CommandLineOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "-i" && has_value) {
            options.interface_name = argv[++i];
        } else if (arg == "-f" && has_value) {
            options.filter = argv[++i];
        } else if (arg == "-s" && has_value) {
            options.snaplen = parse_int(argv[++i]);
        } else if (arg == "-b" && has_value) {
            options.buffer_size_mb = parse_int(argv[++i]);
        } else if (arg == "-c" && has_value) {
            options.max_count = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "-l") {
            options.list_only = true;
        } else if (arg == "-h" || arg == "--help") {
            options.show_help = true;
        } else {
            std::cerr << "Unknown option: " << arg << "\n";
            options.show_help = true;
        }
    }
    return options;
}

// Clears g_engine_ptr on every way out of the capture run, before the engine
// it points to is closed or destroyed.
struct EnginePublication {
    explicit EnginePublication(CaptureEngine& engine) { g_engine_ptr.store(&engine); }
    ~EnginePublication() { g_engine_ptr.store(nullptr); }
    EnginePublication(const EnginePublication&) = delete;
    EnginePublication& operator=(const EnginePublication&) = delete;
};

int run_capture(const CommandLineOptions& options) {
    // Packet bytes come from anyone on the link, and a terminal obeys the
    // escape sequences among them.
    if (ostrane::is_terminal(stdout)) {
        std::cerr << "[ERROR] Standard output is a terminal: redirect it to a file or pipe it into a reader\n";
        return 1;
    }
    ostrane::CaptureConfig config;
    config.interface_name = options.interface_name;
    config.filter = options.filter;
    config.snaplen = options.snaplen;
    config.buffer_size_mb = options.buffer_size_mb;

    CaptureEngine engine(config);
    std::optional<EnginePublication> publication;
    publication.emplace(engine);

    PacketDispatcher dispatcher(ostrane::DispatcherConfig{});
    if (!dispatcher.init()) {
        std::cerr << "[ERROR] Failed to initialize dispatcher: " << dispatcher.last_error() << "\n";
        return 1;
    }

    if (!install_stop_handlers()) {
        std::cerr << "[WARN] Stop handlers not installed; stop the capture with -c or kill\n";
    }
    std::cerr << "[INFO] Opening interface: " << ostrane::escape_for_terminal(options.interface_name) << "\n";
    if (!engine.open()) {
        std::cerr << "[ERROR] " << ostrane::escape_for_terminal(engine.last_error()) << "\n";
        return 1;
    }
    if (!options.filter.empty()) std::cerr << "[INFO] BPF filter applied: " << options.filter << "\n";
    // The handle is active and filtered: nothing from here on needs privilege.
    if (std::string error; !ostrane::drop_privileges(error)) {
        std::cerr << "[ERROR] Failed to drop privileges: " << error << "\n";
        return 1;
    }
    std::atomic<uint64_t> packet_count{0};
    const uint64_t max_count = options.max_count;
    bool output_failed = false;
    bool holding = false;
    bool told_draining = false;
    ostrane::StatusLine status(std::cerr, stderr);
    // Packets the capture delivered that never reached the stream whole.
    uint64_t unwritten = 0;
    auto fail_output = [&](const char* what) {
        status.clear();
        std::cerr << "[ERROR] " << what << dispatcher.last_error() << "\n";
        output_failed = true;
        engine.stop_capture();
    };
    // Records a full disk holds are news once, when it first fills up, and
    // once more when they have all gone out; not at every retry. A reader
    // that pauses is no news: it is waited for.
    auto note_holding = [&] {
        const bool full = dispatcher.out_of_space();
        if (full != holding) status.clear();
        if (full && !holding) {
            std::cerr << "[WARN] Output is full: holding " << dispatcher.pending_bytes()
                      << " bytes of records until it takes more\n";
        } else if (!full && holding) {
            std::cerr << "[INFO] Output resumed: held records written\n";
        }
        holding = full;
    };
    // What the user may want to hear at any turn, also while output waits.
    auto tell = [&] {
        if (!told_draining && engine.stop_requests().load() == 1 &&
            engine.since_stop_request() >= std::chrono::seconds(1)) {
            status.clear();
            std::cerr << "[INFO] Still writing the packets captured before the stop; "
                         "press Ctrl+C again to stop at once\n";
            told_draining = true;
        }
        if (g_counts_requested.exchange(false)) {
            status.clear();
            const ostrane::CaptureStats stats = engine.get_stats();
            std::cerr << "[INFO] Packets received by filter: " << stats.packets_received
                      << ", dropped by kernel: " << stats.packets_dropped
                      << ", dispatched: " << dispatcher.packets_dispatched()
                      << ", bytes written: " << dispatcher.bytes_written() << "\n";
        }
        status.update([&] {
            return ostrane::escape_for_terminal(options.interface_name) + ": " +
                   std::to_string(dispatcher.packets_dispatched()) + " packets, " +
                   std::to_string(dispatcher.bytes_written()) + " bytes written, " +
                   std::to_string(engine.get_stats().packets_dropped) + " dropped by kernel";
        });
    };

    dispatcher.watch_stop_requests(&engine.stop_requests());
    // Records wait for a reader in memory up to the kernel buffer's size,
    // while the capture reads on; then the kernel drops and counts.
    dispatcher.set_hold_limit(static_cast<uint64_t>(std::max(ostrane::buffer_size_bytes(options.buffer_size_mb), 0)));
    dispatcher.set_wait_hook(tell);
    engine.set_room_callback([&] {
        const int fd = dispatcher.reader_fd();
        if (fd < 0 || output_failed) return ostrane::OutputRoom{};
        const uint64_t room = dispatcher.records_room(engine.max_captured_length());
        return ostrane::OutputRoom{static_cast<int>(std::min<uint64_t>(room, INT_MAX)), fd};
    });
    // The records read leave together once the loop has caught up with the
    // ring, or once they would fill a pipe: one write for the lot, and no
    // record waits for a later packet.
    constexpr uint64_t kSendAtOnce = 65536;
    // The same turn, at least every 100 ms, sends what a reader held back
    // and retries records a full disk held.
    engine.set_turn_callback([&](bool more_ready) {
        if (output_failed) return;
        if ((!more_ready || dispatcher.pending_bytes() >= kSendAtOnce) &&
            !dispatcher.send_available() && dispatcher.failed()) {
            return fail_output("Dispatch failed: ");
        }
        note_holding();
        tell();
    });
    // Ctrl+C while the interface was still opening: nothing is captured.
    const bool started = engine.stop_requests().load() == 0;
    bool captured = true;
    if (started) {
        std::cerr << "[INFO] Capture started. Press Ctrl+C to stop.\n";
        captured = engine.start_capture([&](const ostrane::CapturedPacket& packet) {
            // libpcap may deliver the rest of a batch after stop_capture; -c N
            // means N records, and a failed stream takes no more.
            if (max_count > 0 && packet_count.load() >= max_count) return;
            if (output_failed) {
                ++unwritten;
                return;
            }
            if (!dispatcher.dispatch(packet)) {
                ++unwritten;
                return fail_output("Dispatch failed: ");
            }
            const uint64_t n = packet_count.fetch_add(1) + 1;
            if (max_count > 0 && n >= max_count) engine.stop_capture();
        });
    }
    // Also after a stop signal cut a blocked write to standard error short
    // (a terminal paused with Ctrl+S): the report must still come out.
    status.clear();
    // Without this line a capture ended by libpcap (the interface went away)
    // would look exactly like a Ctrl+C.
    if (!captured) std::cerr << "[ERROR] " << ostrane::escape_for_terminal(engine.last_error()) << "\n";

    const bool finished = dispatcher.finish();
    status.clear();  // shown again while the last records waited for the reader
    if (!finished) std::cerr << "[ERROR] Flush failed: " << dispatcher.last_error() << "\n";
    dispatcher.close();

    // A stop whose drain was cut short (a second request, or output that
    // gave up) leaves captured packets unwritten; the kernel's drop count
    // alone would make the capture look complete.
    const unsigned requests = engine.stop_requests().load();
    if (started && captured && requests > 0 && (requests > 1 || output_failed) &&
        (max_count == 0 || packet_count.load() < max_count)) {
        unwritten += dispatcher.records_abandoned() + engine.count_unread_before_stop();
        if (unwritten > 0) {
            std::cerr << "[WARN] " << unwritten << " packets captured before the stop were not written\n";
        }
    }

    const ostrane::CaptureStats stats = engine.get_stats();
    std::cerr << "\n"
              << "[INFO] Capture complete.\n"
              << "[INFO] Packets received by filter: " << stats.packets_received << "\n"
              << "[INFO] Packets dropped by kernel:  " << stats.packets_dropped << "\n"
              << "[INFO] Packets dispatched:         " << dispatcher.packets_dispatched() << "\n"
              << "[INFO] Bytes written:              " << dispatcher.bytes_written() << "\n";

    publication.reset();
    engine.close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away must end the capture with a message and a
    // report, not kill the process silently; likewise a file size limit.
    // signal() cannot fail for a valid signal number and SIG_IGN, so its
    // result carries no information here.
#ifdef SIGPIPE
    (void)std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    (void)std::signal(SIGXFSZ, SIG_IGN);
#endif

    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "ostrane";
    const CommandLineOptions options =
        argc < 2 ? CommandLineOptions{} : parse_arguments(argc, argv);

    if (options.show_help) {
        print_usage(program);
        return 0;
    }
    if (options.list_only) return ostrane::run_listing(stdout, std::cerr);
    if (options.interface_name.empty()) {
        std::cerr << "[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n";
        print_usage(program);
        return 1;
    }
    return run_capture(options);
}
