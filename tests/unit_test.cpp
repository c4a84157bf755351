// What the end-to-end tests cannot reach: the exact bytes of records with chosen timestamps and
// lengths, a stop from another thread (which TSan watches), and devices this machine does not have.

#include "app/capture_session.h"
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
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using ostrane::PacketDispatcher;
using ostrane::PacketRecordHeader;

ostrane::CapturedPacket packet_of(const std::string& bytes, double timestamp, uint32_t original) {
    const double seconds = std::floor(timestamp);
    return {timestamp, original, static_cast<uint32_t>(bytes.size()), reinterpret_cast<const uint8_t*>(bytes.data()),
            static_cast<int64_t>(seconds), static_cast<uint32_t>(std::lround((timestamp - seconds) * 1e9))};
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

// The worked example, a header alone, a record cut by the snap length, the largest libpcap
// gives and one that a pcapng block pads; as records, as a pcap file after its header and
// as pcapng blocks after the file's first ones.
TEST(RecordStream, GoldenBytesAndCounters) {
    const char* const path = "record_stream_test.bin";  // in the build tree, where ctest runs
    const auto remove = [](const char* file) { (void)std::remove(file); };
    const std::unique_ptr<const char, decltype(remove)> cleanup(path, remove);

    const std::string sixty = pattern(60, 0);
    const std::string snapped = pattern(64, 3);
    const std::string big = pattern(262144, 1);  // the largest that libpcap gives
    const std::string odd = pattern(61, 5);
    const std::string pcap_header("\xD4\xC3\xB2\xA1" "\x02\0\x04\0" "\0\0\0\0\0\0\0\0" "\0\0\x04\0" "\x71\0\0\0", 24);
    ostrane::LinkDescription link;
    link.linktype = 113;
    link.snaplen = 262144;
    const std::vector<uint8_t> first_blocks = ostrane::pcapng_file_header({link});
    using S = std::string;
    // NOLINTBEGIN(performance-inefficient-string-concatenation): the bytes read best in order
    for (const auto& [format, expected] : {
             std::pair{ostrane::RecordFormat::Records,
                       S("PKT\0" "\0\0\0\0\0\0\x04\x40" "\x3C\0\0\0" "\x3C\0\0\0", 20) + sixty +
                           S("PKT\0" "\0\0\0\0\0\0\x08\x40" "\0\0\0\0" "\0\0\0\0", 20) +
                           S("PKT\0" "\0\0\0\0\0\0\x10\x40" "\xEA\x05\0\0" "\x40\0\0\0", 20) + snapped +
                           S("PKT\0" "\0\0\0\0\0\0\x14\x40" "\xE0\x93\x04\0" "\0\0\x04\0", 20) + big +
                           S("PKT\0" "\0\0\0\0\0\0\x18\x40" "\x3D\0\0\0" "\x3D\0\0\0", 20) + odd},
             {ostrane::RecordFormat::Pcap,
              pcap_header + S("\x02\0\0\0" "\x20\xA1\x07\0" "\x3C\0\0\0" "\x3C\0\0\0", 16) + sixty +
                  S("\x03\0\0\0" "\0\0\0\0" "\0\0\0\0" "\0\0\0\0", 16) +
                  S("\x04\0\0\0" "\0\0\0\0" "\x40\0\0\0" "\xEA\x05\0\0", 16) + snapped +
                  S("\x05\0\0\0" "\0\0\0\0" "\0\0\x04\0" "\xE0\x93\x04\0", 16) + big +
                  S("\x06\0\0\0" "\0\0\0\0" "\x3D\0\0\0" "\x3D\0\0\0", 16) + odd},
             {ostrane::RecordFormat::Pcapng,
              S(first_blocks.begin(), first_blocks.end()) +
                  S("\x06\0\0\0" "\x5C\0\0\0" "\0\0\0\0" "\0\0\0\0" "\xA0\x25\x26\0" "\x3C\0\0\0" "\x3C\0\0\0", 28) +
                  sixty + S("\x5C\0\0\0", 4) +
                  S("\x06\0\0\0" "\x20\0\0\0" "\0\0\0\0" "\0\0\0\0" "\xC0\xC6\x2D\0" "\0\0\0\0" "\0\0\0\0"
                    "\x20\0\0\0", 32) +
                  S("\x06\0\0\0" "\x60\0\0\0" "\0\0\0\0" "\0\0\0\0" "\0\x09\x3D\0" "\x40\0\0\0" "\xEA\x05\0\0", 28) +
                  snapped + S("\x60\0\0\0", 4) +
                  S("\x06\0\0\0" "\x20\0\x04\0" "\0\0\0\0" "\0\0\0\0" "\x40\x4B\x4C\0" "\0\0\x04\0" "\xE0\x93\x04\0", 28) +
                  big + S("\x20\0\x04\0", 4) +
                  S("\x06\0\0\0" "\x60\0\0\0" "\0\0\0\0" "\0\0\0\0" "\x80\x8D\x5B\0" "\x3D\0\0\0" "\x3D\0\0\0", 28) +
                  odd + S("\0\0\0" "\x60\0\0\0", 7)}}) {
        // NOLINTEND(performance-inefficient-string-concatenation)
        PacketDispatcher dispatcher(file_config(path, format));
        dispatcher.set_links({link});
        dispatcher.set_hold_limit(1 << 20);
        ASSERT_TRUE(dispatcher.init());
        EXPECT_TRUE(dispatcher.dispatch(packet_of(sixty, 2.5, 60)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of("", 3.0, 0)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(snapped, 4.0, 1514)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(big, 5.0, 300000)));
        EXPECT_TRUE(dispatcher.dispatch(packet_of(odd, 6.0, 61)));
        EXPECT_EQ(dispatcher.send(), PacketDispatcher::Sent::All);
        EXPECT_TRUE(dispatcher.close());

        std::ifstream in(path, std::ios::binary);
        const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_TRUE(written == expected) << written.size() << " bytes, not " << expected.size();
        EXPECT_EQ(std::make_pair(dispatcher.packets_dispatched(), dispatcher.bytes_written()),
                  std::make_pair(uint64_t{5}, uint64_t{written.size()}));  // the file header counts as bytes
    }
}

// tcpdump's names: -C numbers the files after the first, -W makes a ring of
// them with numbers as wide as its largest, -G passes the name through
// strftime and, with -W alone, ends after that many periods; a name the time
// does not change goes on in the same file, never truncating this run's.
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
             {"g%Y", {1000, 60, 0}, {{1001, t0 + 1}, {10, t0 + 60}, {1001, t0 + 61}}, "g1971 g19711 g19712"},
             {"g", {0, 1, 3}, {{0, t0 + 1}, {0, t0 + 2}, {0, t0 + 3}}, "g stop"},
         }) {
        ostrane::FileRotation rotation(c.pattern, c.config);
        std::string names = rotation.start(t0);
        for (const auto& [bytes, now] : c.records) {
            const bool due = rotation.due(bytes, now);
            const Step step = rotation.advance(bytes, now);
            EXPECT_TRUE(due || step == Step::Stay) << c.pattern;  // a name the time leaves alone stays
            if (step == Step::Next) names += " " + rotation.name();
            if (step == Step::Stop) names += " stop";
        }
        EXPECT_EQ(names, c.names) << c.pattern;
    }
}

