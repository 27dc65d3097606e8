#include "process_usage.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>

namespace connwalk::testing {

long OpenDescriptors() {
    DIR *directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    long count = 0;
    while (const dirent *entry = readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(directory);
    return count;
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace connwalk::testing
