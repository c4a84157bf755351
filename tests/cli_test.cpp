// The real binary, end to end: parsing, exit statuses, and live capture on lo.

#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kBinary = OSTRANE_BINARY;

std::string help_text() {
    const std::string& p = kBinary;
    return "\nOstrane Capture Engine v1.0.0\n"
           "High-performance packet capture for network analysis.\n\n"
           "Usage: " + p + " [options]\n\n"
           "Options:\n"
           "  -i <interface>    Network interface to capture on\n"
           "  -f <filter>       BPF filter expression (e.g., \"tcp port 80\")\n"
           "  -s <snaplen>      Snapshot length in bytes (default: 65535)\n"
           "  -b <buffer_mb>    Capture buffer size in MB (default: 16)\n"
           "  -c <count>        Stop after N packets (0 = unlimited)\n"
           "  -l                List available interfaces and exit\n"
           "  -h                Show this help\n\n"
           "Examples:\n"
           "  " + p + " -l\n"
           "  " + p + " -i eth0\n"
           "  " + p + " -i eth0 -f \"tcp port 80\" | python3 ../python_analyzer/main.py\n\n";
}

const std::string kNoInterface = "[ERROR] No interface specified. Use -i <interface> or -l to list.\n\n";

std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), kBinary);
    return args;
}

struct ParseCase {
    std::vector<std::string> args;
    int status;
    std::string stderr_text;
};

TEST(CommandLine, HelpAndArgumentErrors) {
    const std::string help = help_text();
    const ParseCase cases[] = {
        {{}, 1, kNoInterface + help},
        {{"-h"}, 0, help},
        {{"--help", "-i", "lo"}, 0, help},
        {{"-l", "-h"}, 0, help},
        {{"-i"}, 0, "Unknown option: -i\n" + help},
        {{"eth0"}, 0, "Unknown option: eth0\n" + help},
        {{"--hel", "-i", "lo", "-c"}, 0, "Unknown option: --hel\nUnknown option: -c\n" + help},
        {{"-i", ""}, 1, kNoInterface + help},
        {{"-f", "udp"}, 1, kNoInterface + help},
    };
    for (const ParseCase& c : cases) {
        const auto result = test::run(command(c.args));
        const std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(result.status, c.status) << label;
        EXPECT_EQ(result.err, c.stderr_text) << label;
        EXPECT_EQ(result.out, "") << label;
    }
}

TEST(CommandLine, OptionValuesAreTakenVerbatim) {
    // "-l" after -i is the interface name, not the list flag.
    auto result = test::run(command({"-i", "-l"}));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("[INFO] Opening interface: -l\n[ERROR] Failed to activate pcap handle: ", 0), 0u)
        << result.err;
    EXPECT_EQ(result.out, "");

    // Listing wins over capture.
    result = test::run(command({"-l", "-i", "lo"}));
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Available Network Interfaces"), std::string::npos);
    EXPECT_EQ(result.err, "");
}

TEST(Capture, StartFailuresExitWithStatusOne) {
    test::Subprocess no_stdout(command({"-i", "lo"}), test::Subprocess::kStdoutClosed);
    EXPECT_EQ(no_stdout.wait(10s), 1);
    EXPECT_EQ(no_stdout.stderr_text(), "[ERROR] Failed to initialize dispatcher: Output stream is not open\n");

    auto result = test::run(command({"-i", "nosuchif0"}));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("[INFO] Opening interface: nosuchif0\n[ERROR] Failed to activate pcap handle: ", 0),
              0u)
        << result.err;
    EXPECT_EQ(result.out, "");

    REQUIRE_ROOT();
    result = test::run(command({"-i", "lo", "-f", "tcp port abc"}));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("[ERROR] BPF compilation failed for 'tcp port abc': "), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Capture started"), std::string::npos);
    EXPECT_EQ(result.out, "");
}

std::string datagram(int index, size_t size) {
    std::string payload = "datagram " + std::to_string(index) + " ";
    payload.resize(size, static_cast<char>('A' + index % 26));
    return payload;
}

using test::LiveCapture;

// Sends up to `count` datagrams, `gap` apart, and stops early once the capture has exited.
void send_datagrams(const LiveCapture& capture, int count, size_t size, std::chrono::microseconds gap) {
    for (int sent = 0; sent < count; ++sent) {
        if (sent % 16 == 0 && capture.child->wait(0ms) != -1) return;
        capture.sink.send(datagram(sent, size));
        std::this_thread::sleep_for(gap);
    }
}

