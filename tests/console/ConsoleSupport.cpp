#include "ConsoleSupport.h"

#include <QElapsedTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

std::string Bytes(std::initializer_list<int> Values) {
    std::string s;
    for (int v : Values)
        s += static_cast<char>(v);
    return s;
}

std::string Hex(const std::string& Data) {
    std::string s;
    char buf[4];
    for (unsigned char c : Data) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        s += buf;
    }
    return s;
}