// Writes go where the script says: each step takes at most that many bytes, or fails with
// ENOSPC at -1 and EAGAIN (a reader with no room) at -2; past the script, all are taken.
class ScriptedChannel : public ostrane::OutputChannel {
public:
    explicit ScriptedChannel(std::deque<long> script) : script_(std::move(script)) {}
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

using Sent = PacketDispatcher::Sent;

// Records go in whole or not at all, the largest even at the least limit; one
// that went out in part retires once it is all out; a file header is no packet.
TEST(RecordQueue, WholeRecordsInWholeRecordsOut) {
    ostrane::RecordQueue queue(0);
    const std::string largest(ostrane::RecordQueue::kLargestRecord - 24, 'L');
    const auto* bytes = reinterpret_cast<const uint8_t*>(largest.data());
    ASSERT_TRUE(queue.push(bytes, 24, bytes, largest.size(), false));
    EXPECT_FALSE(queue.push(bytes, 20, nullptr, 0));  // full: not even a header goes in
    EXPECT_EQ(queue.consume(queue.size() - 1), 0u);
    EXPECT_EQ(queue.head_sent(), ostrane::RecordQueue::kLargestRecord - 1);
    ASSERT_TRUE(queue.push(bytes, 20, bytes, 1000));
    EXPECT_EQ(queue.consume(1), 0u);  // the end of the file header
    EXPECT_EQ(queue.head_sent(), 0u);
    EXPECT_EQ(queue.clear(), 1u);
}

// pcapng files rotated between batches at the least hold, of packets whose blocks fill their
// room exactly: a new file's header finds room among the batch, and a full disk at a file's
// statistics keeps the packet in that file, before them. Each file is whole, its statistics last.
TEST(RecordStream, RotatedPcapngFilesEachWholeWithTheirStatisticsLast) {
    auto* disk = new ScriptedChannel({LONG_MAX, LONG_MAX, LONG_MAX, LONG_MAX, LONG_MAX, LONG_MAX, -1});  // the 2nd statistics
    ostrane::DispatcherConfig config = file_config("/dev/null", ostrane::RecordFormat::Pcapng);
    config.rotation.max_bytes = 200000;  // three records and a header
    PacketDispatcher dispatcher(config, std::unique_ptr<ostrane::OutputChannel>(disk));
    ASSERT_TRUE(dispatcher.init());
    const std::string frame = pattern(65501, 'r');  // 3 bytes of padding
    uint64_t packets = 0;
    for (int batch = 0; batch < 5; ++batch) {
        for (uint64_t i = dispatcher.room(64, 65501); i > 0; --i, ++packets) {
            ASSERT_TRUE(dispatcher.dispatch(packet_of(frame, 1.0, 65501))) << packets << ": " << dispatcher.last_error();
        }
        (void)dispatcher.send();
    }
    ASSERT_TRUE(dispatcher.finish({}) && dispatcher.send() == Sent::All);
    std::string kinds;  // a letter a block: S(ection), I(nterface), P(acket), C(ounters)
    for (size_t at = 0; at + 8 <= disk->stream.size();) {
        const uint32_t kind = ostrane::get_le32(reinterpret_cast<const uint8_t*>(&disk->stream[at]));
        const uint32_t length = ostrane::get_le32(reinterpret_cast<const uint8_t*>(&disk->stream[at + 4]));
        ASSERT_EQ(ostrane::get_le32(reinterpret_cast<const uint8_t*>(&disk->stream[at + length - 4])), length) << at;
        kinds += kind == 6 ? 'P' : kind == 5 ? 'C' : kind == 1 ? 'I' : 'S';
        at += length;
    }
    EXPECT_EQ(static_cast<uint64_t>(std::count(kinds.begin(), kinds.end(), 'P')), packets);
    // Each file its first blocks, its packets, then its statistics: SIPC, once the packets are one P.
    std::string files = kinds;
    files.erase(std::unique(files.begin(), files.end(), [](char a, char b) { return a == 'P' && b == 'P'; }), files.end());
    std::string whole;
    while (whole.size() < files.size()) whole += "SIPC";
    EXPECT_TRUE(files == whole && files.size() >= 16) << kinds;
}

// Standard error that takes nothing (a paused terminal, an unread pipe) holds lines without
// blocking, counts those past its limit, and gives what it kept, in order, with the count,
// once it takes more. After the report, a stop request ends the wait for it.
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
        for (int i = 0; i < 1000 && messages.holding(); ++i) read_all(), messages.pump();
        read_all();
        EXPECT_EQ(seen, expected);
    }
    (void)std::fclose(stream);
    ::close(ends[0]);
    // A socket (journald's) that takes nothing, then a stop request: the line is given up, and any later one.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> journal(::fdopen(ends[1], "w"), &std::fclose);
    while (::send(ends[1], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    ostrane::StopRequests requests;
    ostrane::Messages messages(journal.get(), false, false);
    ostrane::CaptureSet captures(std::vector<ostrane::CaptureConfig>(1));
    PacketDispatcher dispatcher({});
    messages.say("never shown");  // returns at once, or the test hangs
    std::thread stop([&] { std::this_thread::sleep_for(std::chrono::milliseconds(50)), requests.request(); });
    ostrane::CaptureSession(captures, dispatcher, messages, requests, {}).settle();
    stop.join();
    seen.clear(), read_all();
    messages.say("nor this");  // though the socket has room now
    read_all();
    EXPECT_EQ(seen.find_first_not_of('f'), std::string::npos);
    ::close(ends[0]);
}

// A reader that takes nothing, then a little at each turn (once, a lot): records
// wait beyond 256 KiB but never beyond the hold limit, and all go out whole, in
// order and once, with exact counters.
TEST(RecordStream, HeldForAReaderUpToTheLimit) {
    std::deque<long> script(20, -2);
    for (int i = 0; i < 400; ++i) script.insert(script.end(), {i == 200 ? 400000 : 7000, -2});
    auto* reader = new ScriptedChannel(std::move(script));
    PacketDispatcher dispatcher(file_config("/dev/null"), std::unique_ptr<ostrane::OutputChannel>(reader));
    dispatcher.set_hold_limit(600000);
    ASSERT_TRUE(dispatcher.init());
    std::string expected;
    uint64_t most = 0, packets = 0;
    for (int turn = 0; turn < 420; ++turn) {
        for (uint64_t i = dispatcher.room(8, 1500); i > 0; --i, ++packets) {
            const std::string frame = pattern(1000 + packets % 501, 'a');
            const ostrane::CapturedPacket packet = packet_of(frame, static_cast<double>(packets), 1500);
            ASSERT_TRUE(dispatcher.dispatch(packet));
            uint8_t header[PacketRecordHeader::kSize];
            PacketRecordHeader::from_packet(packet).encode(header);
            expected.append(reinterpret_cast<const char*>(header), sizeof header) += frame;
        }
        const Sent sent = dispatcher.send();
        EXPECT_TRUE(sent == Sent::Blocked || sent == Sent::All);
        most = std::max(most, dispatcher.pending_bytes());
    }
    EXPECT_TRUE(most > 262144 && most <= 600000 && dispatcher.send() == Sent::All) << most;
    EXPECT_EQ(reader->stream, expected);
    EXPECT_EQ(std::make_pair(dispatcher.packets_dispatched(), dispatcher.bytes_written()),
              std::make_pair(packets, uint64_t{expected.size()}));
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

// Every ending says what it left; packets captured and not written make the status 1,
// unless the reader closed the pipe or a second stop request asked for the cut.
TEST(Ending, ConcludedAsATable) {
    using Cause = ostrane::Ending::Cause;
    const std::string before = " packets captured before the stop were not written", inside = ", ending the stream inside a record";
    struct Row {
        Cause cause;
        unsigned stops, unwritten;  // NOLINT(readability-isolate-declaration)
        const char *gave_up, *close_error;  // NOLINT(readability-isolate-declaration)
        bool inside;
        std::string lines;
        int status;
    };
    // NOLINTBEGIN(performance-inefficient-string-concatenation): a table reads best in place
    for (const Row& row : std::vector<Row>{
             {Cause::CountReached, 0, 5, "", "", false, "[WARN] 5 packets captured were not written\n", 1},
             {Cause::Stopped, 1, 7, "G", "", true, "[ERROR] G" + inside + "\n[WARN] 7" + before + "\n", 1},
             {Cause::Stopped, 2, 7, "", "", true, "[WARN] 7" + before + inside + "\n", 0},
             {Cause::ReaderGone, 0, 7, "", "", true, "[INFO] The reader closed the output\n", 0},
             {Cause::OutputFailed, 0, 1, "", "", false, "[ERROR] Dispatch failed: E\n[WARN] 1 packet captured was not written\n", 1},
             {Cause::CaptureFailed, 0, 0, "", "", false, "[ERROR] E\n", 1},
             {Cause::FileLimit, 0, 0, "", "C", false, "[INFO] Maximum file limit reached: 3\n[ERROR] C\n", 1},
         }) {
        // NOLINTEND(performance-inefficient-string-concatenation)
        ostrane::Ending ending;
        ending.cause = row.cause, ending.stop_requests = row.stops, ending.unwritten = row.unwritten, ending.error = "E";
        ending.gave_up = row.gave_up, ending.inside_record = row.inside, ending.close_error = row.close_error, ending.file_limit = 3;
        const ostrane::Verdict verdict = ostrane::conclude(ending);
        std::string lines;
        for (const std::string& line : verdict.lines) lines += line + "\n";
        EXPECT_EQ(std::make_pair(lines, verdict.status), std::make_pair(row.lines, row.status));
    }
}

// On lo: a stop from another thread (the Windows console handler's, which
// TSan watches here) ends a quiet capture at once.
TEST(CaptureSession, AStopFromAnotherThreadEndsAQuietCapture) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    ostrane::CaptureSet captures(std::vector<ostrane::CaptureConfig>{{"lo", "udp dst port 9"}});
    ostrane::CaptureEngine& engine = captures.at(0);
    ASSERT_TRUE(engine.open()) << engine.last_error();
    EXPECT_FALSE(engine.open());  // the handle in use is neither replaced nor leaked
    PacketDispatcher dispatcher(file_config("/dev/null"));
    ASSERT_TRUE(dispatcher.init());
    ostrane::StopRequests requests;
    requests.open_wake();
    ostrane::Messages messages(stderr, false, true);
    std::thread stop([&] { std::this_thread::sleep_for(std::chrono::milliseconds(250)), requests.request(); });
    const auto started = std::chrono::steady_clock::now();
    const ostrane::Ending ending = ostrane::CaptureSession(captures, dispatcher, messages, requests, {}).run();
    stop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(std::make_pair(ending.cause, ending.stop_requests), std::make_pair(ostrane::Ending::Cause::Stopped, 1u));
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
