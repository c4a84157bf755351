#include "capture/capture_engine.h"

#include "capture/packet_ring.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#ifdef _WIN32
#include <windows.h>
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

// Compiled on the activated handle, so that the code is what libpcap gives
// Linux's kernel (a VLAN tag is found in the packet's metadata, say). An
// empty expression compiles too: it keeps every packet, cut at the snap length.
bool compile_filter(pcap_t* handle, const std::string& device, const std::string& expression, bpf_program& program,
                    std::string& error) {
    if (pcap_compile(handle, &program, expression.c_str(), 1, netmask_of(device)) != -1) return true;
    error = "BPF compilation failed for '" + expression + "': " + pcap_geterr(handle);
    return false;
}

struct FilterCode {
    bpf_program program{};
    ~FilterCode() { pcap_freecode(&program); }
};

// libpcap's handle, activated with a ring of `ring_bytes`, and the filter
// compiled on it. Activation warnings are said once, when `warn` is set.
bool activate(const CaptureConfig& config, PcapHandle& handle, FilterCode& filter, int ring_bytes, bool warn,
              std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle.reset(pcap_create(config.interface_name.c_str(), errbuf));
    if (!handle) {
        error = std::string("Failed to create pcap handle: ") + errbuf;
        return false;
    }
    pcap_t* h = handle.get();
    auto fail = [&](const char* step, int status) {
        error = step + error_text(h, status);
        return false;
    };

    int rc = pcap_set_snaplen(h, config.snaplen);
    if (rc != 0) return fail("Failed to set snap length: ", rc);
    rc = pcap_set_promisc(h, config.promiscuous ? 1 : 0);
    if (rc != 0) return fail("Failed to set promiscuous mode: ", rc);
    rc = pcap_set_timeout(h, config.timeout_ms);
    if (rc != 0) return fail("Failed to set timeout: ", rc);
    rc = pcap_set_buffer_size(h, ring_bytes);
    if (rc != 0) return fail("Failed to set buffer size: ", rc);
    if (config.nano) {
        rc = pcap_set_tstamp_precision(h, PCAP_TSTAMP_PRECISION_NANO);
        if (rc != 0) return fail("Failed to set nanosecond time stamps: ", rc);
    }

    rc = pcap_activate(h);
    if (rc < 0) return fail("Failed to activate pcap handle: ", rc);
    if (rc > 0 && warn) {
        // Positive results are warnings (promiscuous mode not supported, for
        // example); the handle is usable.
        std::cerr << "[WARN] pcap_activate warning: " << error_text(h, rc) << std::endl;
    }
    if (config.direction != PacketDirection::InOut &&
        pcap_setdirection(h, config.direction == PacketDirection::In ? PCAP_D_IN : PCAP_D_OUT) != 0) {
        error = std::string("Failed to set the direction: ") + pcap_geterr(h);
        return false;
    }
    return compile_filter(h, config.interface_name, config.filter, filter.program, error);
}

// libpcap takes a snap length outside (0, 262144] as this.
constexpr int32_t kMaximumSnaplen = 262144;

}  // namespace

int buffer_size_bytes(int32_t buffer_size_mb) {
    // 2048 MiB and above do not fit an int once shifted; clamp instead of overflowing.
    const int64_t bytes = static_cast<int64_t>(buffer_size_mb) * (int64_t{1} << 20);
    return static_cast<int>(std::clamp<int64_t>(bytes, INT_MIN, INT_MAX));
}

CaptureEngine::CaptureEngine(const CaptureConfig& config) : config_(config) {}

CaptureEngine::~CaptureEngine() { close(); }

bool CaptureEngine::open() {
    if (datalink_ != -1) {
        last_error_ = "Capture handle already open";
        return false;
    }
    const int ring_bytes = buffer_size_bytes(config_.buffer_size_mb);
    PcapHandle handle;
    FilterCode filter;
#ifdef __linux__
    // While our ring is tried, libpcap's is only the smallest it makes: its
    // handle opens the device and compiles the filter, and closes once the
    // ring is open.
    constexpr int kTrialRing = 1;
    if (!activate(config_, handle, filter, kTrialRing, true, last_error_)) return false;
    if (pcap_datalink(handle.get()) == DLT_EN10MB) {
        auto ring = std::make_unique<PacketRing>();
        const PacketRing::Options options{static_cast<uint32_t>(pcap_snapshot(handle.get())), config_.promiscuous,
                                          config_.nano, config_.direction};
        if (ring->open(config_.interface_name, filter.program, ring_bytes, options)) {
            datalink_ = pcap_datalink(handle.get());
            snapshot_ = pcap_snapshot(handle.get());
            ring_ = std::move(ring);
            return true;
        }
    }
    FilterCode full;
    if (!activate(config_, handle, full, ring_bytes, false, last_error_)) return false;
    pcap_freecode(&filter.program);
    std::swap(filter.program, full.program);
#else
    if (!activate(config_, handle, filter, ring_bytes, true, last_error_)) return false;
#endif
    pcap_t* h = handle.get();
    if (!config_.filter.empty() && pcap_setfilter(h, &filter.program) == -1) {
        last_error_ = std::string("Failed to apply BPF filter: ") + pcap_geterr(h);
        return false;
    }
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
    // blocks that hold packets). The capture loop waits itself, on the
    // selectable descriptor, together with the output and the stop signals.
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (pcap_setnonblock(h, 1, errbuf) != 0) {
        last_error_ = std::string("Failed to set non-blocking mode: ") + errbuf;
        return false;
    }
    datalink_ = pcap_datalink(h);
    snapshot_ = pcap_snapshot(h);
    handle_ = handle.release();
    return true;
}

