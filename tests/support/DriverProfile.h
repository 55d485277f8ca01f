// Real serial drivers as the serial layer meets them, without the hardware: a profile answers
// the layer's system calls for a pseudo-terminal (so the bytes and the hang-up are real) the way
// one Linux driver answers them: the rate it reads back, modem lines the test drives and what a
// call on them costs, counters, RS-485, short writes, and what an unplug does to every call.
#pragma once

#include "VaPlatformLinux.h"

#include <condition_variable>
#include <cstdint>
#include <linux/serial.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

// The 8250's further modem control bits, from <asm-generic/termios.h> (which clashes with
// glibc's <sys/ioctl.h>).
#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#define TIOCM_OUT2 0x4000
#define TIOCM_LOOP 0x8000
#endif

// One driver's behaviour, as a table.
struct TDriverTraits {
    enum class TRate {
        AsAsked,  // the rate asked for is stored and read back
        Uart,     // a divisor of the UART clock; above MaxRate the previous rate stays
        Fallback, // above MaxRate the driver puts 9600 in its place
        ChipRate, // the rate the chip makes is read back (CP2102N and kin)
        Pl2303,   // table rates as asked, others through the chip's divisor
    };
    // A row names only what differs from these.
    const char* Name = "";
    TRate Rate = TRate::AsAsked;
    uint32_t MaxRate = 0;             // 0: no limit
    bool ModemLines = false;          // TIOCMGET, TIOCMBIS, TIOCMBIC answered
    int ModemGetUs = 0;               // what one TIOCMGET costs (a USB control transfer: ~1 ms)
    int ModemSetUs = 0;               // what one TIOCMBIS/TIOCMBIC costs
    bool CtsAlwaysOn = false;         // CTS reported on whatever the line does
    bool ModemWait = false;           // TIOCMIWAIT answered
    bool Icount = false;              // TIOCGICOUNT answered
    bool SerialInfo = false;          // TIOCGSERIAL and TIOCSSERIAL answered
    bool Rs485 = false;               // TIOCGRS485 and TIOCSRS485 answered
    size_t WriteChunk = 0;            // the most one write takes (the driver's buffer); 0: none
    bool KeepsLineSettings = false;   // settings read back as written (a pty forces CS8)
    bool ReadZeroAfterUnplug = false; // a read after an unplug gives 0 (USB); a pty gives EIO
    // The serial core answers TIOCGRS485 for every UART, RS-485 capable or not (flags 0), and
    // refuses only TIOCSRS485; USB drivers refuse both.
    bool Rs485ReadsZero = false;
    // The output lines TIOCMSET, TIOCMBIS and TIOCMBIC take (and TIOCMGET reports): an 8250
    // also takes OUT1, OUT2 and LOOP (serial8250_TIOCM_to_MCR); the others drop them.
    int OutputLines = TIOCM_DTR | TIOCM_RTS;
};

// pty, 16550, ftdi_sio, cp210x, pl2303, ch341, cdc-acm, and an embedded 8250 with RS-485.
const std::vector<TDriverTraits>& DriverProfiles();
const TDriverTraits& DriverProfileNamed(const std::string& Name);

class TDriverProfile : public TVaSysCalls {
public:
    explicit TDriverProfile(const TDriverTraits& Traits);
    const TDriverTraits& Traits() const { return m_traits; }

    // ---- the test's side ----
    // The modem input lines (TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD) as the device drives them.
    void SetInputLines(int Bits);
    // DTR and RTS as the layer left them.
    int OutputLines();
    // The line settings the system left on the port before anyone opened it.
    void SetSystemLine(const termios2& T);
    // The line settings the driver holds now, as TCGETS2 gives them.
    termios2 Line();
    // RS-485 settings the system configured (an embedded board's device tree).
    void SetSystemRs485(uint32_t Flags);
    serial_rs485 Rs485();
    int Rs485Writes();
    // Line-error counters as TIOCGICOUNT gives them.
    void AddCounts(int Frame, int Parity, int Overrun, int Break);
    // The adapter is pulled out: every ioctl and write fails (EIO, ENODEV first for USB),
    // reads end, poll reports a hang-up. Replug: a new adapter behind the same profile.
    void Unplug();
    void Replug();
    // Calls of an ioctl request made so far, all or those made on one thread.
    int Calls(unsigned long Request);
    int CallsOn(unsigned long Request, std::thread::id Thread);
    // The next Times calls of the request fail with Errno (Times < 0: every one).
    void FailIoctl(unsigned long Request, int Errno, int Times = 1);
    // The next Times calls of Call fail with Errno (Times < 0: every one), before the driver
    // sees them: what any system call can meet, from EINTR to a device that has gone.
    enum class TCall { Open, Read, Write, Poll, Flock };
    void FailCall(TCall Call, int Errno, int Times = 1);
    // The next write takes at most Bytes, and the one after it fails with Errno.
    void ShortWriteThenFail(size_t Bytes, int Errno);
    // Every byte that writes took, in order (what reached the driver).
    std::string Written();

    // ---- the layer's side ----
    TVaSysResult Open(const char* Path, int Flags) override;
    TVaSysResult Close(int Fd) override;
    TVaSysResult Read(int Fd, void* Buf, size_t Count) override;
    TVaSysResult Write(int Fd, const void* Data, size_t Count) override;
    TVaSysResult Poll(pollfd* Fds, nfds_t Count, int TimeoutMs) override;
    TVaSysResult Ioctl(int Fd, unsigned long Request, void* Arg) override;
    TVaSysResult Flock(int Fd, int Operation) override;

    // The rate the driver reads back after Asked was set over Previous.
    static uint32_t RateMade(const TDriverTraits& T, uint32_t Asked, uint32_t Previous);

private:
    TVaSysResult ModelledIoctl(int Fd, unsigned long Request, void* Arg,
                               std::unique_lock<std::mutex>& Lock);
    TDriverTraits m_traits;
    std::shared_ptr<TVaSysCalls> m_kernel = VaKernelCalls();
    std::mutex m_lock;
    // Ends TIOCMIWAIT at a line change or an unplug; a signal interrupts its poll, as the driver's.
    TVaEvent m_linesChanged;
    int m_inputs = 0;
    int m_outputs = 0;
    bool m_haveLine = false;
    termios2 m_line{};
    uint32_t m_rate = 9600;
    serial_rs485 m_rs485{};
    int m_rs485Writes = 0;
    serial_struct m_serial{};
    serial_icounter_struct m_icount{};
    bool m_gone = false;
    bool m_enodevPending = false;
    std::multimap<unsigned long, std::thread::id> m_calls;
    // The errno the next call fails with, or 0 (caller holds m_lock).
    template <class K> static int Injected(std::map<K, std::pair<int, int>>& Faults, K Key);
    int Fault(TCall Call);
    std::map<unsigned long, std::pair<int, int>> m_fail; // request -> errno, times
    std::map<TCall, std::pair<int, int>> m_failCall;     // call -> errno, times
    size_t m_shortWrite = 0;
    int m_failAfterShort = 0;
    std::string m_written;
};

// A platform whose device calls go through the profile.
std::shared_ptr<TVaPlatform> ProfilePlatform(std::shared_ptr<TDriverProfile> Profile);
