#pragma once

#include <string>

namespace ostrane {

// Gives up every capability the process holds (effective, permitted,
// inheritable, ambient, and the bounding set where it may). Run as root under
// sudo (SUDO_UID and SUDO_GID set), it also becomes the invoking user and
// group, without supplementary groups, as `tcpdump -Z` does. Called once the
// capture handle is active and filtered: reading packets needs no privilege.
// False, with `error` set, when any of it failed or cannot be verified; the
// capture must not go on then. Does nothing on Windows.
bool drop_privileges(std::string& error);

}  // namespace ostrane
