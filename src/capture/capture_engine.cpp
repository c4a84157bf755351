#include "capture/capture_engine.h"

#include <algorithm>
#include <climits>
#include <iostream>
#include <memory>
#include <utility>

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

bool apply_filter(pcap_t* handle, const std::string& expression, std::string& error) {
    bpf_program program{};
    if (pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == -1) {
        error = "BPF compilation failed for '" + expression + "': " + pcap_geterr(handle);
        return false;
    }
    const bool applied = pcap_setfilter(handle, &program) != -1;
    if (!applied) error = std::string("Failed to apply BPF filter: ") + pcap_geterr(handle);
    pcap_freecode(&program);
    return applied;
}

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

    if (!config_.filter.empty() && !apply_filter(h, config_.filter, last_error_)) return false;

    handle_.store(handle.release());
    return true;
}

bool CaptureEngine::set_filter(const std::string& expression) {
    pcap_t* h = handle_.load();
    if (h == nullptr) {
        last_error_ = "Cannot set filter: handle not open";
        return false;
    }
    if (!apply_filter(h, expression, last_error_)) return false;
    config_.filter = expression;
    return true;
}

bool CaptureEngine::start_capture(PacketCallback cb) {
    pcap_t* h = handle_.load();
    if (h == nullptr) {
        last_error_ = "Cannot start capture: handle not open";
        return false;
    }
    callback_ = std::move(cb);

    // The loop watches stop_requested_ rather than running_, so a stop that
    // arrived before the loop (Ctrl+C while a large ring was still being
    // allocated) is not forgotten: the loop does not run at all.
    bool ok = true;
    running_.store(true);
    while (!stop_requested_.load()) {
        const int rc = pcap_dispatch(h, config_.dispatch_batch, &CaptureEngine::pcap_callback,
                                     reinterpret_cast<u_char*>(this));
        if (rc >= 0) {
            // A batch of packets, or 0 when the read timeout expired with
            // nothing to deliver: keep reading.
            continue;
        }
        if (rc == PCAP_ERROR_BREAK) {
            // pcap_breakloop was called, by stop_capture from the callback or
            // from the interrupt handler. libpcap has already reset its flag.
            break;
        }
        // PCAP_ERROR and anything else negative: the socket failed, for
        // example because the interface went down or was removed.
        last_error_ = "pcap_dispatch error: " + error_text(h, rc);
        ok = false;
        break;
    }
    running_.store(false);
    stop_requested_.store(false);
    return ok;
}

void CaptureEngine::stop_capture() {
    stop_requested_.store(true);
    // Break only a loop that runs: libpcap keeps the break flag until a
    // pcap_dispatch call consumes it, and a stale flag would end the next
    // capture as soon as it started.
    if (!running_.load()) return;
    if (pcap_t* h = handle_.load()) pcap_breakloop(h);
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
}

void CaptureEngine::pcap_callback(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* engine = reinterpret_cast<CaptureEngine*>(user);
    if (!engine->callback_) return;
    engine->callback_(to_captured_packet(*header, bytes));
}

}  // namespace ostrane
