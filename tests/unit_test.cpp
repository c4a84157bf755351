// What the end-to-end tests cannot reach: the exact bytes of records with
// chosen timestamps and lengths, stops from another thread (the Windows console
// handler's, which TSan watches here), and the table for devices this machine
// does not have.

#include "app/interface_listing.h"
#include "app/messages.h"
#include "capture/capture_engine.h"
#include "interfaces/interface_manager.h"
#include "output/packet_dispatcher.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using ostrane::PacketDispatcher;
using ostrane::PacketRecordHeader;

ostrane::CapturedPacket packet_of(const std::string& bytes, double timestamp, uint32_t original) {
    return {timestamp, original, static_cast<uint32_t>(bytes.size()), reinterpret_cast<const uint8_t*>(bytes.data())};
}

ostrane::DispatcherConfig file_config(const std::string& path,
                                     ostrane::RecordFormat format = ostrane::RecordFormat::Records) {
    ostrane::DispatcherConfig config;
    config.mode = ostrane::OutputMode::File;
    config.output_path = path;
    config.format = format;
    return config;
}

std::string pattern(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

// The worked example, a header alone, a record cut by the snap length and one
// larger than the output buffer; as records, and as a pcap file after its header.
TEST(RecordStream, GoldenBytesAndCounters) {
    const char* const path = "record_stream_test.bin";  // in the build tree, where ctest runs
    const auto remove = [](const char* file) { (void)std::remove(file); };
    const std::unique_ptr<const char, decltype(remove)> cleanup(path, remove);

    const std::string sixty = pattern(60, 0);
    const std::string snapped = pattern(64, 3);
    const std::string big = pattern(PacketDispatcher::kBufferCapacity + 37856, 1);
    const std::string pcap_header("\xD4\xC3\xB2\xA1" "\x02\0\x04\0" "\0\0\0\0\0\0\0\0" "\0\0\x04\0" "\x71\0\0\0", 24);
    const auto join = [](std::initializer_list<std::string> parts) {
        std::string all;
        for (const std::string& part : parts) all += part;
        return all;
    };
    for (const auto& [format, expected] : {
             std::pair{ostrane::RecordFormat::Records,
                       join({std::string("PKT\0" "\0\0\0\0\0\0\x04\x40" "\x3C\0\0\0" "\x3C\0\0\0", 20), sixty,
                             std::string("PKT\0" "\0\0\0\0\0\0\x08\x40" "\0\0\0\0" "\0\0\0\0", 20),
                             std::string("PKT\0" "\0\0\0\0\0\0\x10\x40" "\xEA\x05\0\0" "\x40\0\0\0", 20), snapped,
                             std::string("PKT\0" "\0\0\0\0\0\0\x14\x40" "\xE0\x93\x04\0" "\xE0\x93\x04\0", 20), big})},
             {ostrane::RecordFormat::Pcap,
              join({pcap_header, std::string("\x02\0\0\0" "\x20\xA1\x07\0" "\x3C\0\0\0" "\x3C\0\0\0", 16), sixty,
                    std::string("\x03\0\0\0" "\0\0\0\0" "\0\0\0\0" "\0\0\0\0", 16),
                    std::string("\x04\0\0\0" "\0\0\0\0" "\x40\0\0\0" "\xEA\x05\0\0", 16), snapped,
                    std::string("\x05\0\0\0" "\0\0\0\0" "\xE0\x93\x04\0" "\xE0\x93\x04\0", 16), big})}}) {
        PacketDispatcher dispatcher(file_config(path, format));
        dispatcher.set_link(113, 262144);
        ASSERT_TRUE(dispatcher.init());
        EXPECT_TRUE(dispatcher.dispatch(packet_of(sixty, 2.5, 60)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of("", 3.0, 0)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(snapped, 4.0, 1514)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(big, 5.0, 300000)));
        dispatcher.close();

        std::ifstream in(path, std::ios::binary);
        const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(written, expected);
        EXPECT_EQ(dispatcher.packets_dispatched(), 4u);
        EXPECT_EQ(dispatcher.bytes_written(), written.size());  // the file header too
    }
}

// tcpdump's names: -C numbers the files after the first, -W makes a ring of
// them with numbers as wide as its largest, -G passes the name through
// strftime and, with -W alone, ends after that many files.
TEST(FileRotation, NamesAndStepsAsTcpdump) {
    using Step = ostrane::FileRotation::Step;
    struct Case {
        const char* pattern;
        ostrane::RotationConfig config;
        std::vector<std::pair<uint64_t, std::time_t>> records;  // bytes in the file and the time, before each
        std::string names;  // the first file, then each new one, then "stop" if it ends
    };
    const std::time_t t0 = std::time_t{86400} * 365;  // 1971-01-01, in any time zone a whole minute
    for (const Case& c : std::vector<Case>{
             {"f", {1000, 0, 0}, {{1000, t0}, {1001, t0}, {5000, t0}}, "f f1 f2"},
             {"f", {1000, 0, 3}, {{1001, t0}, {1001, t0}, {1001, t0}, {999, t0}}, "f0 f1 f2 f0"},
             {"f", {1000, 0, 11}, {{1001, t0}}, "f00 f01"},
             {"f", {1000, 0, 1}, {{1001, t0}}, "f f"},
             {"g%M", {0, 60, 2}, {{0, t0 + 59}, {9999, t0 + 60}, {0, t0 + 150}}, "g00 g01 stop"},
             {"g%M.", {1000, 60, 10}, {{1001, t0 + 1}, {10, t0 + 60}}, "g00.0 g00.1 g01.0"},
         }) {
        ostrane::FileRotation rotation(c.pattern, c.config);
        std::string names = rotation.start(t0);
        for (const auto& [bytes, now] : c.records) {
            const bool due = rotation.due(bytes, now);
            const Step step = rotation.advance(bytes, now);
            EXPECT_EQ(step != Step::Stay, due) << c.pattern;
            if (step == Step::Next) names += " " + rotation.name();
            if (step == Step::Stop) names += " stop";
        }
        EXPECT_EQ(names, c.names) << c.pattern;
    }
}

// Writes go where the script says: each step takes at most that many bytes,
// or fails with ENOSPC at -1 and EAGAIN (a reader with no room) at -2; past
// the script, all are taken.
class ScriptedDispatcher : public PacketDispatcher {
public:
    explicit ScriptedDispatcher(std::deque<long> script, ostrane::RecordFormat format = ostrane::RecordFormat::Records)
        : PacketDispatcher(file_config("/dev/null", format)), script_(std::move(script)) {}
    std::string stream;

protected:
    long write_some(const uint8_t* data, size_t size) override {
        long take = static_cast<long>(size);
        if (!script_.empty()) {
            take = std::min(take, script_.front());
            script_.pop_front();
        }
        if (take < 0) errno = take == -2 ? EAGAIN : ENOSPC;
        if (take > 0) stream.append(reinterpret_cast<const char*>(data), static_cast<size_t>(take));
        return take < 0 ? -1 : take;
    }

private:
    std::deque<long> script_;
};

// A full disk takes a batch only in part, in the middle of a record: the
// counters follow what it took, no byte goes twice, and the record that began
// to go out is finished, not dropped. The same for a pcap file after its header.
TEST(RecordStream, DiskFullInTheMiddleOfABatch) {
    std::vector<std::string> frames;
    for (char seed = 0; seed < 5; ++seed) frames.push_back(pattern(60000, seed));
    for (const auto format : {ostrane::RecordFormat::Records, ostrane::RecordFormat::Pcap}) {
        const bool pcap = format == ostrane::RecordFormat::Pcap;
        ScriptedDispatcher dispatcher(pcap ? std::deque<long>{24, -1, 250000, -1} : std::deque<long>{-1, 250000, -1},
                                      format);
        ASSERT_TRUE(dispatcher.init());
        const auto file_header = ostrane::pcap_file_header(1, 262144);
        std::string expected = pcap ? std::string(file_header.begin(), file_header.end()) : "";
        double stamp = 1.0;
        for (const std::string& frame : frames) {
            if (stamp == 5.0) {
                EXPECT_FALSE(dispatcher.flush());  // held: the disk takes nothing
            }
            const ostrane::CapturedPacket packet = packet_of(frame, stamp++, 60000);
            EXPECT_TRUE(dispatcher.dispatch(packet));
            uint8_t header[ostrane::kMaxRecordHeader];
            expected.append(reinterpret_cast<const char*>(header), ostrane::encode_record_header(format, packet, header));
            expected += frame;
        }
        EXPECT_EQ(std::make_pair(dispatcher.packets_dispatched(), dispatcher.bytes_written()),
                  std::make_pair(uint64_t{4}, uint64_t{pcap ? 250024u : 250000u}));
        EXPECT_TRUE(dispatcher.finish());
        EXPECT_EQ(dispatcher.stream, expected);
        EXPECT_EQ(std::make_pair(dispatcher.packets_dispatched(), dispatcher.bytes_written()),
                  std::make_pair(uint64_t{5}, uint64_t{expected.size()}));
    }
}

// Standard error that takes nothing (a paused terminal, an unread pipe) holds
// lines without blocking, counts those past its limit, and gives everything
// it kept, in order, with the count, once it takes more.
TEST(Messages, HeldWhileTheStreamTakesNothingThenCounted) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::FILE* stream = ::fdopen(ends[1], "w");
    ASSERT_NE(stream, nullptr);
    std::string seen;
    const auto read_all = [&] {
        char chunk[65536];
        for (long n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) seen.append(chunk, static_cast<size_t>(n));
    };
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(::fcntl(ends[1], F_GETPIPE_SZ), 'f');
    ASSERT_EQ(::write(ends[1], filler.data(), filler.size()), static_cast<long>(filler.size()));
    {
        ostrane::Messages messages(stream, true, false);
        const std::string line(99, 'x');
        const size_t kept = ostrane::Messages::kMaxHeld / 100;
        for (size_t i = 0; i < kept + 3; ++i) messages.say(line);  // returns at once, or the test hangs
        read_all();
        EXPECT_EQ(seen, filler);
        // Once the capture is over, the report is kept whatever its size, after the count.
        messages.closing();
        const std::string report(ostrane::Messages::kMaxHeld, 'r');
        messages.say(report);
        std::string expected = filler;
        for (size_t i = 0; i < kept; ++i) expected += line + "\n";
        expected += "[WARN] 3 messages were lost while standard error took nothing\n" + report + "\n";
        std::thread reader([&] {
            for (int i = 0; i < 100 && seen.size() < expected.size(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                read_all();
            }
        });
        messages.finish();
        reader.join();
        EXPECT_EQ(seen, expected);
    }
    (void)std::fclose(stream);
    ::close(ends[0]);
    // A socket (journald's) that takes nothing, then a stop signal: the line is given up, and any later one.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    stream = ::fdopen(ends[1], "w");
    while (::send(ends[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    {
        std::atomic<unsigned> signals{0};
        ostrane::Messages messages(stream, false, false);
        messages.watch_stop_signals(&signals);
        messages.say("never shown");  // returns at once, or the test hangs
        std::thread stop([&] { std::this_thread::sleep_for(std::chrono::milliseconds(50)), signals.fetch_add(1); });
        messages.finish();
        stop.join();
        messages.say("nor this");
    }
    seen.clear(), read_all();
    EXPECT_EQ(seen.find_first_not_of('f'), std::string::npos);
    (void)std::fclose(stream);
    ::close(ends[0]);
}

// A reader that takes nothing, then a little at each turn (once, a lot): the capture reads
// on as far as records_room() allows, records wait in memory beyond the old
// 256 KiB but never beyond the hold limit, and all go out whole, in order
// and once, with exact counters.
TEST(RecordStream, HeldForAReaderUpToTheLimit) {
    std::deque<long> script(20, -2);
    for (int i = 0; i < 400; ++i) script.insert(script.end(), {i == 200 ? 400000 : 7000, -2});
    ScriptedDispatcher dispatcher(std::move(script));
    dispatcher.set_hold_limit(600000);
    ASSERT_TRUE(dispatcher.init());
    std::string expected;
    uint64_t most = 0;
    double stamp = 0;
    for (int turn = 0; turn < 420; ++turn) {
        for (uint64_t i = std::min<uint64_t>(dispatcher.records_room(1500), 8); i > 0; --i) {
            const std::string frame = pattern(1000 + static_cast<size_t>(stamp) % 500, 'a');
            const ostrane::CapturedPacket packet = packet_of(frame, ++stamp, 1500);
            ASSERT_TRUE(dispatcher.dispatch(packet));
            expected += std::string(PacketRecordHeader::kSize, '\0') + frame;
            PacketRecordHeader::from_packet(packet).encode(
                reinterpret_cast<uint8_t*>(&expected[expected.size() - frame.size() - PacketRecordHeader::kSize]));
        }
        ASSERT_TRUE(dispatcher.send_available());
        EXPECT_NE(dispatcher.reader_fd(), -1);
        most = std::max(most, dispatcher.pending_bytes());
        // Within the limit; sent space counts once reusing it moves no byte twice on average.
        const uint64_t held = dispatcher.pending_bytes(), room = dispatcher.records_room(1500);
        EXPECT_TRUE(room <= (600000 - held) / 1520 && room >= (600000 - std::min<uint64_t>(600000, 2 * held)) / 1520);
    }
    EXPECT_GT(most, uint64_t{PacketDispatcher::kBufferCapacity});
    EXPECT_LE(most, 600000u);
    EXPECT_TRUE(dispatcher.finish());
    EXPECT_EQ(dispatcher.stream, expected);
    EXPECT_EQ(std::make_pair(dispatcher.packets_dispatched(), dispatcher.bytes_written()),
              std::make_pair(static_cast<uint64_t>(stamp), uint64_t{expected.size()}));
}

// The stream carries the timestamp as a double: the exact microseconds must come back from it.
TEST(CaptureEngine, KeepsEveryMicrosecondAndClampsTheBufferSize) {
    pcap_pkthdr header{};
    header.ts.tv_sec = 1893456000;  // 2030
    for (long usec = 0; usec < 1000000; usec += 997) {
        header.ts.tv_usec = usec;
        const double stamp = ostrane::to_captured_packet(header, nullptr).timestamp;
        ASSERT_EQ(static_cast<long>(std::floor(stamp)), header.ts.tv_sec) << usec;
        ASSERT_EQ(std::lround((stamp - std::floor(stamp)) * 1e6), usec);
    }
    for (const auto& [megabytes, bytes] : {std::pair{2047, 2047 << 20}, {2048, INT_MAX}, {INT32_MIN, INT_MIN}}) {
        EXPECT_EQ(ostrane::buffer_size_bytes(megabytes), bytes) << megabytes;
    }
}

TEST(CaptureEngine, EveryStopEndsTheLoopAsPromised) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    struct Sink {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        ~Sink() { ::close(fd); }
    } sink;
    ASSERT_EQ(::bind(sink.fd, reinterpret_cast<sockaddr*>(&sink.addr), sink.len), 0);
    ASSERT_EQ(::getsockname(sink.fd, reinterpret_cast<sockaddr*>(&sink.addr), &sink.len), 0);

    ostrane::CaptureConfig config;
    config.interface_name = "lo";
    config.filter = "udp dst port " + std::to_string(ntohs(sink.addr.sin_port));
    ostrane::CaptureEngine engine(config);
    ASSERT_TRUE(engine.open()) << engine.last_error();
    EXPECT_FALSE(engine.open());  // the handle in use is neither replaced nor leaked
    int calls = 0;
    const auto run = [&](const std::function<void()>& meanwhile) {
        const auto started = std::chrono::steady_clock::now();
        std::thread other(meanwhile);
        EXPECT_TRUE(engine.start_capture([&calls](const ostrane::CapturedPacket&) { ++calls; }));
        other.join();
        return std::chrono::steady_clock::now() - started;
    };

    // A quiet link: the loop still sees a stop from another thread.
    const auto second = std::chrono::seconds(1);
    EXPECT_LT(run([&] { std::this_thread::sleep_for(second / 4), engine.stop_capture(); }), second);
    // Ctrl+C before the loop (while a large ring was set up) is not lost: the
    // loop delivers what the kernel holds, then ends by itself.
    for (int i = 0; i < 3; ++i) ::sendto(sink.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&sink.addr), sink.len);
    engine.request_stop();
    EXPECT_LT(run([] {}), second);
    EXPECT_EQ(calls, 3);
    EXPECT_GE(engine.get_stats().packets_received, 3u);
}

// Deques keep every piece of the list at a stable address.
struct DeviceList {
    std::deque<pcap_if_t> devices;
    std::deque<pcap_addr_t> entries;
    std::deque<sockaddr_storage> sockaddrs;

    pcap_if_t* add(const char* name, const char* description, bpf_u_int32 flags) {
        devices.push_back({nullptr, const_cast<char*>(name), const_cast<char*>(description), nullptr, flags});
        return &devices.back();
    }
    sockaddr* addr(sa_family_t family, const char* text = "") {
        sockaddr_storage& storage = sockaddrs.emplace_back();
        storage.ss_family = family;
        if (family == AF_INET) inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr);
        if (family == AF_INET6) inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr);
        return reinterpret_cast<sockaddr*>(&storage);
    }
    void add_address(pcap_if_t* device, sockaddr* address, sockaddr* netmask = nullptr) {
        entries.push_back({device->addresses, address, netmask, nullptr, nullptr});
        device->addresses = &entries.back();  // prepended: add the last address first
    }
    std::string render() const {
        std::vector<ostrane::NetworkInterface> interfaces(devices.size());
        std::transform(devices.begin(), devices.end(), interfaces.begin(), ostrane::InterfaceManager::from_device);
        std::ostringstream out;
        ostrane::print_interface_table(interfaces, out);
        return out.str();
    }
};

