// Where the COM map lies: one rule for the console, which opens COMn through it, and for the
// simulator, which publishes its port in it. Plain C++ and the C library only, so the
// simulator takes it without the rest of the serial component.
#pragma once

#include <string>

// The configuration folder by the XDG rules: XdgConfigHome when it is an absolute path (an
// empty or relative one is ignored, as the rules say), else Home/.config. Either may be null.
std::string VaConfigDirOf(const char* XdgConfigHome, const char* Home);

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config. When HOME is unset
// or empty, the home folder the password database gives this user (a service started without
// a login environment still finds the user's map).
std::string VaConfigDir();

// The COM map in a configuration folder: <ConfigDir>/tevro-console/com, whose entry COMn
// stands for port n.
std::string VaComMapDir(const std::string& ConfigDir);
