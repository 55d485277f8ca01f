// Byte strings in tests: written out as a list of values, and shown as hexadecimal.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>

// The bytes of Values, one byte each.
inline std::string Bytes(std::initializer_list<int> Values) {
    std::string s;
    for (int v : Values)
        s += static_cast<char>(v);
    return s;
}

// Each byte as two upper-case hex digits and a blank, as the console's Packet mode shows it.
inline std::string Hex(const std::string& Data) {
    std::string s;
    char buf[4];
    for (unsigned char c : Data) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        s += buf;
    }
    return s;
}
