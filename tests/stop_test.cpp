// How a capture ends on a signal: what the kernel already holds is written,
// a reader that stopped reading cannot hold the capture, and records held by
// a full disk leave as soon as there is room. Every case starts a capture,
// acts, and checks the status, the stream and the report together.

#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kBinary = OSTRANE_BINARY;
constexpr size_t kPayload = 1000;
constexpr size_t kRecord = 20 + 14 + 20 + 8 + kPayload;  // header, Ethernet, IPv4, UDP

// A 1 MiB tmpfs with all but 8 KiB taken by a filler file, mounted for the
// test's lifetime even when it fails.
struct NearlyFullDisk {
    std::string dir;
    bool mounted = false;
    NearlyFullDisk() {
        char pattern[] = "/tmp/ostrane-full-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        dir = pattern;
        mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
        std::ofstream(filler(), std::ios::binary) << std::string((1u << 20) - 8192, '\0');
    }
    ~NearlyFullDisk() {
        if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
        if (!dir.empty()) ::rmdir(dir.c_str());
    }
    NearlyFullDisk(const NearlyFullDisk&) = delete;
    NearlyFullDisk& operator=(const NearlyFullDisk&) = delete;
    std::string filler() const { return dir + "/filler"; }
    std::string stream() const { return dir + "/stream.bin"; }
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

enum class Output { Read, Stalled, StalledNonBlocking, NearlyFullDisk };

// One capture on lo, its stdout as the case asks.
struct Capture {
    test::UdpSink sink;
    std::unique_ptr<NearlyFullDisk> disk;
    int stalled[2] = {-1, -1};  // a pipe whose reading end nobody reads
    std::unique_ptr<test::Subprocess> child;

