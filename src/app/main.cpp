// ostrane: live capture from one interface to a framed record stream on stdout.

#include "app/capture_session.h"
#include "app/interface_listing.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/post_rotate.h"
#include "app/privileges.h"
#include "app/status_line.h"
#include "capture/capture_engine.h"
#include "capture/capture_set.h"
#include "interfaces/interface_manager.h"
#include "output/packet_dispatcher.h"
#include "output/record_format.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using ostrane::CaptureEngine;
using ostrane::PacketDispatcher;

// What the handlers touch: counters with static lifetime, never the capture.
ostrane::StopRequests g_stop_requests;
// Set by SIGUSR1; the capture loop prints the counters at its next turn.
std::atomic<bool> g_counts_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");
#ifdef _WIN32
// Whether a capture runs that a closed console window must wait for.
std::atomic<bool> g_capturing{false};
#endif

// Ctrl+C, SIGTERM and SIGHUP all land here. Only atomics and a write(2) to
// wake the loop: nothing here may allocate, lock or touch a stdio stream.
void signal_handler(int sig) {
#ifdef _WIN32
    // The Windows runtime resets the handler to SIG_DFL before calling it; a
    // second Ctrl+C during the report must not kill the process.
    (void)std::signal(sig, signal_handler);
#else
    (void)sig;
#endif
    g_stop_requests.request();
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
    if (!g_capturing.load()) return FALSE;
    g_stop_requests.request();
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
    // No SA_RESTART: the loop's wait comes back with EINTR (the wake-up pipe
    // says so too).
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

// "EN10MB (Ethernet)", as tcpdump names the link type at start.
std::string link_type_text(int linktype) {
    const char* name = pcap_datalink_val_to_name(linktype);
    const char* description = pcap_datalink_val_to_description(linktype);
    std::string text = name != nullptr ? name : "DLT " + std::to_string(linktype);
    if (description != nullptr) text += std::string(" (") + description + ")";
    return text;
}

// -w x.pcapng, as dumpcap and Wireshark choose the format by the name.
bool pcapng_named(const std::string& path) {
    const std::string suffix = ".pcapng";
    if (path.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), path.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

ostrane::DispatcherConfig dispatcher_config(const ostrane::CommandLineOptions& options) {
    ostrane::DispatcherConfig config;
    if (options.write_path.empty()) return config;
    const bool pcapng = options.pcapng || pcapng_named(options.write_path);
    config.format = pcapng ? ostrane::RecordFormat::Pcapng : ostrane::RecordFormat::Pcap;
    if (options.write_path == "-") return config;
    config.mode = ostrane::OutputMode::File;
    config.output_path = options.write_path;
    constexpr uint64_t kMillion = 1000000;
    config.rotation = {options.file_size_mb * kMillion, options.rotate_seconds, options.file_count};
    return config;
}

std::vector<ostrane::CaptureConfig> capture_configs(const ostrane::CommandLineOptions& options) {
    std::vector<ostrane::CaptureConfig> configs;
    for (const std::string& name : options.interfaces) {
        ostrane::CaptureConfig& config = configs.emplace_back();
        config.interface_name = name;
        config.filter = options.filter;
        config.snaplen = options.snaplen;
        config.buffer_size_mb = options.buffer_size_mb;
        config.promiscuous = options.promiscuous;
        config.nano = options.nano && !options.write_path.empty();  // the record stream stays as it is
        config.direction = options.direction;
    }
    return configs;
}

// Opens every interface. A record stream or a pcap file has one link type for
// all its packets: only pcapng keeps them apart.
bool open_interfaces(const ostrane::CommandLineOptions& options, ostrane::CaptureSet& captures, bool pcapng,
                     ostrane::Messages& messages) {
    constexpr int kMiB = 1 << 20;
    for (size_t i = 0; i < captures.size(); ++i) {
        CaptureEngine& engine = captures.at(i);
        const std::string name = ostrane::escape_for_terminal(engine.config().interface_name);
        messages.info("[INFO] Opening interface: " + name);
        const int used = ostrane::buffer_size_bytes(options.buffer_size_mb) / kMiB;
        if (i == 0 && used < options.buffer_size_mb) {
            messages.say("[WARN] -b " + std::to_string(options.buffer_size_mb) +
                         " is more than libpcap takes: the capture buffer is " + std::to_string(used) + " MiB");
        }
        if (!engine.open()) {
            // Among several, which one: -q leaves out the line that opened it.
            messages.say("[ERROR] " + (captures.size() > 1 ? name + ": " : "") +
                         ostrane::escape_for_terminal(engine.last_error()));
            if (engine.last_error().find("Operation not permitted") != std::string::npos) messages.say(permission_hint());
            return false;
        }
        if (i == 0 && !options.filter.empty()) messages.info("[INFO] BPF filter applied: " + options.filter);
        messages.info("[INFO] Link type: " + link_type_text(engine.datalink()) + (captures.size() > 1 ? " on " + name : ""));
        const CaptureEngine& first = captures.at(0);
#ifndef _WIN32
        // Another name of one already open (an altname) would write its packets
        // twice. Sources that are no network device (nflog, usbmon) have no index.
        const unsigned index = if_nametoindex(engine.config().interface_name.c_str());
        for (size_t before = 0; index != 0 && before < i; ++before) {
            const std::string& other = captures.at(before).config().interface_name;
            if (if_nametoindex(other.c_str()) == index) {
                messages.say("[ERROR] " + ostrane::escape_for_terminal(other) + " and " + name +
                             " are the same interface: each of its packets would be written twice");
                return false;
            }
        }
#endif
        if (!pcapng && engine.datalink() != first.datalink()) {
            messages.say("[ERROR] " + ostrane::escape_for_terminal(first.config().interface_name) + " and " + name +
                         " have different link types: only a pcapng file (-w FILE.pcapng) keeps them apart");
            return false;
        }
    }
    return true;
}

// Opens the interfaces, then drops privileges. A file starts with the link
// types, known once the handles are open, and is created only once
// privileges are dropped, so that it belongs to whoever ran `sudo ostrane`.
bool open_capture(const ostrane::CommandLineOptions& options, ostrane::CaptureSet& captures,
                  PacketDispatcher& dispatcher, bool pcapng, ostrane::Messages& messages) {
    if (!open_interfaces(options, captures, pcapng, messages)) return false;
    // The handles are active and filtered: nothing from here on needs privilege.
    if (std::string error; !ostrane::drop_privileges(error)) {
        messages.say("[ERROR] Failed to drop privileges: " + error);
        return false;
    }
    if (options.write_path.empty()) return true;
    std::vector<ostrane::LinkDescription> links;
    for (size_t i = 0; i < captures.size(); ++i) {
        const CaptureEngine& engine = captures.at(i);
        const ostrane::CaptureConfig& capture = engine.config();
        links.push_back({ostrane::pcap_linktype(engine.datalink()), static_cast<uint32_t>(engine.snapshot()),
                         capture.nano, capture.interface_name,
                         ostrane::InterfaceManager::description_of(capture.interface_name), capture.filter});
        // A pcap file's one snap length is the largest.
        links.front().snaplen = std::max(links.front().snaplen, links.back().snaplen);
    }
    dispatcher.set_links(std::move(links));
    dispatcher.set_counters([&captures] { return captures.each_stats(); });
    if (dispatcher.init()) return true;
    messages.say("[ERROR] Failed to initialize dispatcher: " + dispatcher.last_error());
    return false;
}

void report(ostrane::Messages& messages, const ostrane::Ending& ending, const ostrane::CaptureSet& captures,
            const PacketDispatcher& dispatcher) {
    if (messages.said()) messages.say("");
    messages.say("[INFO] Capture complete.");
    messages.say("[INFO] Packets received by filter: " + std::to_string(ending.stats.packets_received));
    messages.say("[INFO] Packets dropped by kernel:  " + std::to_string(ending.stats.packets_dropped));
    messages.say("[INFO] Packets dispatched:         " + std::to_string(dispatcher.packets_dispatched()));
    messages.say("[INFO] Bytes written:              " + std::to_string(dispatcher.bytes_written()));
    // After the totals, which scripts read as one block.
    for (size_t i = 0; captures.size() > 1 && i < ending.interface_stats.size(); ++i) {
        const ostrane::CaptureStats& each = ending.interface_stats[i];
        messages.say("[INFO] " + ostrane::escape_for_terminal(captures.at(i).config().interface_name) + ": " +
                     std::to_string(each.packets_received) + " received by filter, " +
                     std::to_string(each.packets_dropped) + " dropped by kernel");
    }
}

int run_capture(const ostrane::CommandLineOptions& options, bool stdout_closed) {
    // A status line only where nothing else is likely to write to the same
    // terminal: a reader at the other end of a pipe prints there too.
    ostrane::Messages messages(stderr, !options.quiet && !ostrane::is_pipe(stdout), options.quiet);
    // Packet bytes come from anyone on the link, and a terminal obeys the
    // escape sequences among them.
    const bool to_stdout = options.write_path.empty() || options.write_path == "-";
    if (to_stdout && ostrane::is_terminal(stdout)) {
        messages.say("[ERROR] Standard output is a terminal: redirect it to a file or pipe it into a reader");
        return 1;
    }
    if (to_stdout && stdout_closed) {
        // /dev/null holds its place now, read-only; as if still closed.
        messages.say("[ERROR] Failed to initialize dispatcher: Output stream is not open");
        return 1;
    }
    // First: SIGUSR1 or SIGTERM in the first milliseconds must not kill the
    // process without its report.
    g_stop_requests.open_wake();
    if (!install_stop_handlers()) messages.say("[WARN] Stop handlers not installed; stop the capture with -c or kill");
    ostrane::CaptureSet captures(capture_configs(options));
    const ostrane::DispatcherConfig output = dispatcher_config(options);
    PacketDispatcher dispatcher(output);
    if (options.write_path.empty() && !dispatcher.init()) {
        messages.say("[ERROR] Failed to initialize dispatcher: " + dispatcher.last_error());
        return 1;
    }
    if (!open_capture(options, captures, dispatcher, output.format == ostrane::RecordFormat::Pcapng, messages)) return 1;

    // Records wait for a reader in memory up to the kernel buffer's size,
    // while the capture reads on; then the kernel drops and counts.
    dispatcher.set_hold_limit(static_cast<uint64_t>(std::max(ostrane::buffer_size_bytes(options.buffer_size_mb), 0)));
    ostrane::PostRotate post_rotate(options.post_rotate, messages);
    if (!options.post_rotate.empty()) dispatcher.set_file_closed([&](const std::string& file) { post_rotate.run(file); });
    // The status line keeps its counters in view however many interfaces there are.
    std::string names;
    for (const std::string& name : options.interfaces) names += (names.empty() ? "" : ", ") + name;
    if (options.interfaces.size() > 2) names = std::to_string(options.interfaces.size()) + " interfaces";
    ostrane::CaptureSession session(captures, dispatcher, messages, g_stop_requests,
                                    {options.max_count, names, &g_counts_requested, [&post_rotate] { post_rotate.reap(); }});
#ifdef _WIN32
    g_capturing.store(true);
#endif
    ostrane::Ending ending = session.run();
    // tcpdump's -z takes the last file of -G with -W too: no capture goes on in it.
    if (!options.post_rotate.empty() && dispatcher.file_limit_reached()) post_rotate.run(dispatcher.file_name());
    post_rotate.reap();
    ending.file_limit = options.file_count;
    messages.closing();
    const ostrane::Verdict verdict = ostrane::conclude(ending);
    for (const std::string& line : verdict.lines) messages.say(line);
    report(messages, ending, captures, dispatcher);
    session.settle();
    return verdict.status;
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
    if (options.interfaces.empty()) {
        std::cerr << "[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n";
        ostrane::print_usage(std::cerr, program);
        return 1;
    }
    return run_capture(options, stdout_closed);
}
