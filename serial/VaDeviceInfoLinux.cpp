// Names the device behind a COM number with the same resolver the port opens by, so what the
// operator reads is what an open would use.
#include "VaDeviceInfo.h"

#include "VaComMap.h"
#include "VaPlatformLinux.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {
bool Present(const std::string& Path) {
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0; // follows links: a dangling one is not there
}
} // namespace

std::string VaDescribeComPort(int PortNum, const std::string& ConfigDir) {
    const std::string path = VaResolveDeviceName("COM" + std::to_string(PortNum), ConfigDir);
    if (path.empty())
        return "not present";
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::vector<char> target(4096);
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
        std::string text =
            path + " \u2192 " + (n > 0 ? std::string(target.data(), static_cast<size_t>(n)) : "?");
        return Present(path) ? text : text + ": not present";
    }
    return Present(path) ? path : "not present";
}

std::string VaDescribeComPort(int PortNum) {
    return VaDescribeComPort(PortNum, VaConfigDir());
}

std::string VaDriverOf(const std::string& Path) {
    struct stat st;
    if (::stat(Path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return "";
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)) + "/device/driver";
    std::vector<char> target(4096);
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (n <= 0)
        return "";
    const std::string t(target.data(), static_cast<size_t>(n));
    return t.substr(t.rfind('/') + 1);
}