    Capture(Output output, const std::vector<std::string>& prefix) {
        int fd = test::Subprocess::kStdoutPipe;
        if (output == Output::NearlyFullDisk) {
            disk = std::make_unique<NearlyFullDisk>();
            fd = ::open(disk->stream().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        } else if (output != Output::Read && ::pipe2(stalled, O_CLOEXEC) == 0) {
            if (output == Output::StalledNonBlocking) ::fcntl(stalled[1], F_SETFL, O_NONBLOCK);
            fd = stalled[1];
        }
        std::vector<std::string> args = prefix;
        args.insert(args.end(), {kBinary, "-i", "lo", "-f", "udp dst port " + std::to_string(sink.port())});
        child = std::make_unique<test::Subprocess>(args, fd);
        if (fd >= 0) ::close(fd);
        stalled[1] = -1;
    }
    ~Capture() {
        child.reset();
        if (stalled[0] >= 0) ::close(stalled[0]);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // What the capture wrote, once it has exited.
    std::string stream() const {
        if (disk) return read_file(disk->stream());
        if (stalled[0] < 0) return child->stdout_bytes();
        std::string data;
        char chunk[65536];
        ::fcntl(stalled[0], F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = ::read(stalled[0], chunk, sizeof chunk)) > 0;) data.append(chunk, static_cast<size_t>(n));
        return data;
    }
    void send(int count) const {
        for (int i = 0; i < count; ++i) {
            sink.send(std::string(kPayload, static_cast<char>('a' + i % 26)));
            std::this_thread::sleep_for(1ms);
        }
    }
    void signal_after(int count, int sig, std::chrono::milliseconds delay) const {
        send(count);
        std::this_thread::sleep_for(delay);
        child->signal(sig);
    }
    void signal_under_load(int sig) const {
        std::thread stopper([this, sig] {
            std::this_thread::sleep_for(200ms);
            child->signal(sig);
        });
        sink.flood(64, 1000000, 400ms);
        stopper.join();
    }
};

struct StopCase {
    std::string name;
    Output output;
    std::function<void(const Capture&)> act;  // ends with the stop request
    long long records;                        // expected, or -1 for any number
    std::string message = {};                 // expected before the report
    std::vector<std::string> prefix = {};
};

// Capabilities, and user and group ids (real, effective, saved, file system),
// as the kernel reports them for the running capture.
void expect_unprivileged(const Capture& run, const std::string& id) {
    const std::string status = read_file("/proc/" + std::to_string(run.child->pid()) + "/status");
    const std::string ids = id + "\t" + id + "\t" + id + "\t" + id + "\n";
    EXPECT_NE(status.find("\nCapEff:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nCapPrm:\t0000000000000000\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nUid:\t" + ids), std::string::npos) << status;
    EXPECT_NE(status.find("\nGid:\t" + ids), std::string::npos) << status;
}

// Privileges go once the capture is open; the stop paths still work after.
StopCase unprivileged_case(const std::string& id) {
    return {"capturing as user " + id + " without capabilities", Output::Read,
            [id](const Capture& run) {
                expect_unprivileged(run, id);
                run.signal_after(3, SIGTERM, 0ms);
            },
            3, "", {"/usr/bin/env", "SUDO_UID=" + id, "SUDO_GID=" + id}};
}

const char* const kAbandoned = "[ERROR] Dispatch failed: Output blocked while stopping: abandoned ";

TEST(Stop, SignalsEndTheCaptureWithEverythingWrittenAndReported) {
    REQUIRE_ROOT();
    std::vector<StopCase> cases = {
        {"SIGTERM under load", Output::Read, [](const Capture& run) { run.signal_under_load(SIGTERM); }, -1},
        {"SIGHUP under load", Output::Read, [](const Capture& run) { run.signal_under_load(SIGHUP); }, -1},
        {"SIGHUP ignored from the start stays ignored", Output::Read,
         [](const Capture& run) {
             run.child->signal(SIGHUP);
             std::this_thread::sleep_for(300ms);
             run.signal_after(3, SIGINT, 0ms);
         },
         3, "", {"/usr/bin/nohup"}},
        {"reader stopped reading", Output::Stalled, [](const Capture& run) { run.signal_after(200, SIGINT, 300ms); }, -1,
         kAbandoned},
        {"reader stopped reading, non-blocking pipe", Output::StalledNonBlocking,
         [](const Capture& run) { run.signal_after(200, SIGTERM, 300ms); }, -1, kAbandoned},
        {"disk full, then freed while no traffic flows", Output::NearlyFullDisk,
         [](const Capture& run) {
             run.send(20);
             ASSERT_TRUE(run.child->wait_for_stderr("[WARN] Output is full: holding ", 5s));
             std::this_thread::sleep_for(300ms);
             ASSERT_LT(run.stream().size(), 20 * kRecord);
             ::unlink(run.disk->filler().c_str());
             const auto deadline = std::chrono::steady_clock::now() + 1s;
             while (run.stream().size() < 20 * kRecord && std::chrono::steady_clock::now() < deadline) {
                 std::this_thread::sleep_for(10ms);
             }
             EXPECT_EQ(run.stream().size(), 20 * kRecord) << "held records still held a second later";
             run.child->signal(SIGINT);
         },
         20, "[INFO] Output resumed: held records written\n"},
        unprivileged_case("0"),
        unprivileged_case("65534"),
    };
    for (const int sig : {SIGINT, SIGTERM}) {
        for (const auto delay : {0ms, 20ms, 60ms}) {
            // cppcheck-suppress useStlAlgorithm ; a product of two lists reads better as two loops
            cases.push_back({"10 datagrams, then signal " + std::to_string(sig) + " " +
                                 std::to_string(delay.count()) + " ms later",
                             Output::Read, [sig, delay](const Capture& run) { run.signal_after(10, sig, delay); }, 10});
        }
    }

    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        Capture run(c.output, c.prefix);
        ASSERT_NE(run.sink.port(), 0);
        ASSERT_TRUE(!run.disk || run.disk->mounted) << "cannot mount a tmpfs";
        ASSERT_TRUE(run.child->wait_for_stderr("Capture started", 10s)) << run.child->stderr_text();
        c.act(run);
        ASSERT_EQ(run.child->wait(2s), 0) << run.child->stderr_text();

        const std::string err = run.child->stderr_text();
        const std::string stream = run.stream();
        test::expect_report_matches(err, stream);
        if (c.records >= 0) {
            EXPECT_EQ(test::report_value(err, test::kDispatched), c.records) << err;
        }
        const size_t report = err.find("\n[INFO] Capture complete.");
        if (!c.message.empty()) {
            EXPECT_LT(err.find(c.message), report) << err;
        }
        size_t warnings = 0;
        for (size_t at = err.find("[WARN]"); at != std::string::npos; at = err.find("[WARN]", at + 1)) ++warnings;
        EXPECT_EQ(warnings, c.output == Output::NearlyFullDisk ? 1u : 0u) << err;
    }
}

}  // namespace