int CaptureEngine::read(int max_packets) {
#ifdef __linux__
    if (ring_) {
        const int rc = ring_->read(max_packets, &CaptureEngine::pcap_callback, reinterpret_cast<u_char*>(this));
        if (rc < 0) last_error_ = "Capture failed: " + ring_->last_error();
        return rc;
    }
#endif
    if (handle_ == nullptr) {
        last_error_ = "Cannot start capture: handle not open";
        return -1;
    }
    const int rc = pcap_dispatch(handle_, max_packets, &CaptureEngine::pcap_callback, reinterpret_cast<u_char*>(this));
    // 0: nothing ready (a non-blocking handle never waits); PCAP_ERROR_BREAK
    // cannot come, as nothing calls pcap_breakloop. Anything negative is the
    // socket failing, for example because the interface went down or away.
    if (rc >= 0) return rc;
    last_error_ = "pcap_dispatch error: " + error_text(handle_, rc);
    return -1;
}

int CaptureEngine::selectable_fd() const {
#ifdef _WIN32
    return -1;  // Npcap's event cannot be polled with the rest
#else
    if (ring_) return ring_->fd();
    return handle_ != nullptr ? pcap_get_selectable_fd(handle_) : -1;
#endif
}

int CaptureEngine::required_timeout_ms() const {
#ifdef _WIN32
    return -1;
#else
    // After ENETDOWN libpcap must be called again soon to tell a device that
    // went down from one that went away; it says how soon here.
    const timeval* required = handle_ != nullptr ? pcap_get_required_select_timeout(handle_) : nullptr;
    if (required == nullptr) return -1;
    return static_cast<int>(std::max(required->tv_sec * 1000L + required->tv_usec / 1000L, 1L));
#endif
}

uint32_t CaptureEngine::max_captured_length() const {
    return static_cast<uint32_t>(config_.snaplen > 0 && config_.snaplen < kMaximumSnaplen ? config_.snaplen
                                                                                           : kMaximumSnaplen);
}

int CaptureEngine::datalink() const {
    return datalink_;
}

int CaptureEngine::snapshot() const {
    return snapshot_;
}

uint32_t CaptureEngine::ring_slots() const {
#ifdef __linux__
    if (ring_) return ring_->slots();
#endif
    return 0;
}

CaptureStats CaptureEngine::get_stats() const {
#ifdef __linux__
    if (ring_) {
        const auto [received, dropped] = ring_->stats();
        return {received, dropped};
    }
#endif
    pcap_stat st{};
    if (handle_ == nullptr || pcap_stats(handle_, &st) != 0) return {};
    return {st.ps_recv, st.ps_drop};
}

void CaptureEngine::close() {
    if (handle_ != nullptr) pcap_close(handle_);
    handle_ = nullptr;
#ifdef __linux__
    ring_.reset();
#endif
    datalink_ = -1;
    snapshot_ = -1;
    cutoff_us_ = 0;
    saw_late_ = false;
}

void CaptureEngine::pcap_callback(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* engine = reinterpret_cast<CaptureEngine*>(user);
    if (!engine->callback_) return;
    const int64_t cutoff = engine->cutoff_us_;
    const bool nano = engine->config_.nano;
    const int64_t micros = nano ? header->ts.tv_usec / 1000 : header->ts.tv_usec;
    if (cutoff != 0 && int64_t{header->ts.tv_sec} * 1000000 + micros > cutoff) {
        // Captured after the stop was asked for. The loop ends the drain once
        // this batch is read, not at once: two CPUs may put a packet stamped
        // a microsecond before the request behind this one.
        engine->saw_late_ = true;
        return;
    }
    CapturedPacket packet = to_captured_packet(*header, bytes, nano);
    packet.interface_index = engine->index_;
    engine->callback_(packet);
}

}  // namespace ostrane
