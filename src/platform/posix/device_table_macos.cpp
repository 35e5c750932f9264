// COMn on macOS: the call-out devices of USB serial adapters, /dev/cu.usbmodem* (native USB
// boards) sorted by name, then /dev/cu.usbserial* (USB-serial chips) sorted by name; COM0 is the
// first of that list. The Bluetooth and debug ports under /dev/cu.* are left out.
#include "platform/posix/posix_backend.h"

#include <algorithm>
#include <vector>

#include <dirent.h>

namespace posix {

namespace {

void add_sorted(const char* prefix, std::vector<std::string>* devices) {
    std::vector<std::string> found;
    DIR* dir = opendir("/dev");
    if (dir == nullptr) {
        return;
    }
    const std::string wanted = prefix;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, wanted.size(), wanted) == 0) {
            found.push_back("/dev/" + name);
        }
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    devices->insert(devices->end(), found.begin(), found.end());
}

} // namespace

bool system_com_device(int number, std::string* path) {
    if (number < first_com || number > last_com) {
        return false;
    }
    std::vector<std::string> devices;
    add_sorted("cu.usbmodem", &devices);
    add_sorted("cu.usbserial", &devices);
    if (static_cast<size_t>(number) >= devices.size()) {
        return false;
    }
    *path = devices[static_cast<size_t>(number)];
    return true;
}

} // namespace posix