TEST(Capture, CountLimitGivesExactlyThoseRecords) {
    REQUIRE_ROOT();
    LiveCapture capture(kBinary, {"-c", "5"});
    ASSERT_TRUE(capture.started()) << capture.child->stderr_text();
    send_datagrams(capture, 40, 100, 2ms);
    ASSERT_EQ(capture.child->wait(10s), 0) << capture.child->stderr_text();

    const std::string stream = capture.child->stdout_bytes();
    const auto parsed = test::parse_stream(stream);
    ASSERT_EQ(parsed.records.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(test::udp_payload(parsed.records[i].payload), datagram(i, 100)) << i;
        EXPECT_EQ(parsed.records[i].header.original_length, parsed.records[i].header.captured_length);
    }
    test::expect_report_matches(capture.child->stderr_text(), stream);
}

TEST(Capture, SnaplenTruncatesButKeepsTheOriginalLength) {
    REQUIRE_ROOT();
    LiveCapture capture(kBinary, {"-s", "60", "-c", "3"});
    ASSERT_TRUE(capture.started()) << capture.child->stderr_text();
    send_datagrams(capture, 30, 200, 2ms);
    ASSERT_EQ(capture.child->wait(10s), 0) << capture.child->stderr_text();

    const auto parsed = test::parse_stream(capture.child->stdout_bytes());
    ASSERT_EQ(parsed.records.size(), 3u);
    for (const auto& record : parsed.records) {
        EXPECT_EQ(record.header.captured_length, 60u);
        EXPECT_EQ(record.header.original_length, 14u + 20u + 8u + 200u);
        EXPECT_EQ(record.payload.size(), 60u);
    }
}

// Output failures end the capture with a message, the report and status 0,
// never with a silent death by signal.
TEST(Capture, OutputFailureIsReported) {
    REQUIRE_ROOT();
    struct Case {
        const char* name;
        std::function<int()> open_stdout;  // the child's stdout; the parent's copy is closed after the spawn
        std::string message;
    };
    const Case cases[] = {
        {"stdout on /dev/full", [] { return ::open("/dev/full", O_WRONLY | O_CLOEXEC); },
         "[ERROR] Dispatch failed: Write failed: wrote 0 of 262144 bytes\n"},
        {"reader gone",
         [] {
             int fds[2];
             if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
             ::close(fds[0]);
             return fds[1];
         },
         "[ERROR] Dispatch failed: Write failed: wrote 0 of 1090 bytes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = c.open_stdout();
        ASSERT_GE(fd, 0);
        LiveCapture capture(kBinary, {}, fd);
        ::close(fd);
        ASSERT_TRUE(capture.started()) << capture.child->stderr_text();
        send_datagrams(capture, 2000, 1028, 100us);
        ASSERT_EQ(capture.child->wait(10s), 0) << capture.child->stderr_text();
        const std::string err = capture.child->stderr_text();
        EXPECT_NE(err.find(c.message + "\n[INFO] Capture complete.\n"), std::string::npos) << err;
        EXPECT_EQ(test::report_value(err, test::kDispatched), 0);
        EXPECT_EQ(test::report_value(err, test::kWritten), 0);
    }
}

// A veth pair that exists for the test's lifetime, even when the test fails.
struct VethPair {
    std::string name = "ostr" + std::to_string(::getpid() % 100000);
    bool created = false;
    VethPair() {
        // NOLINTNEXTLINE(cert-env33-c): a fixed command on a name the test made up
        created = std::system(("ip link add " + name + " type veth peer name " + name + "p && ip link set " +
                               name + " up && ip link set " + name + "p up")
                                  .c_str()) == 0;
    }
    ~VethPair() { remove(); }
    // NOLINTNEXTLINE(cert-env33-c): a fixed command on a name the test made up
    void remove() const { (void)std::system(("ip link del " + name + " 2>/dev/null").c_str()); }
};

TEST(Capture, InterfaceRemovedMidCaptureIsReported) {
    REQUIRE_ROOT();
    VethPair veth;
    ASSERT_TRUE(veth.created) << "cannot create a veth pair";
    test::Subprocess child(command({"-i", veth.name}));
    ASSERT_TRUE(child.wait_for_stderr("Capture started", 10s)) << child.stderr_text();
    std::this_thread::sleep_for(200ms);

    const auto removed_at = std::chrono::steady_clock::now();
    veth.remove();
    EXPECT_EQ(child.wait(5s), 0) << child.stderr_text();
    EXPECT_LT(std::chrono::steady_clock::now() - removed_at, std::chrono::seconds(1));
    const std::string err = child.stderr_text();
    const size_t reason = err.find("[ERROR] pcap_dispatch error: ");
    ASSERT_NE(reason, std::string::npos) << err;
    EXPECT_LT(reason, err.find("[INFO] Capture complete.")) << err;
    test::expect_report_matches(err, child.stdout_bytes());
}

}  // namespace
