#include "app/options.h"

#include "app/interface_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iomanip>

namespace ostrane {

namespace {

std::string invalid(const char* option, const char* value, const std::string& allowed) {
    return "Invalid value for " + std::string(option) + ": '" + escape_for_terminal(value) + "' (" + allowed + ")";
}

// A value is taken only when all of it is a number in range: "ten" once
// meant 0 (no limit) and "10k" meant 10. Anything else sets `error`, which
// ends the parse.
template <typename Number>
void parse_into(Number& field, const char* option, const char* text, uint64_t max, std::string& error) {
    char* end = nullptr;
    errno = 0;
    const bool digits = *text >= '0' && *text <= '9';  // strtoull takes a sign or blanks
    const uint64_t value = digits ? std::strtoull(text, &end, 10) : 0;
    if (digits && *end == '\0' && errno != ERANGE && value <= max) {
        field = static_cast<Number>(value);
        return;
    }
    error = invalid(option, text, "a whole number from 0 to " + std::to_string(max));
}

// 0 would mean "none" for -C, -G and -W: tcpdump refuses it too.
template <typename Number>
void parse_positive(Number& field, const char* option, const char* text, uint64_t max, std::string& error) {
    parse_into(field, option, text, max, error);
    if (error.empty() && field == 0) {
        error = invalid(option, "0", "a whole number from 1 to " + std::to_string(max));
    }
}

// libpcap's own ceiling: a larger snap length is silently cut to it.
constexpr uint64_t kMaxSnaplen = 262144;

struct Option {
    const char* name;
    const char* alias;  // may be null
    const char* value;  // what the option takes, as the help shows it; null for a flag
    const char* help;
    // `value` is null for a flag. Sets `error` for a value out of range.
    void (*apply)(CommandLineOptions& options, const char* option, const char* value, std::string& error);
};

// One row per option, in the order of the help text.
const Option kOptions[] = {
    {"-i", nullptr, "<interface>", "Network interface to capture on (again for more)",
     [](CommandLineOptions& o, const char*, const char* v, std::string& e) {
         if (std::find(o.interfaces.begin(), o.interfaces.end(), v) != o.interfaces.end()) {
             e = "Interface " + escape_for_terminal(v) + " is given twice: each of its packets would be written twice";
         } else if (*v != '\0') {
             o.interfaces.emplace_back(v);
         }
     }},
    {"-f", nullptr, "<filter>", "BPF filter expression (e.g., \"tcp port 80\")",
     [](CommandLineOptions& o, const char*, const char* v, std::string&) { o.filter = v; }},
    {"-s", nullptr, "<snaplen>", "Snapshot length in bytes (default: 65535)",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_into(o.snaplen, n, v, kMaxSnaplen, e);
     }},
    {"-b", nullptr, "<buffer_mb>", "Capture buffer size in MB (default: 16)",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_into(o.buffer_size_mb, n, v, INT32_MAX, e);
     }},
    {"-c", nullptr, "<count>", "Stop after N packets (0 = unlimited)",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_into(o.max_count, n, v, UINT64_MAX, e);
     }},
    {"-w", nullptr, "<file>", "Write pcap or pcapng, not the record stream (- for stdout)",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         if (*v == '\0') e = invalid(n, v, "a file name, or - for standard output");
         o.write_path = v;
     }},
    {"-C", nullptr, "<size>", "With -w: a new file once one exceeds size million bytes",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_positive(o.file_size_mb, n, v, 1000000, e);
     }},
    {"-G", nullptr, "<seconds>", "With -w: a new file every N seconds, named by strftime",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_positive(o.rotate_seconds, n, v, INT32_MAX, e);
     }},
    {"-W", nullptr, "<count>", "With -C: a ring of N files; with -G: stop after N files",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         parse_positive(o.file_count, n, v, 1000000, e);
     }},
    {"--pcapng", nullptr, nullptr, "With -w: write pcapng (a name ending in .pcapng does too)",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.pcapng = true; }},
    {"--time-stamp-precision", nullptr, "<micro|nano>", "Timestamps in the files to the micro- or nanosecond",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         o.nano = std::strcmp(v, "nano") == 0;
         if (!o.nano && std::strcmp(v, "micro") != 0) e = invalid(n, v, "micro or nano");
     }},
    {"--micro", nullptr, nullptr, "Same as --time-stamp-precision=micro (the default)",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.nano = false; }},
    {"--nano", nullptr, nullptr, "Same as --time-stamp-precision=nano",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.nano = true; }},
    {"-z", nullptr, "<command>", "With -C or -G: run command FILE on each file it closes",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         if (*v == '\0') e = invalid(n, v, "a command");
         o.post_rotate = v;
     }},
    {"-Q", "--direction", "<in|out|inout>", "Only the packets received, sent, or both (default)",
     [](CommandLineOptions& o, const char* n, const char* v, std::string& e) {
         const std::string value = v;
         if (value == "in" || value == "out" || value == "inout") {
             o.direction = value == "in" ? PacketDirection::In : value == "out" ? PacketDirection::Out
                                                                                : PacketDirection::InOut;
         } else {
             e = invalid(n, v, "in, out or inout");
         }
     }},
    {"-p", nullptr, nullptr, "Leave the interface out of promiscuous mode (default: on)",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.promiscuous = false; }},
    {"-q", nullptr, nullptr, "Quiet: only warnings, errors and the final report",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.quiet = true; }},
    {"-l", nullptr, nullptr, "List available interfaces and exit",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.list_only = true; }},
    {"-h", "--help", nullptr, "Show this help",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.show_help = true; }},
    {"--version", nullptr, nullptr, "Show the version",
     [](CommandLineOptions& o, const char*, const char*, std::string&) { o.show_version = true; }},
};

