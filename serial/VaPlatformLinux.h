// Pieces of the Linux serial layer that are plain functions, exposed for their tests.
// Only the Linux layer and its tests include this header (it brings the kernel termios).
#pragma once

#include "VaClasses.h"
#include "VaComMap.h"
#include "VaPlatform.h"
#include "VaTermiosLinux.h"

#include <memory>
#include <poll.h>
#include <string>

// The outcome of one system call: its value as the kernel gives it (-1 on failure) and the
// errno of a failure.
struct TVaSysResult {
    long Value = 0;
    int Errno = 0;
    bool Failed() const { return Value < 0; }
};

// Every call the serial layer makes to the kernel about a device. The machine's own passes
// them straight through; a test puts a driver's behaviour in its place.
class TVaSysCalls {
public:
    virtual ~TVaSysCalls() = default;
    virtual TVaSysResult Open(const char* Path, int Flags) = 0;
    virtual TVaSysResult Close(int Fd) = 0;
    virtual TVaSysResult Read(int Fd, void* Buf, size_t Count) = 0;
    virtual TVaSysResult Write(int Fd, const void* Data, size_t Count) = 0;
    // The first entry is the device; the others are the layer's own wake-up events.
    virtual TVaSysResult Poll(pollfd* Fds, nfds_t Count, int TimeoutMs) = 0;
    virtual TVaSysResult Ioctl(int Fd, unsigned long Request, void* Arg) = 0;
    virtual TVaSysResult Flock(int Fd, int Operation) = 0;
};

// The calls as the kernel answers them.
std::shared_ptr<TVaSysCalls> VaKernelCalls();
// The serial platform over these calls.
std::shared_ptr<TVaPlatform> VaLinuxPlatform(std::shared_ptr<TVaSysCalls> Sys);

// The kind of a failed call's errno, as the component acts on it.
TVaStatus VaStatusFromErrno(int E);

enum class TVaSysOp { Read, Write, Poll, Ioctl };
// Whether a call on an open device says it has gone away: EIO or ENODEV (the short window
// before a USB hang-up), a read of 0 bytes (VMIN=1 on a non-blocking tty: only a hang-up gives
// it), or a hang-up or error on the device's poll entry.
bool VaDeviceGone(TVaSysOp Op, const TVaSysResult& R, short Revents = 0);

// The descriptor behind a wait object (an eventfd), for polling it beside a device.
int VaWaitObjectHandle(const TVaHandleObject& Object);

// The path to open for a device name: "\\.\COMn" or "COMn" (any case) is the COM map
// entry <ConfigDir>/tevro-console/com/COMn when it exists, else /dev/ttyS<n-1>; any other
// name is a path. Empty when the name names nothing (COM0 among them).
std::string VaResolveDeviceName(const std::string& Name, const std::string& ConfigDir);

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
