// The record stream's bytes, and what the dispatcher does when its stream fails.

#include "output/packet_dispatcher.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using ostrane::CapturedPacket;
using ostrane::DispatcherConfig;
using ostrane::OutputMode;
using ostrane::PacketDispatcher;

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char name_template[] = "/tmp/ostrane-test-XXXXXX";
        path = ::mkdtemp(name_template);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

DispatcherConfig to_file(const std::string& path) { return {OutputMode::File, path}; }

CapturedPacket packet_of(const std::string& bytes, double timestamp = 1.0, uint32_t original = 0) {
    CapturedPacket packet;
    packet.timestamp = timestamp;
    packet.captured_length = static_cast<uint32_t>(bytes.size());
    packet.original_length = original != 0 ? original : packet.captured_length;
    packet.data = reinterpret_cast<const uint8_t*>(bytes.data());
    return packet;
}

std::string pattern(size_t size, char seed = 0) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

TEST(RecordFormat, GoldenBytes) {
    TempDir dir;
    const auto path = dir.path / "out.bin";
    PacketDispatcher dispatcher(to_file(path));
    ASSERT_TRUE(dispatcher.init());

    const std::string sixty = pattern(60);
    const std::string snapped = pattern(64, 3);
    EXPECT_TRUE(dispatcher.dispatch(packet_of(sixty, 2.5)));
    EXPECT_TRUE(dispatcher.dispatch(packet_of("", 3.0)));              // header alone
    EXPECT_TRUE(dispatcher.dispatch(packet_of(snapped, 4.0, 1514)));   // truncated by snaplen
    EXPECT_TRUE(dispatcher.flush());  // nothing pending: a no-op that succeeds
    dispatcher.close();

    const std::string example_header("PKT\0" "\0\0\0\0\0\0\x04\x40" "\x3C\0\0\0" "\x3C\0\0\0", 20);
    const std::string empty_header("PKT\0" "\0\0\0\0\0\0\x08\x40" "\0\0\0\0" "\0\0\0\0", 20);
    const std::string snapped_header("PKT\0" "\0\0\0\0\0\0\x10\x40" "\xEA\x05\0\0" "\x40\0\0\0", 20);
    EXPECT_EQ(read_file(path), example_header + sixty + empty_header + snapped_header + snapped);
    EXPECT_EQ(dispatcher.packets_dispatched(), 3u);
    EXPECT_EQ(dispatcher.bytes_written(), 80u + 20u + 84u);
}

TEST(RecordFormat, RecordLargerThanTheBufferArrivesWhole) {
    TempDir dir;
    const auto path = dir.path / "big.bin";
    const std::string big = pattern(PacketDispatcher::kBufferCapacity + 37856, 1);
    const std::string small = pattern(10, 9);
    PacketDispatcher dispatcher(to_file(path));
    ASSERT_TRUE(dispatcher.init());
    ASSERT_TRUE(dispatcher.dispatch(packet_of(big)));
    ASSERT_TRUE(dispatcher.dispatch(packet_of(small)));
    dispatcher.close();

    const auto parsed = test::parse_stream(read_file(path));
    ASSERT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.trailing_bytes, 0u);
    EXPECT_EQ(parsed.records[0].payload, big);
    EXPECT_EQ(parsed.records[1].payload, small);
    EXPECT_EQ(dispatcher.packets_dispatched(), 2u);
    EXPECT_EQ(dispatcher.bytes_written(), 40u + big.size() + small.size());
}

TEST(Dispatcher, RefusesToWriteOutsideItsLifetime) {
    TempDir dir;
    const auto path = dir.path / "out.bin";
    PacketDispatcher dispatcher(to_file(path));
    const std::string bytes = pattern(8);
    EXPECT_FALSE(dispatcher.dispatch(packet_of(bytes)));
    EXPECT_EQ(dispatcher.last_error(), "Dispatcher not initialized");

    ASSERT_TRUE(dispatcher.init());
    ASSERT_TRUE(dispatcher.dispatch(packet_of(bytes)));
    dispatcher.close();
    EXPECT_FALSE(dispatcher.dispatch(packet_of(bytes)));
    EXPECT_EQ(dispatcher.last_error(), "Dispatcher not initialized");
    EXPECT_TRUE(dispatcher.flush());
    EXPECT_EQ(read_file(path).size(), 28u);
    EXPECT_EQ(dispatcher.packets_dispatched(), 1u);  // the report reads them after close

    const std::string missing = (dir.path / "no/such/dir/out.bin").string();
    PacketDispatcher unopenable(to_file(missing));
    EXPECT_FALSE(unopenable.init());
    EXPECT_EQ(unopenable.last_error(), "Failed to open output file: " + missing);
}

