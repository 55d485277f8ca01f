// The settings-to-termios mapping of the Linux serial layer: pure functions, checked by
// tables (tests/serial) and by a fuzz target.
#include "VaTermiosLinux.h"

#include <cerrno>

// How the line settings record maps onto termios2:
//
// | record                    | kernel                                                  |
// |---------------------------|---------------------------------------------------------|
// | BaudRate N (N > 0)        | BOTHER in and out, c_ispeed = c_ospeed = N; 0 refused   |
// | ByteSize 5..8 / 4         | CS5..CS8 / refused (no 4-bit characters)                |
// | Parity none/odd/even      | - / PARENB|PARODD / PARENB                              |
// | Parity mark/space         | PARENB|CMSPAR|PARODD / PARENB|CMSPAR                    |
// | StopBits 1                | -                                                       |
// | StopBits 2                | CSTOPB; refused with 5 bits (the UART makes that 1.5)   |
// | StopBits 1.5              | CSTOPB with 5 bits; refused with 6 to 8 bits            |
// | OutX / InX                | IXON / IXOFF, XonChar/XoffChar in VSTART/VSTOP          |
// | OutxCtsFlow               | CRTSCTS; the one kernel flag also drives RTS for input  |
// | Rts handshake alone       | RTS raised, no CRTSCTS: Linux cannot hold input back by |
// |                           | RTS without stopping output on CTS, and a device that   |
// |                           | leaves CTS low would then never get a byte              |
// | Rts toggle                | RS-485 mode with RTS on send, refused where the driver   |
// |                           | has none                                                |
// | Dtr/Rts disabled, enabled | line dropped / raised after the settings are written    |
// | Dtr handshake, OutxDsrFlow| refused: the kernel has no DSR/DTR flow control         |
// | DsrSensitivity            | refused, for the same reason                            |
// | TXContinueOnXoff, EofChar | no kernel equivalent; ignored                           |
// | XonLim, XoffLim           | the kernel keeps its own thresholds; ignored            |
// | ParityCheck               | INPCK|PARMRK on a device with a line; the layer decodes  |
// |                           | the marks; without it bad bytes arrive as they came      |
// | ErrorChar, NullStrip,     | the layer replaces bad bytes, strips NULs and watches   |
// | EvtChar                   | for EvtChar itself                                      |
// | (no modem lines: a pty)   | no INPCK|PARMRK: no line errors exist, and the kernel    |
// |                           | then takes its raw fast path (75 against 44 MB/s here)  |
// | always                    | raw, CREAD|CLOCAL|HUPCL, VMIN=1 VTIME=0                  |
TVaStatus VaBuildTermios(const TVaLineSettings& S, TVaTermiosPlan& Plan, bool LineErrors) {
    const TVaStatus invalid{TVaErr::Invalid, EINVAL};
    if (S.BaudRate == 0 || S.ByteSize < 5 || S.ByteSize > 8 || S.Parity > 4 || S.StopBits > 2)
        return invalid;
    if (S.StopBits == 1 && S.ByteSize != 5)
        return invalid;
    if (S.StopBits == 2 && S.ByteSize == 5)
        return invalid;
    if (S.DtrControl > 1 || S.OutxDsrFlow || S.DsrSensitivity || S.RtsControl > 3)
        return invalid;
    termios2 t{};
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = BOTHER | (BOTHER << IBSHIFT) | sizes[S.ByteSize - 5] | CREAD | CLOCAL | HUPCL;
    t.c_ispeed = t.c_ospeed = S.BaudRate;
    switch (S.Parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (S.StopBits != 0)
        t.c_cflag |= CSTOPB;
    if (S.OutxCtsFlow)
        t.c_cflag |= CRTSCTS;
    // VMIN=1: an idle non-blocking read is EAGAIN, so read() == 0 can only mean a hang-up.
    const bool marks = LineErrors && S.ParityCheck;
    t.c_iflag = marks ? INPCK | PARMRK : 0;
    if (S.OutX)
        t.c_iflag |= IXON;
    if (S.InX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(S.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(S.XoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    Plan.T = t;
    Plan.RtsToggle = S.RtsControl == 3;
    Plan.Marks = marks;
    return {};
}

void VaMakeRaw(termios2& T) {
    T.c_iflag &= ~tcflag_t(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    T.c_oflag &= ~tcflag_t(OPOST);
    T.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                           ECHOKE | IEXTEN | XCASE | TOSTOP);
    // CLOCAL so that a DCD drop cannot hang the port up for good.
    T.c_cflag |= CREAD | CLOCAL;
    T.c_cc[VMIN] = 1;
    T.c_cc[VTIME] = 0;
}

bool VaChipMakesRate(const std::string& Driver, uint32_t Rate) {
    // The divisor of a 3 MHz clock in eighths: at most 0x3fff and 7/8 (131071 eighths).
    return Driver != "ftdi_sio" || uint64_t(Rate) * 131071 >= 24000000;
}

bool VaRateAccepted(uint32_t Asked, uint32_t ReadBack) {
    const uint64_t diff = Asked > ReadBack ? Asked - ReadBack : ReadBack - Asked;
    return diff * 100 <= uint64_t(Asked) * 3;
}
