// Preloaded into the built program, it makes one step of the privilege drop fail, or claim a
// success it did not have, as OSTRANE_FAULT names: a drop that went wrong must never let the
// capture go on. "close-eio": closing a .pcap file reports an error that NFS may defer to it.

// The fortified getgroups is an inline wrapper that cannot be replaced.
#undef _FORTIFY_SOURCE

#include <cap-ng.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool fault(const char* name) {
    const char* chosen = std::getenv("OSTRANE_FAULT");
    return chosen != nullptr && std::strcmp(chosen, name) == 0;
}

template <typename Function>
Function* next(const char* name) {
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int capng_get_caps_process() {
    static int calls = 0;
    // The second read is the check of what the kernel holds after the drop.
    if (fault("read") || (fault("reread") && ++calls > 1)) return -1;
    return next<int()>("capng_get_caps_process")();
}

int capng_apply(capng_select_t set) {
    if (fault("clear")) return -1;
    if (fault("clear-lies")) return 0;
    return next<int(capng_select_t)>("capng_apply")(set);
}

int capng_change_id(int uid, int gid, capng_flags_t flags) {
    if (fault("switch")) return -1;
    if (fault("switch-lies")) return 0;
    return next<int(int, int, capng_flags_t)>("capng_change_id")(uid, gid, flags);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc names them __ruid…
int getresuid(uid_t* real, uid_t* effective, uid_t* saved) {
    const int rc = next<int(uid_t*, uid_t*, uid_t*)>("getresuid")(real, effective, saved);
    if (fault("user-lies")) *saved = 0;
    return rc;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int getresgid(gid_t* real, gid_t* effective, gid_t* saved) {
    const int rc = next<int(gid_t*, gid_t*, gid_t*)>("getresgid")(real, effective, saved);
    if (fault("group-lies")) *saved = 0;
    return rc;
}

int getgroups(int size, gid_t* list) {
    if (fault("groups-lie")) return 1;  // one supplementary group left
    return next<int(int, gid_t*)>("getgroups")(size, list);
}

int close(int fd) {
    char path[4096] = {};
    const ssize_t length = fault("close-eio") ? readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, 4095) : 0;
    const int rc = next<int(int)>("close")(fd);
    if (rc != 0 || length < 5 || std::strcmp(path + length - 5, ".pcap") != 0) return rc;
    errno = EIO;
    return -1;
}

}
