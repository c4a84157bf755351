#include "app/interface_listing.h"

#include <cerrno>
#include <cstddef>
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

}  // namespace

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
        out << "║  [" << i << "] " << entry.name << "\n";
        out << "║      Description: " << entry.description << "\n";
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
