// The COM map's folder from the environment and the password database.
#include "VaComMap.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

std::string VaConfigDirOf(const char* XdgConfigHome, const char* Home) {
    if (XdgConfigHome && XdgConfigHome[0] == '/')
        return XdgConfigHome;
    return std::string(Home ? Home : "") + "/.config";
}

std::string VaConfigDir() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    return VaConfigDirOf(std::getenv("XDG_CONFIG_HOME"), home);
}

std::string VaComMapDir(const std::string& ConfigDir) {
    return ConfigDir + "/tevro-console/com";
}
