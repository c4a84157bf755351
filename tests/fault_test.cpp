// Faults and load against the real binary: a reader that goes away, Ctrl+C at
// bad moments and under load, a slow reader, hostile arguments. All of them
// need root, and read the capture's stdout while it runs.

#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* const kBinary = OSTRANE_BINARY;

// A pipe for the capture's stdout whose reading end the test drives: `chunk`
// bytes per read, `pause` between reads, closed after `limit` bytes.
class SlowPipe {
public:
    SlowPipe(size_t chunk, std::chrono::milliseconds pause, size_t limit = SIZE_MAX) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        write_fd_ = fds[1];
        reader_ = std::thread([this, fd = fds[0], chunk, pause, limit] {
            std::string buffer(chunk, '\0');
            for (;;) {
                const size_t want = std::min(chunk, limit - bytes_.load());
                const ssize_t n = want > 0 ? ::read(fd, buffer.data(), want) : 0;
                if (n <= 0) break;
                {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    data_.append(buffer.data(), static_cast<size_t>(n));
                }
                bytes_ += static_cast<size_t>(n);
                std::this_thread::sleep_for(pause);
            }
            ::close(fd);  // a reader that goes away
        });
    }
    ~SlowPipe() {
        close_write();
        if (reader_.joinable()) reader_.join();
    }
    SlowPipe(const SlowPipe&) = delete;
    SlowPipe& operator=(const SlowPipe&) = delete;

    int write_fd() const { return write_fd_; }
    // The child has its own copy; the reader sees end of file once it exits.
    void close_write() {
        if (write_fd_ >= 0) ::close(write_fd_);
        write_fd_ = -1;
    }
    std::string data() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return data_;
    }
    void join() {
        if (reader_.joinable()) reader_.join();
    }

private:
    int write_fd_ = -1;
    std::atomic<size_t> bytes_{0};
    std::mutex mutex_;
    std::string data_;
    std::thread reader_;
};

using test::kDispatched;
using test::kDropped;
using test::kWritten;
using test::LiveCapture;

long long report(const std::string& err, const char* label) { return test::report_value(err, label); }

// Records whose flood indices only grow: nothing reordered or repeated.
void expect_in_order(const std::vector<test::Record>& records) {
    for (size_t i = 1; i < records.size(); ++i) {
        ASSERT_LT(test::flood_index(records[i - 1].payload), test::flood_index(records[i].payload)) << "record " << i;
    }
}

TEST(Fault, ReaderGoesAwayInTheMiddleOfTheStream) {
    REQUIRE_ROOT();
    SlowPipe pipe(65536, 0ms, 300000);
    LiveCapture capture(kBinary, {}, pipe.write_fd());
    const auto& [sink, child] = capture;
    pipe.close_write();
    ASSERT_TRUE(capture.started()) << child->stderr_text();
    for (int round = 0; round < 100 && child->wait(0ms) == -1; ++round) sink.flood(1000, 200, 1s);
    ASSERT_EQ(child->wait(10s), 0) << child->stderr_text();
    pipe.join();

    const std::string err = child->stderr_text();
    EXPECT_NE(err.find("[ERROR] Dispatch failed: Write failed: wrote "), std::string::npos) << err;
    EXPECT_LT(err.find("[ERROR] Dispatch failed"), err.find("[INFO] Capture complete.")) << err;
    const std::string got = pipe.data();
    const auto parsed = test::parse_stream(got);
    EXPECT_EQ(got.size(), 300000u);
    EXPECT_FALSE(parsed.bad_magic);
    EXPECT_GT(parsed.records.size(), 100u);
    expect_in_order(parsed.records);
    EXPECT_GE(report(err, kWritten), static_cast<long long>(got.size()));
}

