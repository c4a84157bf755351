#include "app/interface_listing.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

namespace ostrane {

namespace {

std::string repeat(const char* piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

// The length of the printable character at `at`: 1 for printable ASCII, 2 to
// 4 for a well-formed UTF-8 sequence (no overlong form, no surrogate, nothing
// past U+10FFFF) of a character from U+00A0 on; 0 for anything else.
size_t printable_length(const std::string& text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return lead >= 0x20 && lead != 0x7f ? 1 : 0;
    const size_t length = lead >= 0xf8 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || text.size() - at < length) return 0;
    uint32_t code = lead & (0x7fU >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xc0) != 0x80) return 0;
        code = code << 6 | (next & 0x3fU);
    }
    constexpr uint32_t kLeast[] = {0, 0, 0xa0, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

}  // namespace

std::string escape_for_terminal(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = printable_length(text, at);
        if (length > 0) {
            shown.append(text, at, length);
            at += length;
            continue;
        }
        const auto byte = static_cast<unsigned char>(text[at++]);
        shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    }
    return shown;
}

void print_interface_table(const std::vector<NetworkInterface>& interfaces, std::ostream& out) {
    if (interfaces.empty()) {
        out << "No interfaces found. Ensure you have appropriate permissions.\n";
        return;
    }
    const std::string rule = repeat("═", 58);
    out << "\n";
    out << "╔" << rule << "╗\n";
    out << "║              Available Network Interfaces               ║\n";
    out << "╠" << rule << "╣\n";
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const NetworkInterface& entry = interfaces[i];
        if (i > 0) out << "║  " << repeat("─", 52) << "\n";
        out << "║  [" << i << "] " << escape_for_terminal(entry.name) << "\n";
        out << "║      Description: " << escape_for_terminal(entry.description) << "\n";
        out << "║      Status: " << (entry.is_up ? "UP" : "DOWN")
            << (entry.is_loopback ? " (loopback)" : "") << "\n";
        for (const InterfaceAddress& address : entry.addresses) {
            out << "║      Address: " << address.address;
            if (!address.netmask.empty()) out << " / " << address.netmask;
            out << "\n";
        }
    }
    out << "╚" << rule << "╝\n\n";
}

int run_listing(std::FILE* out, std::ostream& err) {
    InterfaceManager manager;
    if (!manager.enumerate()) {
        err << "[ERROR] " << manager.last_error() << "\n";
        return 1;
    }
    std::ostringstream table;
    print_interface_table(manager.interfaces(), table);
    const std::string text = table.str();
    // A listing nobody receives is a failure: `-l > /dev/full`, `-l >&-`.
    // stdio keeps the errno of the write that failed.
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
        const int error = errno != 0 ? errno : EIO;
        err << "[ERROR] Failed to write the interface list: " << std::strerror(error) << "\n";
        return 1;
    }
    return 0;
}

}  // namespace ostrane
