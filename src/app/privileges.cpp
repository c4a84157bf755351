#include "app/privileges.h"

#ifndef _WIN32
#include <cap-ng.h>
#include <linux/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#endif

namespace ostrane {

#ifdef _WIN32

bool drop_privileges(std::string&) { return true; }

#else

namespace {

struct Identity {
    uid_t uid;  // cppcheck-suppress unusedStructMember ; read through std::optional
    gid_t gid;  // cppcheck-suppress unusedStructMember ; read through std::optional
};

// A decimal id, and nothing else.
bool parse_id(const char* text, unsigned long& id) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    id = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && id <= 0xfffffffeUL;
}

// The user who ran `sudo ostrane …`, when this process is root because of it.
bool sudo_invoker(std::optional<Identity>& invoker, std::string& error) {
    const char* uid_text = std::getenv("SUDO_UID");
    const char* gid_text = std::getenv("SUDO_GID");
    if (::geteuid() != 0 || (uid_text == nullptr && gid_text == nullptr)) return true;
    unsigned long uid = 0;
    unsigned long gid = 0;
    if (!parse_id(uid_text, uid) || !parse_id(gid_text, gid)) {
        error = "SUDO_UID and SUDO_GID must both be numeric ids";
        return false;
    }
    if (uid != 0) invoker = Identity{static_cast<uid_t>(uid), static_cast<gid_t>(gid)};
    return true;
}

bool is_only(uid_t real, uid_t effective, uid_t saved, uid_t expected) {
    return real == expected && effective == expected && saved == expected;
}

}  // namespace

bool drop_privileges(std::string& error) {
    std::optional<Identity> invoker;
    if (!sudo_invoker(invoker, error)) return false;

    if (capng_get_caps_process() != 0) {
        error = "cannot read the process capabilities";
        return false;
    }
    // Emptying the bounding set takes CAP_SETPCAP, which root has, and which
    // neither a binary with file capabilities nor root in a container that
    // dropped it from the bounding set has. Without it the set is left, which
    // is harmless once nothing is permitted; the user still changes.
    const bool may_bound = capng_have_capability(CAPNG_EFFECTIVE, CAP_SETPCAP) != 0;
    capng_clear(CAPNG_SELECT_ALL);
    if (invoker) {
        const int flags = CAPNG_DROP_SUPP_GRP | CAPNG_CLEAR_AMBIENT | (may_bound ? CAPNG_CLEAR_BOUNDING : 0);
        if (capng_change_id(static_cast<int>(invoker->uid), static_cast<int>(invoker->gid),
                            static_cast<capng_flags_t>(flags)) != 0) {
            error = "cannot switch to user " + std::to_string(invoker->uid) + " and group " +
                    std::to_string(invoker->gid);
            return false;
        }
    } else {
        const int select = CAPNG_SELECT_CAPS | CAPNG_SELECT_AMBIENT | (may_bound ? CAPNG_SELECT_BOUNDS : 0);
        if (capng_apply(static_cast<capng_select_t>(select)) != 0) {
            error = "cannot clear the capability sets";
            return false;
        }
    }

    // Trust only what the kernel says now. capng_have_capabilities looks at
    // the effective set alone.
    const int emptied = CAPNG_SELECT_CAPS | CAPNG_SELECT_AMBIENT | (may_bound ? CAPNG_SELECT_BOUNDS : 0);
    if (capng_get_caps_process() != 0 || capng_have_capabilities(static_cast<capng_select_t>(emptied)) != CAPNG_NONE ||
        capng_have_permitted_capabilities() != CAPNG_NONE) {
        error = "capabilities are still held";
        return false;
    }
    if (invoker) {
        uid_t ruid = 0, euid = 0, suid = 0;
        gid_t rgid = 0, egid = 0, sgid = 0;
        if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 ||
            !is_only(ruid, euid, suid, invoker->uid) || !is_only(rgid, egid, sgid, invoker->gid) ||
            ::getgroups(0, nullptr) > 0) {
            error = "the user or group did not change as asked";
            return false;
        }
    }
    return true;
}

#endif

}  // namespace ostrane
