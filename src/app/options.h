#pragma once

#include "capture/capture_engine.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace ostrane {

struct CommandLineOptions {
    std::vector<std::string> interfaces;  // -i, each time it is given
    std::string filter;
    int32_t snaplen = 65535;
    int32_t buffer_size_mb = 16;
    uint64_t max_count = 0;  // 0: no limit
    bool list_only = false;
    bool show_help = false;
    bool show_version = false;
    // Only warnings, errors, the SIGUSR1 answer and the final report.
    bool quiet = false;
    // -w: a pcap file instead of the record stream ("-": standard output).
    std::string write_path;
    uint64_t file_size_mb = 0;     // -C, in millions of bytes; 0: none
    uint32_t rotate_seconds = 0;   // -G; 0: none
    uint32_t file_count = 0;       // -W; 0: none
    bool promiscuous = true;       // -p turns it off
    bool pcapng = false;           // --pcapng, or -w with a name ending in .pcapng
    bool nano = false;             // --nano: nanosecond timestamps in the files
    PacketDirection direction = PacketDirection::InOut;  // -Q
    std::string post_rotate;       // -z: run on each file a rotation closes
};

// Fills `options` from argv[1..argc-1]. A long option takes its value after
// '=' too (--nano's spelling in tcpdump). False at the first argument that is
// not an option, an option without its value, or a value out of its range,
// with `error` naming it. -h and --help are honoured even then: whoever asks
// for help gets it.
bool parse_command_line(int argc, const char* const* argv, CommandLineOptions& options, std::string& error);

void print_usage(std::ostream& out, const char* program);

}  // namespace ostrane
