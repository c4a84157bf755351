#include "capture/capture_engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

namespace ostrane {

namespace {

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// pcap_geterr is overwritten by the next call on the handle, so callers copy
// it at once. Some failures (PCAP_ERROR_ACTIVATED, a few activation codes on
// older libpcaps) leave it empty; the status text is better than nothing.
std::string error_text(pcap_t* handle, int status) {
    std::string text = pcap_geterr(handle);
    if (text.empty()) text = pcap_statustostr(status);
    return text;
}

// `ip broadcast` needs the interface's netmask. pcap_lookupnet gives it in
// network byte order, while the compiled filter compares it with addresses
// loaded in host order (passed as is, as tcpdump does, a little-endian host
// tests the wrong octets and misses 127.255.255.255 on lo). A device without
// an IPv4 address has no netmask; filters that do not need one still compile.
bpf_u_int32 netmask_of(const std::string& device) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    bpf_u_int32 network = 0;
    bpf_u_int32 netmask = 0;
    if (pcap_lookupnet(device.c_str(), &network, &netmask, errbuf) == -1) return PCAP_NETMASK_UNKNOWN;
    unsigned char octets[sizeof netmask] = {};
    std::memcpy(octets, &netmask, sizeof netmask);
    return bpf_u_int32{octets[0]} << 24 | bpf_u_int32{octets[1]} << 16 | bpf_u_int32{octets[2]} << 8 | octets[3];
}

bool apply_filter(pcap_t* handle, const std::string& device, const std::string& expression, std::string& error) {
    const bpf_u_int32 netmask = netmask_of(device);
    bpf_program program{};
    if (pcap_compile(handle, &program, expression.c_str(), 1, netmask) == -1) {
        error = "BPF compilation failed for '" + expression + "': " + pcap_geterr(handle);
        return false;
    }
    const bool applied = pcap_setfilter(handle, &program) != -1;
    if (!applied) error = std::string("Failed to apply BPF filter: ") + pcap_geterr(handle);
    pcap_freecode(&program);
    return applied;
}

// A turn of the loop comes at least this often, to see a stop request, to
// answer SIGUSR1 and to retry output. Not the read timeout: waking every
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
// libpcap's TPACKET_V3 ring blocks are 256 KiB whatever the snap length, and
// under steady traffic each retires with the packets of one read timeout:
// the gap may fill at most a quarter of the ring's blocks, so a small ring
// (-b 2 has 8) still has room for a burst that comes meanwhile.
int read_gap_ms(int32_t buffer_size_mb, int32_t timeout_ms) {
    constexpr int64_t kBlockBytes = int64_t{256} << 10;
    constexpr int64_t kLibpcapDefault = int64_t{2} << 20;
    const int bytes = buffer_size_bytes(buffer_size_mb);
    const int64_t blocks = (bytes > 0 ? bytes : kLibpcapDefault) / kBlockBytes;
    return static_cast<int>(std::clamp<int64_t>(blocks / 4 * std::max(timeout_ms, 1), 1, kReadGapMs));
}
// libpcap takes a snap length outside (0, 262144] as this.
constexpr int32_t kMaximumSnaplen = 262144;

int64_t microseconds(std::chrono::nanoseconds since_epoch) {
    return std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
}
// The clock packets are stamped with, and one that never jumps.
int64_t wall_us() { return microseconds(std::chrono::system_clock::now().time_since_epoch()); }
int64_t steady_us() { return microseconds(std::chrono::steady_clock::now().time_since_epoch()); }

}  // namespace

int buffer_size_bytes(int32_t buffer_size_mb) {
    // 2048 MiB and above do not fit an int once shifted; clamp instead of overflowing.
    const int64_t bytes = static_cast<int64_t>(buffer_size_mb) * (int64_t{1} << 20);
    return static_cast<int>(std::clamp<int64_t>(bytes, INT_MIN, INT_MAX));
}