TEST(OutputFailure, FullDeviceKeepsRecordsUntilTheBufferIsFull) {
    PacketDispatcher dispatcher(to_file("/dev/full"));
    ASSERT_TRUE(dispatcher.init());
    // 13107 header-only records fit in the buffer; each dispatch "succeeds"
    // because a full disk may drain.
    const size_t fit = PacketDispatcher::kBufferCapacity / 20;
    for (size_t i = 0; i < fit; ++i) ASSERT_TRUE(dispatcher.dispatch(packet_of(""))) << i;
    EXPECT_FALSE(dispatcher.dispatch(packet_of("")));
    EXPECT_EQ(dispatcher.last_error(), "Write failed: wrote 0 of 262144 bytes");
    EXPECT_EQ(dispatcher.packets_dispatched(), 0u);
    EXPECT_EQ(dispatcher.bytes_written(), 0u);
}

// A stream that takes part of a write and then no more: the file size limit.
TEST(OutputFailure, PartialWriteIsCountedExactlyAndNeverRepeated) {
    TempDir dir;
    const auto path = dir.path / "limited.bin";
    ASSERT_NE(::signal(SIGXFSZ, SIG_IGN), SIG_ERR);  // as the program does: EFBIG instead of death
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct LimitGuard {
        rlimit saved;
        ~LimitGuard() { ::setrlimit(RLIMIT_FSIZE, &saved); }
    } guard{saved};
    rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    PacketDispatcher dispatcher(to_file(path));
    ASSERT_TRUE(dispatcher.init());
    for (char i = 0; i < 12; ++i) {
        const std::string bytes = pattern(60, i);
        ASSERT_TRUE(dispatcher.dispatch(packet_of(bytes)));
    }
    const std::string thirteenth = pattern(60, 12);
    EXPECT_FALSE(dispatcher.dispatch(packet_of(thirteenth)));
    EXPECT_EQ(dispatcher.last_error(), "Write failed: wrote 40 of 80 bytes");
    EXPECT_FALSE(dispatcher.dispatch(packet_of(thirteenth)));
    dispatcher.close();
    ::setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(dispatcher.packets_dispatched(), 12u);
    EXPECT_EQ(dispatcher.bytes_written(), 1000u);
    const std::string written = read_file(path);
    ASSERT_EQ(written.size(), 1000u);
    const auto parsed = test::parse_stream(written);
    ASSERT_EQ(parsed.records.size(), 12u);
    EXPECT_EQ(parsed.records[11].payload, pattern(60, 11));
    EXPECT_EQ(parsed.trailing_bytes, 40u);
}

// A disk that fills and then drains: pending records go out exactly once and
// the stream stays whole. Needs root for a small tmpfs.
TEST(OutputFailure, FullDiskThatDrainsLosesAndRepeatsNothing) {
    REQUIRE_ROOT();
    TempDir dir;
    ASSERT_EQ(::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path.string()};

    const auto filler = dir.path / "filler";
    { std::ofstream(filler, std::ios::binary) << std::string(32768, 'x'); }

    PacketDispatcher dispatcher(to_file((dir.path / "out.bin").string()));
    ASSERT_TRUE(dispatcher.init());
    uint64_t accepted = 0;
    // Odd-sized records so that the disk fills in the middle of one.
    while (dispatcher.bytes_written() == accepted * 1021 && accepted < 100) {
        const std::string bytes = pattern(1001, static_cast<char>(accepted));
        ASSERT_TRUE(dispatcher.dispatch(packet_of(bytes)));
        ++accepted;
    }
    ASSERT_LT(accepted, 100u) << "the disk never filled";
    for (int more = 0; more < 5; ++more, ++accepted) {
        const std::string bytes = pattern(1001, static_cast<char>(accepted));
        ASSERT_TRUE(dispatcher.dispatch(packet_of(bytes)));
    }
    EXPECT_LT(dispatcher.packets_dispatched(), accepted);

    std::filesystem::remove(filler);
    EXPECT_TRUE(dispatcher.flush());
    dispatcher.close();

    const auto parsed = test::parse_stream(read_file(dir.path / "out.bin"));
    ASSERT_EQ(parsed.records.size(), accepted);
    EXPECT_EQ(parsed.trailing_bytes, 0u);
    for (uint64_t i = 0; i < accepted; ++i) {
        ASSERT_EQ(parsed.records[i].payload, pattern(1001, static_cast<char>(i))) << "record " << i;
    }
    EXPECT_EQ(dispatcher.packets_dispatched(), accepted);
    EXPECT_EQ(dispatcher.bytes_written(), accepted * 1021);
}

}  // namespace
