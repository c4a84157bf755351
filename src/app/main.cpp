// ostrane: live capture from one interface to a framed record stream on stdout.

#include "app/interface_listing.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/privileges.h"
#include "app/status_line.h"
#include "capture/capture_engine.h"
#include "output/packet_dispatcher.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using ostrane::CaptureEngine;
using ostrane::PacketDispatcher;

// Read by signal_handler only. Atomic so that the handler, which on Windows
// runs on a thread of its own, never sees a torn or stale pointer.
std::atomic<CaptureEngine*> g_engine_ptr{nullptr};
// Every stop signal, also after the capture: the wait for a paused terminal
// to take the report gives way to the next one.
std::atomic<unsigned> g_stop_signals{0};
static_assert(std::atomic<CaptureEngine*>::is_always_lock_free, "used from a signal handler");
static_assert(std::atomic<unsigned>::is_always_lock_free, "used from a signal handler");
// Set by SIGUSR1; the capture loop prints the counters at its next turn.
std::atomic<bool> g_counts_requested{false};

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
    g_stop_signals.fetch_add(1);
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

// A process started with fd 0, 1 or 2 closed would hand that number to the
// next thing it opens (the output's private descriptor, the capture socket),
// and a message meant for standard error would then go into the record
// stream or out on the wire. So, before anything is opened, each closed one
// gets /dev/null, as OpenSSH does. Standard output gets it read-only: a
// write to it still fails as on a closed descriptor. True when standard
// output was closed.
bool hold_standard_descriptors() {
    bool stdout_closed = false;
#ifndef _WIN32
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        stdout_closed = stdout_closed || fd == STDOUT_FILENO;
        // The lowest free number is this one: the ones below it are open.
        const int held = ::open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
        if (held != fd) {  // no /dev/null: better no run than a stray write
            static const char message[] = "[ERROR] Cannot open /dev/null in place of a closed standard descriptor\n";
            (void)!::write(STDERR_FILENO, message, sizeof message - 1);
            std::_Exit(1);
        }
    }
#endif
    return stdout_closed;
}

// Clears g_engine_ptr on every way out of the capture run, before the engine
// it points to is closed or destroyed.
struct EnginePublication {
    explicit EnginePublication(CaptureEngine& engine) { g_engine_ptr.store(&engine); }
    ~EnginePublication() { g_engine_ptr.store(nullptr); }
    EnginePublication(const EnginePublication&) = delete;
    EnginePublication& operator=(const EnginePublication&) = delete;
};

// The hint a user without the rights to capture needs, after libpcap's own
// message.
std::string permission_hint() {
    std::string program = "ostrane";
#ifndef _WIN32
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) program.assign(path, static_cast<size_t>(length));
#endif
    return "[INFO] Capturing needs root, membership of the group ostrane (the Debian package), or: "
           "sudo setcap cap_net_raw,cap_net_admin=eip " + ostrane::escape_for_terminal(program);
}

// A reader that closes the pipe (`| head`) ends the capture as a user would;
// any other failure of the output loses packets that were asked for.
bool reader_went_away(int error) { return error == EPIPE || error == ECONNRESET; }

// "EN10MB (Ethernet)", as tcpdump names the link type at start.
std::string link_type_text(int linktype) {
    const char* name = pcap_datalink_val_to_name(linktype);
    const char* description = pcap_datalink_val_to_description(linktype);
    std::string text = name != nullptr ? name : "DLT " + std::to_string(linktype);
    if (description != nullptr) text += std::string(" (") + description + ")";
    return text;
}

ostrane::DispatcherConfig dispatcher_config(const ostrane::CommandLineOptions& options) {
    ostrane::DispatcherConfig config;
    if (options.write_path.empty()) return config;
    config.format = ostrane::RecordFormat::Pcap;
    if (options.write_path == "-") return config;
    config.mode = ostrane::OutputMode::File;
    config.output_path = options.write_path;
    constexpr uint64_t kMillion = 1000000;
    config.rotation = {options.file_size_mb * kMillion, options.rotate_seconds, options.file_count};
    return config;
}

