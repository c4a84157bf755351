// The capture engine against the real libpcap.

#include "capture/capture_engine.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <future>
#include <thread>

namespace {

using ostrane::CaptureConfig;
using ostrane::CaptureEngine;
using ostrane::CapturedPacket;

CaptureConfig on_loopback(const std::string& filter = "") {
    CaptureConfig config;
    config.interface_name = "lo";
    config.filter = filter;
    return config;
}

TEST(CaptureEngine, ClosedEngineRefusesWorkAndReportsZeros) {
    CaptureEngine engine(on_loopback());
    EXPECT_FALSE(engine.start_capture([](const CapturedPacket&) {}));
    EXPECT_EQ(engine.last_error(), "Cannot start capture: handle not open");
    EXPECT_FALSE(engine.set_filter("udp"));
    EXPECT_EQ(engine.last_error(), "Cannot set filter: handle not open");
    engine.stop_capture();
    engine.close();
    engine.close();
    const auto stats = engine.get_stats();
    EXPECT_EQ(stats.packets_received, 0u);
    EXPECT_EQ(stats.packets_dropped, 0u);
}

TEST(CaptureEngine, NonexistentInterfaceFailsAtActivation) {
    CaptureConfig config;
    config.interface_name = "nosuchif0";
    CaptureEngine engine(config);
    EXPECT_FALSE(engine.open());
    EXPECT_EQ(engine.last_error().rfind("Failed to activate pcap handle: ", 0), 0u) << engine.last_error();
    EXPECT_FALSE(engine.start_capture([](const CapturedPacket&) {}));  // nothing was left open
}

TEST(CaptureEngine, BufferSizeIsClampedInsteadOfOverflowing) {
    EXPECT_EQ(ostrane::buffer_size_bytes(16), 16 << 20);
    EXPECT_EQ(ostrane::buffer_size_bytes(2047), 2047 << 20);
    EXPECT_EQ(ostrane::buffer_size_bytes(2048), INT_MAX);
    EXPECT_EQ(ostrane::buffer_size_bytes(INT32_MAX), INT_MAX);
    EXPECT_EQ(ostrane::buffer_size_bytes(-5), -5 * (1 << 20));  // libpcap ignores it
    EXPECT_EQ(ostrane::buffer_size_bytes(INT32_MIN), INT_MIN);
}

// The stream carries the timestamp as a double; a reader must be able to get
// the exact microseconds back from it.
TEST(CaptureEngine, PacketMappingKeepsEveryMicrosecond) {
    const u_char bytes[4] = {1, 2, 3, 4};
    pcap_pkthdr header{};
    header.len = 1514;
    header.caplen = 4;
    header.ts.tv_sec = 2;
    header.ts.tv_usec = 500000;
    CapturedPacket packet = ostrane::to_captured_packet(header, bytes);
    EXPECT_EQ(packet.timestamp, 2.5);
    EXPECT_EQ(packet.original_length, 1514u);
    EXPECT_EQ(packet.captured_length, 4u);
    EXPECT_EQ(packet.data, bytes);

    header.ts.tv_sec = 1893456000;  // 2030
    for (long usec = 0; usec < 1000000; usec += 997) {
        header.ts.tv_usec = usec;
        packet = ostrane::to_captured_packet(header, bytes);
        const double seconds = std::floor(packet.timestamp);
        ASSERT_EQ(static_cast<long>(seconds), header.ts.tv_sec) << usec;
        ASSERT_EQ(std::lround((packet.timestamp - seconds) * 1e6), usec);
    }

    CaptureEngine idle(on_loopback());  // no callback installed: nothing happens
    CaptureEngine::pcap_callback(reinterpret_cast<u_char*>(&idle), &header, bytes);
}

TEST(CaptureEngine, OpenTwiceAndBadFilter) {
    REQUIRE_ROOT();
    CaptureEngine engine(on_loopback());
    ASSERT_TRUE(engine.open()) << engine.last_error();
    EXPECT_FALSE(engine.open());
    EXPECT_EQ(engine.last_error(), "Capture handle already open");
    EXPECT_TRUE(engine.set_filter("udp"));  // the first handle is still there
    EXPECT_FALSE(engine.set_filter("udp port"));
    EXPECT_EQ(engine.last_error().rfind("BPF compilation failed for 'udp port': ", 0), 0u);

    CaptureEngine filtered(on_loopback("tcp port abc"));
    EXPECT_FALSE(filtered.open());
    EXPECT_EQ(filtered.last_error().rfind("BPF compilation failed for 'tcp port abc': ", 0), 0u)
        << filtered.last_error();
    EXPECT_FALSE(filtered.start_capture([](const CapturedPacket&) {}));
}

TEST(CaptureEngine, CapturesLoopbackAndStopsFromTheCallback) {
    REQUIRE_ROOT();
    test::UdpSink sink;
    ASSERT_NE(sink.port(), 0);
    CaptureConfig config = on_loopback("udp dst port " + std::to_string(sink.port()));
    config.snaplen = 60;
    CaptureEngine engine(config);
    ASSERT_TRUE(engine.open()) << engine.last_error();

    // Queued in the ring before the loop starts.
    for (int i = 0; i < 3; ++i) sink.send(std::string(200, static_cast<char>('a' + i)));

    // A stop that came before the loop (Ctrl+C during open) keeps it from
    // running, once.
    engine.stop_capture();
    int early_calls = 0;
    EXPECT_TRUE(engine.start_capture([&](const CapturedPacket&) { ++early_calls; }));
    EXPECT_EQ(early_calls, 0);

    std::promise<void> finished;
    std::thread watchdog([&engine, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) engine.stop_capture();
    });
    int calls = 0;
    CapturedPacket first;
    std::string first_bytes;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const bool ok = engine.start_capture([&](const CapturedPacket& packet) {
        if (calls++ == 0) {
            first = packet;
            first_bytes.assign(reinterpret_cast<const char*>(packet.data), packet.captured_length);
        }
        engine.stop_capture();
    });
    finished.set_value();
    watchdog.join();

    EXPECT_TRUE(ok) << engine.last_error();
    ASSERT_GE(calls, 1) << "nothing captured before the watchdog fired";
    EXPECT_EQ(calls, 1) << "libpcap kept delivering after pcap_breakloop";
    EXPECT_EQ(first.captured_length, 60u);
    EXPECT_EQ(first.original_length, 14u + 20u + 8u + 200u);
    EXPECT_EQ(first_bytes.substr(42), std::string(18, 'a'));
    EXPECT_NEAR(first.timestamp, now.tv_sec + now.tv_usec / 1e6, 5.0);
    EXPECT_GE(engine.get_stats().packets_received, 1u);
}

}  // namespace

namespace {

// Where the interrupt handler runs on a thread of its own, stop_capture comes
// from outside while the loop sits in pcap_dispatch with nothing to read.
TEST(CaptureEngine, StopFromAnotherThreadEndsAnIdleLoop) {
    REQUIRE_ROOT();
    test::UdpSink unused;
    CaptureEngine engine(on_loopback("udp dst port " + std::to_string(unused.port())));
    ASSERT_TRUE(engine.open()) << engine.last_error();
    const auto started = std::chrono::steady_clock::now();
    std::thread stopper([&engine] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        engine.stop_capture();
    });
    EXPECT_TRUE(engine.start_capture([](const CapturedPacket&) {}));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

}  // namespace
