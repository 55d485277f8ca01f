// The one seam between the serial component and the system's serial devices. The
// component speaks only this interface; the Linux implementation lives in one file and
// the tests bring a scriptable one of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class TVaWaitEvent;

// Line event bits: what an event wait reports and the event mask asks for.
enum : uint32_t {
    EV_RXCHAR = 0x0001,
    EV_RXFLAG = 0x0002,
    EV_TXEMPTY = 0x0004,
    EV_CTS = 0x0008,
    EV_DSR = 0x0010,
    EV_RLSD = 0x0020,
    EV_BREAK = 0x0040,
    EV_ERR = 0x0080,
    EV_RING = 0x0100,
    EV_PERR = 0x0200,
    EV_RX80FULL = 0x0400,
    EV_EVENT1 = 0x0800,
    EV_EVENT2 = 0x1000,
};

// This layer's own event, beyond the line events above: a modem input line changed, or asking
// for the lines started or stopped failing. Asked for in the event mask like the others, by a
// port that ReportsLineChanges.
enum : uint32_t { VA_EV_LINES = 0x00010000 };

// Line error flags reported (and cleared) by ClearError.
enum : uint32_t {
    CE_RXOVER = 0x0001,   // the input queue overflowed
    CE_OVERRUN = 0x0002,  // the receiver lost a character
    CE_RXPARITY = 0x0004, // parity error
    CE_FRAME = 0x0008,    // framing error
    CE_BREAK = 0x0010,    // break received
    CE_IOE = 0x0400,      // the device failed (gone)
};

// Modem input lines as ModemStatus reports them.
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Line function codes for Escape.
enum : int {
    SETXOFF = 1,
    SETXON = 2,
    SETRTS = 3,
    CLRRTS = 4,
    SETDTR = 5,
    CLRDTR = 6,
    SETBREAK = 8,
    CLRBREAK = 9,
};

enum class TVaErr { Ok, NotFound, Busy, Access, Invalid, Gone, Stopped, Timeout, Other };

// Result of a platform call: a kind the component may act on, and the system error code
// (an errno) that its messages show.
struct TVaStatus {
    TVaErr Err = TVaErr::Ok;
    int Code = 0;
    bool Ok() const { return Err == TVaErr::Ok; }
};

// The whole line settings record, rebuilt from the component's settings for every write.
struct TVaLineSettings {
    uint32_t BaudRate = 0;
    uint8_t ByteSize = 8;   // 4 to 8
    uint8_t Parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;   // 0 one, 1 one and a half, 2 two
    uint8_t DtrControl = 0; // 0 low, 1 high, 2 input handshake
    uint8_t RtsControl = 0; // 0 low, 1 high, 2 input handshake, 3 raised while sending
    bool Binary = true;
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    bool DsrSensitivity = false;
    bool TXContinueOnXoff = false;
    bool OutX = false;
    bool InX = false;
    bool ErrorCharOn = false; // replace bytes with parity errors by ErrorChar
    bool NullStrip = false;   // discard received NUL bytes
    bool ParityCheck = false;
    char XonChar = 0, XoffChar = 0, ErrorChar = 0, EofChar = 0, EvtChar = 0;
    uint16_t XonLim = 0, XoffLim = 0;
    bool operator==(const TVaLineSettings&) const = default;
};

struct TVaTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
    bool operator==(const TVaTimeouts&) const = default;
};

// Line status: error flags since the last query, then the queue counts.
struct TVaComStat {
    uint32_t Errors = 0;
    uint32_t HoldFlags = 0;
    uint32_t InQue = 0;  // bytes waiting to be read
    uint32_t OutQue = 0; // bytes waiting to be sent
};

// One open device. Every call may come from any thread; Close wakes the waits in
// progress, waits until no call uses the device any more and then releases it, so a
// call made after Close fails (Stopped) without touching a closed or reused descriptor.
class TVaPort {
public:
    virtual ~TVaPort() = default;
    virtual TVaStatus SetLine(const TVaLineSettings& S) = 0;
    virtual TVaStatus SetQueues(uint32_t InSize, uint32_t OutSize) = 0;
    virtual TVaStatus SetTimeouts(const TVaTimeouts& T) = 0;
    virtual TVaStatus SetEventMask(uint32_t Mask) = 0;
    // Waits until an event of the mask has happened (Fired gets them) or Wake is
    // signalled (Stopped). Gone once the device has gone away.
    virtual TVaStatus WaitEvent(uint32_t& Fired, const TVaWaitEvent& Wake) = 0;
    // Takes at most Count received bytes; never blocks.
    virtual TVaStatus Read(char* Buf, uint32_t Count, uint32_t& Got) = 0;
    // Sends Count bytes, waiting for room; ends early when Stop (may be null) is
    // signalled (Stopped) or after TimeoutMs (Timeout; -1 waits without limit).
    // Done gets the bytes accepted.
    virtual TVaStatus Write(const char* Data, uint32_t Count, uint32_t& Done,
                            const TVaWaitEvent* Stop, int TimeoutMs) = 0;
    // Takes the line errors since the last call and the input count; the output count too
    // when WithOutQueue (a call to the driver that a read does not need).
    virtual TVaStatus ClearError(TVaComStat& Stat, bool WithOutQueue) = 0;
    virtual TVaStatus Escape(int Code) = 0;
    virtual TVaStatus ModemStatus(uint32_t& Bits) = 0;
    // Whether the device is known to have gone away (unplugged); asks nothing of it.
    virtual bool Gone() const { return false; }
    // Whether every change of the modem lines (and of their query's success) is reported as
    // VA_EV_LINES, so that nobody needs to ask ModemStatus again and again to follow them.
    virtual bool ReportsLineChanges() const { return false; }
    // Whether anyone can see the lines now (the window is not minimised). A port that must
    // sample them to report their changes samples less often while nobody can, and once at
    // once when someone can again.
    virtual void SetLinesSeen(bool) {}
    virtual void Close() = 0;
};

class TVaPlatform {
public:
    virtual ~TVaPlatform() = default;
    // Opens the device of that name for exclusive use.
    virtual TVaStatus Open(const std::string& Name, std::shared_ptr<TVaPort>& Port) = 0;
    // Millisecond counter that wraps at 32 bits.
    virtual uint32_t TickCount() = 0;
};

// The platform of the machine the program runs on.
std::shared_ptr<TVaPlatform> VaDefaultPlatform();

// The system's text for an error code.
std::string VaErrorText(int Code);
