#pragma once

#include "interfaces/interface_manager.h"

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace ostrane {

// `text` as it may safely reach a terminal: control characters (C0, DEL and
// C1) and bytes that are not UTF-8 become \xNN, everything else is kept.
// Linux takes any byte but '/', ':' and white space in an interface name.
std::string escape_for_terminal(const std::string& text);

// The device table of `-l`, or the "No interfaces found" line for an empty list.
void print_interface_table(const std::vector<NetworkInterface>& interfaces, std::ostream& out);

// The `-l` run: enumerate, print the table on `out`, failures on `err`,
// including a table that `out` did not take. Returns the exit status.
int run_listing(std::FILE* out, std::ostream& err);

}  // namespace ostrane
