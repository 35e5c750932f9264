// Whether a serial device is in use on Linux, as Windows' exclusive open would say. Most programs
// open a port without a lock, so the holders are looked for where the system lists every open
// descriptor: /proc/<pid>/fd, one link per descriptor. A link whose target is the same device
// (the same st_rdev, whatever name it was opened by) holds it.
#include "platform/posix/posix_backend.h"

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {

namespace {

bool all_digits(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') {
            return false;
        }
    }
    return true;
}

// Whether a descriptor of the process whose fd directory is open as `fds` is the device; `skip`
// names a descriptor of ours not to count (the one being checked), or is -1.
bool holds(DIR* fds, dev_t device, int skip) {
    const int dir_fd = dirfd(fds);
    while (const dirent* entry = readdir(fds)) {
        if (!all_digits(entry->d_name) || std::atoi(entry->d_name) == skip) {
            continue;
        }
        struct stat target;
        // stat, not lstat: the link leads to the open file itself.
        if (fstatat(dir_fd, entry->d_name, &target, 0) == 0 && S_ISCHR(target.st_mode) &&
            target.st_rdev == device) {
            return true;
        }
    }
    return false;
}

} // namespace

bool device_held_elsewhere(int fd) {
    struct stat own;
    if (fstat(fd, &own) != 0 || !S_ISCHR(own.st_mode)) {
        return false;
    }
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    bool held = false;
    while (!held) {
        const dirent* entry = readdir(processes);
        if (entry == nullptr) {
            break;
        }
        if (!all_digits(entry->d_name)) {
            continue;
        }
        // Another user's descriptors cannot be read without the right to: those are passed over,
        // and only a lock or TIOCEXCL of theirs stops the open.
        const std::string path = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(path.c_str());
        if (fds == nullptr) {
            continue;
        }
        held = holds(fds, own.st_rdev, self == entry->d_name ? fd : -1);
        closedir(fds);
    }
    closedir(processes);
    return held;
}

} // namespace posix