CaptureEngine::CaptureEngine(const CaptureConfig& config) : config_(config) {}

CaptureEngine::~CaptureEngine() {
    stop_capture();
    close();
}

bool CaptureEngine::open() {
    if (handle_.load() != nullptr) {
        last_error_ = "Capture handle already open";
        return false;
    }

    char errbuf[PCAP_ERRBUF_SIZE] = {};
    PcapHandle handle(pcap_create(config_.interface_name.c_str(), errbuf));
    if (!handle) {
        last_error_ = std::string("Failed to create pcap handle: ") + errbuf;
        return false;
    }

    // The handle is built in a local and published only once it is fully set
    // up, so the interrupt handler never sees a half-configured one.
    pcap_t* h = handle.get();
    auto fail = [&](const char* step, int status) {
        last_error_ = step + error_text(h, status);
        return false;
    };

    int rc = pcap_set_snaplen(h, config_.snaplen);
    if (rc != 0) return fail("Failed to set snap length: ", rc);
    rc = pcap_set_promisc(h, config_.promiscuous ? 1 : 0);
    if (rc != 0) return fail("Failed to set promiscuous mode: ", rc);
    rc = pcap_set_timeout(h, config_.timeout_ms);
    if (rc != 0) return fail("Failed to set timeout: ", rc);
    rc = pcap_set_buffer_size(h, buffer_size_bytes(config_.buffer_size_mb));
    if (rc != 0) return fail("Failed to set buffer size: ", rc);

    rc = pcap_activate(h);
    if (rc < 0) return fail("Failed to activate pcap handle: ", rc);
    if (rc > 0) {
        // Positive results are warnings (promiscuous mode not supported, for
        // example); the handle is usable.
        std::cerr << "[WARN] pcap_activate warning: " << error_text(h, rc) << std::endl;
    }

    if (!config_.filter.empty() && !apply_filter(h, config_.interface_name, config_.filter, last_error_)) return false;
#ifdef _WIN32
    // Npcap hands a read over once this much is waiting or the read timeout
    // expires (16 000 bytes by default): ask for a lone packet at once, as
    // the short timeout does on Linux. Unmeasured. Looked up at run time,
    // and not under wine (which the tests run on): its wpcap exports it as a
    // stub that aborts the process.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    if (HMODULE wpcap = wine ? nullptr : GetModuleHandleA("wpcap.dll")) {
        using SetMinToCopy = int (*)(pcap_t*, int);
        if (FARPROC found = GetProcAddress(wpcap, "pcap_setmintocopy")) {
            (void)reinterpret_cast<SetMinToCopy>(reinterpret_cast<void (*)()>(found))(h, 1);
        }
    }
#endif

    // A blocking pcap_dispatch on a TPACKET_V3 ring never returns on a quiet
    // link (libpcap leaves the timeout to the kernel, which retires only
    // blocks that hold packets). Non-blocking reads and our own wait give the
    // loop a turn at least every kIdleWaitMs: to retry held output, to see a
    // stop request, and to end the drain. Set before the handle is published:
    // the switch closes libpcap's wake-up eventfd, which a pcap_breakloop on
    // another thread writes to.
    if (pcap_setnonblock(h, 1, errbuf) != 0) {
        last_error_ = std::string("Failed to set non-blocking mode: ") + errbuf;
        return false;
    }
    handle_.store(handle.release());
    return true;
}

bool CaptureEngine::set_filter(const std::string& expression) {
    pcap_t* h = handle_.load();
    if (h == nullptr) {
        last_error_ = "Cannot set filter: handle not open";
        return false;
    }
    if (!apply_filter(h, config_.interface_name, expression, last_error_)) return false;
    config_.filter = expression;
    return true;
}

int CaptureEngine::drain_ms(int32_t timeout_ms) {
    constexpr int kMargin = 50;
    constexpr int kMost = 250;
    return std::clamp(timeout_ms, 0, kMost - kMargin) + kMargin;
}