int run_capture(const ostrane::CommandLineOptions& options, bool stdout_closed) {
    // A status line only where nothing else is likely to write to the same
    // terminal: a reader at the other end of a pipe prints there too.
    ostrane::Messages messages(stderr, !options.quiet && !ostrane::is_pipe(stdout), options.quiet);
    messages.watch_stop_signals(&g_stop_signals);
    // Packet bytes come from anyone on the link, and a terminal obeys the
    // escape sequences among them.
    const bool to_stdout = options.write_path.empty() || options.write_path == "-";
    if (to_stdout && ostrane::is_terminal(stdout)) {
        messages.say("[ERROR] Standard output is a terminal: redirect it to a file or pipe it into a reader");
        return 1;
    }
    ostrane::CaptureConfig config;
    config.interface_name = options.interface_name;
    config.filter = options.filter;
    config.snaplen = options.snaplen;
    config.buffer_size_mb = options.buffer_size_mb;
    config.promiscuous = options.promiscuous;

    CaptureEngine engine(config);
    std::optional<EnginePublication> publication;
    publication.emplace(engine);

    PacketDispatcher dispatcher(dispatcher_config(options));
    // Also for a file header that waits for the reader of a full pipe.
    dispatcher.watch_stop_requests(&engine.stop_requests());
    if (to_stdout && stdout_closed) {
        // /dev/null holds its place now, read-only; as if still closed.
        messages.say("[ERROR] Failed to initialize dispatcher: Output stream is not open");
        return 1;
    }
    // A pcap starts with the link type, known once the handle is open; a
    // file is created only once privileges are dropped, so that it belongs
    // to whoever ran `sudo ostrane`.
    auto init_dispatcher = [&] {
        if (dispatcher.init()) return true;
        messages.say("[ERROR] Failed to initialize dispatcher: " + dispatcher.last_error());
        return false;
    };
    if (options.write_path.empty() && !init_dispatcher()) return 1;

    if (!install_stop_handlers()) messages.say("[WARN] Stop handlers not installed; stop the capture with -c or kill");
    messages.info("[INFO] Opening interface: " + ostrane::escape_for_terminal(options.interface_name));
    constexpr int kMiB = 1 << 20;
    if (const int used = ostrane::buffer_size_bytes(options.buffer_size_mb) / kMiB; used < options.buffer_size_mb) {
        messages.say("[WARN] -b " + std::to_string(options.buffer_size_mb) +
                     " is more than libpcap takes: the capture buffer is " + std::to_string(used) + " MiB");
    }
    if (!engine.open()) {
        messages.say("[ERROR] " + ostrane::escape_for_terminal(engine.last_error()));
        if (engine.last_error().find("Operation not permitted") != std::string::npos) messages.say(permission_hint());
        return 1;
    }
    if (!options.filter.empty()) messages.info("[INFO] BPF filter applied: " + options.filter);
    messages.info("[INFO] Link type: " + link_type_text(engine.datalink()));
    // The handle is active and filtered: nothing from here on needs privilege.
    if (std::string error; !ostrane::drop_privileges(error)) {
        messages.say("[ERROR] Failed to drop privileges: " + error);
        return 1;
    }
    if (!options.write_path.empty()) {
        dispatcher.set_link(static_cast<uint32_t>(engine.datalink()), static_cast<uint32_t>(engine.snapshot()));
        if (!init_dispatcher()) return 1;
    }
    std::atomic<uint64_t> packet_count{0};
    const uint64_t max_count = options.max_count;
    bool output_failed = false;
    bool holding = false;
    bool told_draining = false;
    // Packets the capture delivered that never reached the stream whole.
    uint64_t unwritten = 0;
    auto fail_output = [&](const char* what) {
        messages.say(std::string("[ERROR] ") + what + dispatcher.last_error());
        output_failed = true;
        engine.stop_capture();
    };
    // Records a full disk holds are news once, when it first fills up, and
    // once more when they have all gone out; not at every retry. A reader
    // that pauses is no news: it is waited for.
    auto note_holding = [&] {
        const bool full = dispatcher.out_of_space();
        if (full && !holding) {
            messages.say("[WARN] Output is full: holding " + std::to_string(dispatcher.pending_bytes()) +
                         " bytes of records until it takes more");
        } else if (!full && holding) {
            messages.info("[INFO] Output resumed: held records written");
        }
        holding = full;
    };
    // What the user may want to hear at any turn, also while output waits,
    // and the messages a paused terminal could not take yet.
    auto tell = [&] {
        messages.pump();
        if (!told_draining && engine.stop_requests().load() == 1 &&
            engine.since_stop_request() >= std::chrono::seconds(1)) {
            messages.info("[INFO] Still writing the packets captured before the stop; "
                          "press Ctrl+C again to stop at once");
            told_draining = true;
        }
        if (g_counts_requested.exchange(false)) {
            const ostrane::CaptureStats stats = engine.get_stats();
            messages.say("[INFO] Packets received by filter: " + std::to_string(stats.packets_received) +
                         ", dropped by kernel: " + std::to_string(stats.packets_dropped) +
                         ", dispatched: " + std::to_string(dispatcher.packets_dispatched()) +
                         ", bytes written: " + std::to_string(dispatcher.bytes_written()));
        }
        messages.status([&] {
            return ostrane::escape_for_terminal(options.interface_name) + ": " +
                   std::to_string(dispatcher.packets_dispatched()) + " packets, " +
                   std::to_string(dispatcher.bytes_written()) + " bytes written, " +
                   std::to_string(engine.get_stats().packets_dropped) + " dropped by kernel";
        });
    };

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
        if (!output_failed && (!more_ready || dispatcher.pending_bytes() >= kSendAtOnce) &&
            !dispatcher.send_available() && dispatcher.failed()) {
            fail_output("Dispatch failed: ");
        }
        if (!output_failed) note_holding();
        tell();
    });
    // Ctrl+C while the interface was still opening: nothing is captured.
    const bool started = engine.stop_requests().load() == 0;
    bool captured = true;
    if (started) {
        messages.info("[INFO] Capture started. Press Ctrl+C to stop.");
        captured = engine.start_capture([&](const ostrane::CapturedPacket& packet) {
            // libpcap may deliver the rest of a batch after stop_capture; -c N
            // means N records, and a failed stream takes no more.
            if (max_count > 0 && packet_count.load() >= max_count) return;
            if (output_failed) {
                ++unwritten;
                return;
            }
            if (!dispatcher.dispatch(packet)) {
                // -G with -W: the last file is complete, and the capture ends as tcpdump's does.
                if (dispatcher.file_limit_reached()) return engine.stop_capture();
                ++unwritten;
                return fail_output("Dispatch failed: ");
            }
            const uint64_t n = packet_count.fetch_add(1) + 1;
            if (max_count > 0 && n >= max_count) engine.stop_capture();
        });
    }
    messages.closing();
    // Without this line a capture ended by libpcap (the interface went away)
    // would look exactly like a Ctrl+C.
    if (!captured) messages.say("[ERROR] " + ostrane::escape_for_terminal(engine.last_error()));
    if (dispatcher.file_limit_reached()) {
        messages.info("[INFO] Maximum file limit reached: " + std::to_string(options.file_count));
    }

    // A failure already reported is not reported again for what it left,
    // unless that leaves a reader of the stream with half a record.
    const bool finished = dispatcher.finish();
    if (!finished && !output_failed) {
        messages.say("[ERROR] Flush failed: " + dispatcher.last_error());
    } else if (!finished && dispatcher.ends_inside_record() && !reader_went_away(dispatcher.error_code())) {
        messages.say("[WARN] " + dispatcher.last_error());
    }
    dispatcher.close();

    // A stop whose drain was cut short (a second request, or output that
    // gave up) leaves captured packets unwritten; the kernel's drop count
    // alone would make the capture look complete.
    const unsigned requests = engine.stop_requests().load();
    if (started && captured && requests > 0 && (requests > 1 || output_failed || !finished) &&
        (max_count == 0 || packet_count.load() < max_count)) {
        unwritten += dispatcher.records_abandoned() + engine.count_unread_before_stop();
        if (unwritten > 0) {
            messages.say("[WARN] " + std::to_string(unwritten) + " packets captured before the stop were not written");
        }
    }

    const ostrane::CaptureStats stats = engine.get_stats();
    if (messages.said()) messages.say("");
    messages.say("[INFO] Capture complete.");
    messages.say("[INFO] Packets received by filter: " + std::to_string(stats.packets_received));
    messages.say("[INFO] Packets dropped by kernel:  " + std::to_string(stats.packets_dropped));
    messages.say("[INFO] Packets dispatched:         " + std::to_string(dispatcher.packets_dispatched()));
    messages.say("[INFO] Bytes written:              " + std::to_string(dispatcher.bytes_written()));
    messages.finish();

    publication.reset();
    engine.close();
    const bool output_lost = (output_failed || !finished) && dispatcher.error_code() != 0 &&
                             !reader_went_away(dispatcher.error_code());
    // One stop promises every packet captured before it: a drain that gave
    // up on a stalled reader or a full disk broke that promise. A second stop,
    // or a reader that closed the pipe, asked for no more.
    const bool drain_lost = requests == 1 && dispatcher.records_abandoned() > 0 &&
                            !reader_went_away(dispatcher.error_code());
    return !captured || output_lost || drain_lost ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool stdout_closed = hold_standard_descriptors();
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
    ostrane::CommandLineOptions options;
    std::string error;
    const bool parsed = ostrane::parse_command_line(argc, argv, options, error);

    if (options.show_help) {
        ostrane::print_usage(std::cerr, program);
        return 0;
    }
    // A usage error, as POSIX tools report one: nothing is opened.
    if (!parsed) {
        std::cerr << "[ERROR] " << error << "\n";
        ostrane::print_usage(std::cerr, program);
        return 2;
    }
    if (options.show_version) {
        std::cout << "ostrane " OSTRANE_VERSION "\n" << std::flush;
        return std::cout ? 0 : 1;
    }
    if (options.list_only) return ostrane::run_listing(stdout, std::cerr);
    if (options.interface_name.empty()) {
        std::cerr << "[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n";
        ostrane::print_usage(std::cerr, program);
        return 1;
    }
    return run_capture(options, stdout_closed);
}
