#include "app/interface_listing.h"

#include <cstddef>
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

int run_listing(std::ostream& out, std::ostream& err) {
    InterfaceManager manager;
    if (!manager.enumerate()) {
        err << "[ERROR] " << manager.last_error() << "\n";
        return 1;
    }
    print_interface_table(manager.interfaces(), out);
    out.flush();
    return 0;
}

}  // namespace ostrane