bool CaptureEngine::start_capture(PacketCallback cb) {
    pcap_t* h = handle_.load();
    if (h == nullptr) {
        last_error_ = "Cannot start capture: handle not open";
        return false;
    }
    callback_ = std::move(cb);
    const bool ok = run_loop(false);
    stop_requested_.store(false);
    return ok;
}

uint64_t CaptureEngine::count_unread_before_stop() {
    if (handle_.load() == nullptr || request_steady_us_.load() == 0) return 0;
    uint64_t count = 0;
    callback_ = [&count](const CapturedPacket&) { ++count; };
    (void)run_loop(true);
    callback_ = nullptr;
    return count;
}

uint32_t CaptureEngine::max_captured_length() const {
    return static_cast<uint32_t>(config_.snaplen > 0 && config_.snaplen < kMaximumSnaplen ? config_.snaplen
                                                                                           : kMaximumSnaplen);
}

OutputRoom CaptureEngine::ask_room() const { return room_ ? room_() : OutputRoom{}; }

bool CaptureEngine::run_loop(bool sweeping) {
    pcap_t* h = handle_.load();
    drained_ = false;
    OutputRoom room = sweeping ? OutputRoom{} : ask_room();
    const int read_gap = read_gap_ms(config_.buffer_size_mb, config_.timeout_ms);
    // A stop that arrived before the loop is not forgotten: the loop does
    // not run at all.
    // After the drain it only waits for the owner's output, reading nothing.
    while (!drained_ || room.fd >= 0) {
        if (!sweeping && (stop_requested_.load() || stop_requests_.load() > 1)) break;
        // While output is held the ring is still read, as far as the owner
        // has room: the kernel's ring alone would run out of blocks.
        const bool reading = !drained_ && room.packets != 0;
        const int batch = room.packets < 0 ? config_.dispatch_batch : std::min(config_.dispatch_batch, room.packets);
        int rc = 0;
        if (reading) rc = pcap_dispatch(h, batch, &CaptureEngine::pcap_callback, reinterpret_cast<u_char*>(this));
        if (!sweeping) {
            if (turn_) turn_(reading && rc >= batch);
            room = ask_room();
        }
        if (rc < 0 && rc != PCAP_ERROR_BREAK) {
            // PCAP_ERROR and anything else negative: the socket failed, for
            // example because the interface went down or was removed.
            last_error_ = "pcap_dispatch error: " + error_text(h, rc);
            return false;
        }
        // A full batch, with maybe more ready at once; or PCAP_ERROR_BREAK
        // from pcap_breakloop (a stop from the callback, the interrupt
        // handler or another thread), after which the flags above say what
        // to do. A short batch means libpcap found no further block ready:
        // the wait below comes next, not a read that would only poll too.
        if (rc == PCAP_ERROR_BREAK || (reading && rc >= batch) || (drained_ && room.fd < 0)) continue;

        // Nothing more to read now (or no room to read). During a drain a read
        // that finds nothing is the end once the kernel has retired the ring
        // block that was open at the request, which drain_ms after it
        // covers: until then a packet captured before the request may still
        // be sitting in that block.
        int wait_ms = kIdleWaitMs;
        bool watch_ring = !drained_ && room.packets != 0;
        if (reading && rc > 0) {
            watch_ring = false;
            wait_ms = read_gap;
        }
        const int64_t request = request_steady_us_.load();
        if (reading && request != 0) {
            const int64_t left_us = request + 1000 * static_cast<int64_t>(drain_ms(config_.timeout_ms)) - steady_us();
            if (left_us <= 0) {
                drained_ = true;
                continue;
            }
            wait_ms = static_cast<int>(std::min<int64_t>(wait_ms, (left_us + 999) / 1000));
        }
        if (!wait_for_packets(h, watch_ring, room.fd, wait_ms)) return false;
    }
    return true;
}

