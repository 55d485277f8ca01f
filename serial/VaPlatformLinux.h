// Pieces of the Linux serial layer that are plain functions, exposed for their tests.
// Only the Linux layer and its tests include this header (it brings the kernel termios).
#pragma once

#include "VaPlatform.h"

#include <asm/termbits.h>
#include <string>

// The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config.
std::string VaConfigDir();

// The path to open for a device name: "\\.\COMn" or "COMn" (any case) is the COM map
// entry <ConfigDir>/tevro-console/com/COMn when it exists, else /dev/ttyS<n-1>; any other
// name is a path. Empty when the name names nothing (COM0 among them).
std::string VaResolveDeviceName(const std::string& Name, const std::string& ConfigDir);

// Builds the whole kernel line settings from the record. Invalid (EINVAL) for what the
// kernel cannot express; RtsToggle tells the caller to ask the driver for RS-485 mode.
// LineErrors asks the kernel to mark bytes received with errors and breaks in the data.
struct TVaTermiosPlan {
    termios2 T{};
    bool RtsToggle = false;
};
TVaStatus VaBuildTermios(const TVaLineSettings& S, TVaTermiosPlan& Plan, bool LineErrors = true);

// Undoes the kernel's in-band marking of received bytes (PARMRK): FF FF is a data byte
// FF, FF 00 00 a break, FF 00 X a byte X received with a parity or framing error. Keeps
// its state across reads, so a mark split between two reads decodes the same.
class TVaInputDecoder {
public:
    struct TConfig {
        bool Marks = true; // the kernel marks errors (PARMRK); else every byte is data
        bool ErrorCharOn = false;
        char ErrorChar = 0;
        bool NullStrip = false;
        char EvtChar = 0;
    };
    enum : uint32_t { BadByte = 1, Break = 2 }; // Marks

    // Decodes N raw bytes into Out (room for N bytes); returns the data bytes written.
    // Events gets EV_RXCHAR, EV_RXFLAG, EV_BREAK and EV_ERR; Marks what was marked.
    size_t Decode(const char* In, size_t N, char* Out, const TConfig& C, uint32_t& Events,
                  uint32_t& Marks);
    void Reset() { m_state = 0; }

private:
    int m_state = 0; // 0 plain, 1 after FF, 2 after FF 00
};
