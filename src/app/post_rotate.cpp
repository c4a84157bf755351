#include "app/post_rotate.h"

#include "app/interface_listing.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace ostrane {

namespace {

std::string quoted(const std::string& text) { return "'" + escape_for_terminal(text) + "'"; }

}  // namespace

void PostRotate::run(const std::string& file) {
    const std::string cannot = "[WARN] -z: cannot run " + quoted(command_) + " on " + quoted(file) + ": ";
#ifdef _WIN32
    messages_.say(cannot + "-z is not supported on Windows");
#else
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return messages_.say(cannot + "no memory");
    // A group of its own: a Ctrl+C meant for the capture must not cut a
    // compression short. The signals this process ignores (a reader gone, a
    // file size limit) are the command's to act on again.
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&none);
    (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    (void)posix_spawnattr_setpgroup(&attributes, 0);
    (void)posix_spawnattr_setsigdefault(&attributes, &defaults);
    (void)posix_spawnattr_setsigmask(&attributes, &none);
    std::string program = command_;
    std::string argument = file;
    char* const argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        // No shell splits the command: "gzip -9" is a program of that name.
        const bool words = command_.find(' ') != std::string::npos && error == ENOENT;
        return messages_.say(cannot + std::strerror(error) + (words ? " (it is run as one name, not through a shell)" : ""));
    }
    running_.emplace_back(pid, file);
#endif
}

void PostRotate::reap() {
#ifndef _WIN32
    for (auto it = running_.begin(); it != running_.end();) {
        int status = 0;
        const pid_t done = ::waitpid(static_cast<pid_t>(it->first), &status, WNOHANG);
        if (done == 0) {
            ++it;
            continue;
        }
        const std::string shown = "[WARN] -z: " + quoted(command_) + " on " + quoted(it->second);
        if (done > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            messages_.say(shown + " failed with status " + std::to_string(WEXITSTATUS(status)));
        } else if (done > 0 && WIFSIGNALED(status)) {
            messages_.say(shown + " was ended by signal " + std::to_string(WTERMSIG(status)));
        }
        it = running_.erase(it);
    }
#endif
}

}  // namespace ostrane