TEST(Fault, CtrlCUnderSustainedLoad) {
    REQUIRE_ROOT();
    LiveCapture capture(kBinary, {});
    const auto& [sink, child] = capture;
    ASSERT_TRUE(capture.started()) << child->stderr_text();
    std::thread interrupter([&capture] {
        std::this_thread::sleep_for(800ms);
        capture.child->signal(SIGINT);
    });
    const auto started = std::chrono::steady_clock::now();
    const size_t sent = sink.flood(64, 5000000, 1s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    interrupter.join();
    EXPECT_GE(sent / seconds, 50000.0) << "the load was too light to mean anything";
    ASSERT_EQ(child->wait(10s), 0) << child->stderr_text();

    const std::string stream = child->stdout_bytes();
    const std::string err = child->stderr_text();
    const auto parsed = test::parse_stream(stream);
    EXPECT_FALSE(parsed.bad_magic);
    EXPECT_EQ(parsed.trailing_bytes, 0u);
    EXPECT_GT(parsed.records.size(), 1000u);
    EXPECT_EQ(report(err, kDispatched), static_cast<long long>(parsed.records.size())) << err;
    EXPECT_EQ(report(err, kWritten), static_cast<long long>(stream.size())) << err;
    expect_in_order(parsed.records);
}

TEST(Fault, CtrlCAtAwkwardMoments) {
    REQUIRE_ROOT();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<void(test::Subprocess&, const test::UdpSink&)> act;
    };
    const Case cases[] = {
        {"while a large ring is being set up", {"-b", "1024"},
         [](test::Subprocess& child, const test::UdpSink&) {
             child.wait_for_stderr("Opening interface", 10s);
             child.signal(SIGINT);
         }},
        {"twice in quick succession", {},
         [](test::Subprocess& child, const test::UdpSink& sink) {
             child.wait_for_stderr("Capture started", 10s);
             sink.flood(100, 100, 1s);
             child.signal(SIGINT);
             child.signal(SIGINT);
         }},
        {"after -c has ended the loop", {"-c", "1"},
         [](test::Subprocess& child, const test::UdpSink& sink) {
             child.wait_for_stderr("Capture started", 10s);
             sink.flood(100, 1, 1s);
             const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             while (child.stdout_bytes().empty() && std::chrono::steady_clock::now() < deadline) {
                 std::this_thread::sleep_for(1ms);
             }
             child.signal(SIGINT);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LiveCapture capture(kBinary, c.args);
        const auto& [sink, child] = capture;
        c.act(*child, sink);
        ASSERT_EQ(child->wait(20s), 0) << child->stderr_text();
        EXPECT_NE(child->stderr_text().find("[INFO] Capture complete."), std::string::npos);
        EXPECT_EQ(test::parse_stream(child->stdout_bytes()).trailing_bytes, 0u);
    }
}

TEST(Fault, SlowReaderLosesNothingSilently) {
    REQUIRE_ROOT();
    SlowPipe pipe(4096, 2ms);
    LiveCapture capture(kBinary, {}, pipe.write_fd());
    const auto& [sink, child] = capture;
    pipe.close_write();
    ASSERT_TRUE(capture.started()) << child->stderr_text();
    const size_t sent = sink.flood(200, 20000, 5s);

    // Let the reader catch up before stopping: packets still in the ring
    // when the capture stops are neither records nor drops.
    size_t last = 0;
    for (int idle = 0; idle < 5;) {
        std::this_thread::sleep_for(200ms);
        const size_t now = pipe.data().size();
        idle = now == last ? idle + 1 : 0;
        last = now;
    }
    child->signal(SIGINT);
    ASSERT_EQ(child->wait(20s), 0) << child->stderr_text();
    pipe.join();

    const std::string err = child->stderr_text();
    const auto parsed = test::parse_stream(pipe.data());
    EXPECT_FALSE(parsed.bad_magic);
    EXPECT_EQ(parsed.trailing_bytes, 0u);
    expect_in_order(parsed.records);
    EXPECT_EQ(report(err, kDispatched), static_cast<long long>(parsed.records.size())) << err;
    EXPECT_GE(parsed.records.size() + static_cast<size_t>(report(err, kDropped)), sent) << err;
}

// Every value either captures (then Ctrl+C ends it with the report), or is
// refused with exactly one [ERROR] line and status 1. Never a crash.
TEST(Fault, HostileArguments) {
    REQUIRE_ROOT();
    std::string long_filter;
    while (long_filter.size() < 10000) long_filter += "udp dst port 9 or ";
    long_filter += "udp dst port 9";
    const std::vector<std::vector<std::string>> cases = {
        {"-s", "0"},     {"-s", "-1"},     {"-s", "abc"},       {"-s", "999999999"},
        {"-b", "0"},     {"-b", "-5"},     {"-b", "2048"},      {"-b", "99999"},
        {"-c", "-1"},    {"-c", "abc"},    {"-i", std::string(300, 'i')},
        {"-f", long_filter},               {"-f", std::string(10000, 'x')},
        {"-i", "\xff\xfe\x80"},            {"-f", "udp port \xff\xfe"},
    };
    for (const auto& extra : cases) {
        SCOPED_TRACE(extra[0] + " " + extra[1].substr(0, 40));
        LiveCapture capture(kBinary, extra);
        const auto& [sink, child] = capture;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (child->wait(0ms) == -1 && child->stderr_text().find("Capture started") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (!child->exited()) child->signal(SIGINT);
        const int status = child->wait(30s);
        const std::string err = child->stderr_text();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
        size_t errors = 0;
        for (size_t at = err.find("[ERROR] "); at != std::string::npos; at = err.find("[ERROR] ", at + 1)) ++errors;
        if (err.find("Capture started") != std::string::npos) {
            EXPECT_EQ(status, 0) << err;
            EXPECT_NE(err.find("[INFO] Capture complete."), std::string::npos) << err;
        } else {
            EXPECT_EQ(status, 1) << err;
            EXPECT_EQ(errors, 1u) << err;
        }
    }
}

}  // namespace
