// Placeholder of the socket stack: only the call the window needs today.
#pragma once

#include <string>

class TIdStack {
public:
    std::string LocalHostAddress() { return "127.0.0.1"; }
};

inline TIdStack* GStack() {
    static TIdStack stack;
    return &stack;
}
