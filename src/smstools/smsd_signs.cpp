// smsd's signs of life: the files it writes while it works.
#include "smstools/smsd_signs.hpp"

#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <string>
#include <sys/stat.h>

namespace {

double modified(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

} // namespace

SmsdSigns smsdSigns(int ports)
{
    SmsdSigns signs;
    for (int port = 1; port <= ports; ++port) {
        signs.newest_run_log = std::max(signs.newest_run_log, modified(std::string(kRunLogDirectory) + "/" +
                                                                       kRunLogPrefix + std::to_string(port) + ".log"));
    }
    signs.newest = std::max({signs.newest_run_log, modified(kSmsdLogPath), modified(kStatusFilePath)});
    return signs;
}
