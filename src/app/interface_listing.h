#pragma once

#include "interfaces/interface_manager.h"

#include <cstdio>
#include <ostream>
#include <vector>

namespace ostrane {

// The device table of `-l`, or the "No interfaces found" line for an empty list.
void print_interface_table(const std::vector<NetworkInterface>& interfaces, std::ostream& out);

// The `-l` run: enumerate, print the table on `out`, failures on `err`,
// including a table that `out` did not take. Returns the exit status.
int run_listing(std::FILE* out, std::ostream& err);

}  // namespace ostrane