const Option* find_option(const char* arg) {
    for (const Option& option : kOptions) {
        if (std::strcmp(arg, option.name) == 0 || (option.alias != nullptr && std::strcmp(arg, option.alias) == 0)) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, CommandLineOptions& options, std::string& error) {
    error.clear();
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const size_t equals = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
        const char* attached = equals != std::string::npos ? argv[i] + equals + 1 : nullptr;
        if (equals != std::string::npos) name.resize(equals);
        const Option* option = find_option(name.c_str());
        std::string problem;
        if (option == nullptr) {
            problem = name[0] == '-' ? "Unknown option: " + escape_for_terminal(name)
                                     : "Unexpected argument: " + escape_for_terminal(name) +
                                           " (an interface goes after -i)";
        } else if (option->value == nullptr && attached != nullptr) {
            problem = "Option " + name + " takes no value";
        } else if (option->value != nullptr && attached == nullptr && i + 1 >= argc) {
            problem = "Option " + name + " needs a value (" + option->value + ")";
        } else {
            // A value is the next argument whatever it looks like: -i -l
            // names an interface "-l".
            const char* value = attached != nullptr ? attached : option->value != nullptr ? argv[++i] : nullptr;
            option->apply(options, name.c_str(), value, problem);
        }
        if (!problem.empty() && error.empty()) error = problem;
    }
    // Rotation is of files that -w names; standard output cannot rotate.
    if (error.empty() && (options.file_size_mb > 0 || options.rotate_seconds > 0 || options.file_count > 0)) {
        if (options.write_path.empty() || options.write_path == "-") {
            error = "-C, -G and -W need -w <file>";
        } else if (options.file_size_mb == 0 && options.rotate_seconds == 0) {
            error = "-W needs -C or -G";
        }
    }
    const bool rotating = options.file_size_mb > 0 || options.rotate_seconds > 0;
    if (error.empty() && options.pcapng && options.write_path.empty()) error = "--pcapng needs -w <file>";
    if (error.empty() && !options.post_rotate.empty() && !rotating) error = "-z needs -C or -G";
    if (error.empty() && options.nano && options.write_path.empty()) {
        error = "Nanosecond timestamps need -w <file>: the record stream keeps microseconds";
    }
    const auto& names = options.interfaces;
    if (error.empty() && names.size() > 1 && std::find(names.begin(), names.end(), "any") != names.end()) {
        error = "-i any takes in every interface: beside others, their packets would be written twice";
    }
    // Later arguments are still read after an error, so that a -h among them is seen.
    return error.empty();
}

void print_usage(std::ostream& out, const char* program) {
    out << "\n"
        << "Ostrane Capture Engine v" OSTRANE_VERSION "\n"
        << "High-performance packet capture for network analysis.\n"
        << "\n"
        << "Usage: " << program << " [options]\n"
        << "\n"
        << "Options:\n";
    for (const Option& option : kOptions) {
        std::string usage = std::string(option.name) + (option.value != nullptr ? std::string(" ") + option.value : "");
        if (option.alias != nullptr && option.alias[1] == '-') usage += std::string(", ") + option.alias;
        constexpr size_t kColumn = 18;
        // A long one takes a line of its own, with the help under the others'.
        if (usage.size() >= kColumn) usage += "\n" + std::string(kColumn + 2, ' ');
        out << "  " << std::left << std::setw(kColumn) << usage << option.help << "\n";
    }
    // Every example runs as shown: standard output takes only a file or a
    // pipe, since packet bytes would drive a terminal.
    out << "\n"
        << "Examples:\n"
        << "  " << program << " -l\n"
        << "  " << program << " -i eth0 -c 100 > packets.bin\n"
        << "  " << program << " -i eth0 -f \"tcp port 80\" | ostrane-analyzer\n"
        << "  " << program << " -i eth0 -w trace.pcap\n"
        << "  " << program << " -i eth0 -w ring.pcap -C 100 -W 10\n"
        << "  " << program << " -i eth0 -w trace.pcapng --nano\n"
        << "\n"
        << "Standard output must be a file or a pipe, not a terminal. The reader\n"
        << "ostrane-analyzer is python3 python_analyzer/main.py in a source tree.\n"
        << "\n";
}

}  // namespace ostrane