TEST(InterfaceListing, RendersEveryKindOfDevice) {
    DeviceList list;
    pcap_if_t* nic = list.add("eth9", "Test NIC", PCAP_IF_UP | PCAP_IF_RUNNING);
    list.add_address(nic, list.addr(AF_INET6, "2001:db8:0:0:0:0:0:1"));  // no netmask
    list.add_address(nic, list.addr(AF_INET, "192.0.2.7"), list.addr(AF_INET, "255.255.255.0"));
    list.add_address(nic, list.addr(AF_PACKET));
    pcap_if_t* lo = list.add("lo", nullptr, PCAP_IF_UP | PCAP_IF_LOOPBACK);
    list.add_address(lo, list.addr(AF_INET6, "::1"), list.addr(AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
    list.add_address(lo, list.addr(AF_INET, "127.0.0.1"), list.addr(AF_INET, "255.0.0.0"));
    list.add_address(list.add("lo2", "", PCAP_IF_LOOPBACK), list.addr(AF_PACKET));  // no IP: no Address row
    // Controls, DEL, C1 (U+009B) and what is not UTF-8 (overlong, surrogate, cut short) are escaped; é and 🦊
    // stay, and so do the first and last characters of each length: U+00A0, U+0800, U+10000, U+10FFFF, and
    // those beside the surrogates, U+D7FF and U+E000. Past U+10FFFF, the last surrogate and overlong forms of
    // U+07FF and U+FFFF are escaped.
    list.add("ev\x1b[7m",
             "caf\xc3\xa9 \xf0\x9f\xa6\x8a\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80"
             "\xf4\x90\x80\x80\xed\xbf\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf\t\x7f\xc2\x9b\xc0\xaf\xed\xa0\x80\xff\xe2\x82",
             0);

    const std::string top =
        "\n╔══════════════════════════════════════════════════════════╗\n"
        "║              Available Network Interfaces               ║\n"
        "╠══════════════════════════════════════════════════════════╣\n";
    const std::string bottom = "╚══════════════════════════════════════════════════════════╝\n\n";
    const std::string rule = "║  ────────────────────────────────────────────────────\n";
    EXPECT_EQ(list.render(), top +
                                  "║  [0] eth9\n"
                                  "║      Description: Test NIC\n"
                                  "║      Status: UP\n"
                                  "║      Address: 192.0.2.7 / 255.255.255.0\n"
                                  "║      Address: 2001:db8::1\n" +
                                  rule +
                                  "║  [1] lo\n"
                                  "║      Description: (no description)\n"
                                  "║      Status: UP (loopback)\n"
                                  "║      Address: 127.0.0.1 / 255.0.0.0\n"
                                  "║      Address: ::1 / ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff\n" +
                                  rule +
                                  "║  [2] lo2\n"
                                  "║      Description: \n"
                                  "║      Status: DOWN (loopback)\n" + rule +
                                  "║  [3] ev\\x1b[7m\n"
                                  "║      Description: café 🦊\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80"
                                  "\\xf4\\x90\\x80\\x80\\xed\\xbf\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf\\x09\\x7f\\xc2\\x9b\\xc0\\xaf\\xed\\xa0\\x80\\xff\\xe2\\x82\n"
                                  "║      Status: DOWN\n" +
                                  bottom);
    EXPECT_EQ(DeviceList().render(), "No interfaces found. Ensure you have appropriate permissions.\n");
}

}  // namespace
