#pragma once
// Helpers for tests that run the real binary or send loopback traffic.

#include "output/packet_dispatcher.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

bool running_as_root();

// Skips the calling test when live capture is not possible.
#define REQUIRE_ROOT()                                                         \
    do {                                                                       \
        if (!test::running_as_root()) GTEST_SKIP() << "live capture needs root"; \
    } while (0)

struct Record {
    ostrane::PacketRecordHeader header;
    std::string payload;
};

struct ParsedStream {
    std::vector<Record> records;
    size_t trailing_bytes = 0;  // bytes after the last whole record
    bool bad_magic = false;
};

ParsedStream parse_stream(const std::string& bytes);

// The number after `label` in a capture report, or -1.
long long report_value(const std::string& report, const std::string& label);

// The UDP payload of an Ethernet/IPv4 frame captured on lo.
std::string udp_payload(const std::string& frame);
// The index UdpSink::flood put at the start of a datagram.
uint64_t flood_index(const std::string& frame);

// A UDP socket bound to 127.0.0.1 on a free port, so that datagrams sent to it
// draw no ICMP replies.
class UdpSink {
public:
    UdpSink();
    ~UdpSink();
    UdpSink(const UdpSink&) = delete;
    UdpSink& operator=(const UdpSink&) = delete;
    uint16_t port() const { return port_; }
    void send(const std::string& payload) const;  // from a fresh socket, to 127.0.0.1:port()
    // Sends datagrams of `size` bytes (at least 8) as fast as loopback takes
    // them, until `count` are sent or `duration` is over; each starts with its
    // index, little-endian, counted on across calls. Returns how many were sent.
    size_t flood(size_t size, size_t count, std::chrono::milliseconds duration) const;

private:
    int fd_ = -1;
    int sender_ = -1;
    uint16_t port_ = 0;
    mutable uint64_t next_index_ = 0;
};

// A child process with stderr, and optionally stdout, read while it runs.
class Subprocess {
public:
    static constexpr int kStdoutPipe = -1;    // read into stdout_bytes()
    static constexpr int kStdoutClosed = -2;  // the child starts with no stdout
    // Otherwise the child's stdout is `stdout_fd`.
    explicit Subprocess(const std::vector<std::string>& args, int stdout_fd = kStdoutPipe);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout);
    void signal(int sig) const;
    // Exit status, 128+signal when killed by a signal, or -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    bool exited() const { return exited_; }
    int pid() const { return pid_; }

    std::string stdout_bytes();
    std::string stderr_text();

private:
    int pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::mutex mutex_;
    std::string out_;
    std::string err_;
    std::thread out_reader_;
    std::thread err_reader_;
};

// A capture on lo of UDP to a fresh sink port, with `extra` options after
// "-i lo -f <filter>".
struct LiveCapture {
    UdpSink sink;
    std::unique_ptr<Subprocess> child;
    LiveCapture(const std::string& binary, const std::vector<std::string>& extra,
                int stdout_fd = Subprocess::kStdoutPipe);
    bool started() const;  // waits for the capture to start
};

constexpr const char* kDispatched = "[INFO] Packets dispatched:         ";
constexpr const char* kWritten = "[INFO] Bytes written:              ";
constexpr const char* kDropped = "[INFO] Packets dropped by kernel:  ";

// The stream is whole, the report is there, and its counters describe the
// stream exactly.
void expect_report_matches(const std::string& report, const std::string& stream);

// Runs the program to completion with no stdin; returns {status, stdout, stderr}.
struct Completed {
    int status;
    std::string out;
    std::string err;
};
Completed run(const std::vector<std::string>& args);

}  // namespace test