bool CaptureEngine::wait_for_packets(pcap_t* handle, bool packets, int out_fd, int ms) {
#ifdef _WIN32
    (void)packets;
    (void)out_fd;
    // Npcap's pcap_getevent would serve here, but wine's wpcap aborts on it,
    // and the wine tests are what runs this branch. Short sleeps bound the
    // wait just as well, at the price of a few wake-ups on an idle link.
    (void)handle;
    Sleep(static_cast<DWORD>(std::clamp(ms, 0, 10)));
    return true;
#else
    // After ENETDOWN libpcap must be called again soon to tell a device that
    // went down from one that went away; it says how soon here.
    if (const timeval* required = pcap_get_required_select_timeout(handle)) {
        const long required_ms = required->tv_sec * 1000L + required->tv_usec / 1000L;
        ms = static_cast<int>(std::min<long>(ms, std::max(required_ms, 1L)));
    }
    // An fd of -1 is left out by poll().
    pollfd fds[2] = {{packets ? pcap_get_selectable_fd(handle) : -1, POLLIN, 0}, {out_fd, POLLOUT, 0}};
    // A signal (EINTR) is a stop request or nothing: the loop looks at its flags.
    if (::poll(fds, 2, ms) >= 0 || errno == EINTR) return true;
    last_error_ = std::string("pcap_dispatch error: poll failed: ") + std::strerror(errno);
    return false;
#endif
}

void CaptureEngine::stop_capture() {
    stop_requested_.store(true);
    break_loop();
}

void CaptureEngine::request_stop() {
    // Only the first request's time counts. clock_gettime, under both
    // clocks, is async-signal-safe. The steady time is there first, so the
    // loop never times a drain from a request it does not know.
    int64_t none = 0;
    if (request_steady_us_.compare_exchange_strong(none, steady_us())) {
        request_us_.store(wall_us());
    }
    stop_requests_.fetch_add(1);
    break_loop();
}

void CaptureEngine::break_loop() {
    // libpcap keeps the flag until a pcap_dispatch consumes it, also when no
    // loop runs. A stale flag costs the loop one turn, and nothing else
    // reads the handle.
    if (pcap_t* h = handle_.load()) pcap_breakloop(h);
}

int CaptureEngine::datalink() const {
    pcap_t* handle = handle_.load();
    return handle != nullptr ? pcap_datalink(handle) : -1;
}

int CaptureEngine::snapshot() const {
    pcap_t* handle = handle_.load();
    return handle != nullptr ? pcap_snapshot(handle) : -1;
}

CaptureStats CaptureEngine::get_stats() const {
    pcap_t* h = handle_.load();
    pcap_stat st{};
    if (h == nullptr || pcap_stats(h, &st) != 0) return {};
    return {st.ps_recv, st.ps_drop};
}

void CaptureEngine::close() {
    stop_capture();
    if (pcap_t* h = handle_.exchange(nullptr)) pcap_close(h);
    // A closed engine has nothing left to stop; a later open() starts afresh.
    stop_requested_.store(false);
    stop_requests_.store(0);
    request_us_.store(0);
    request_steady_us_.store(0);
}

std::chrono::steady_clock::duration CaptureEngine::since_stop_request() const {
    const int64_t request = request_steady_us_.load();
    if (request == 0) return {};
    return std::chrono::microseconds(steady_us() - request);
}

void CaptureEngine::pcap_callback(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* engine = reinterpret_cast<CaptureEngine*>(user);
    if (!engine->callback_) return;
    const int64_t request = engine->request_us_.load();
    if (request != 0 && int64_t{header->ts.tv_sec} * 1000000 + header->ts.tv_usec > request) {
        // Captured after the stop was asked for: the drain is complete once
        // this batch is read. Not at once: two CPUs may put a packet stamped
        // a microsecond before the request behind this one.
        engine->drained_ = true;
        return;
    }
    engine->callback_(to_captured_packet(*header, bytes));
}

}  // namespace ostrane
