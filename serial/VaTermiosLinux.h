// The line settings as the kernel's termios2 holds them: pure mappings, no device touched.
// Only the Linux layer, its tests and its fuzz target include this header (it brings the
// kernel termios).
#pragma once

#include "VaPlatform.h"

#include <asm/termbits.h>
#include <cstdint>
#include <string>

// Builds the whole kernel line settings from the record. Invalid (EINVAL) for what the
// kernel cannot express; RtsToggle tells the caller to ask the driver for RS-485 mode.
// LineErrors says the device has a line that can err: then parity checking asks the kernel
// to mark bytes received with errors, and breaks, in the data.
struct TVaTermiosPlan {
    termios2 T{};
    bool RtsToggle = false;
    bool Marks = false; // the kernel marks bad bytes and breaks in the data (PARMRK)
};
TVaStatus VaBuildTermios(const TVaLineSettings& S, TVaTermiosPlan& Plan, bool LineErrors = true);

// Makes the settings a device had at open fit raw I/O, changing nothing else: no echo, no
// line editing or signals, no translation of bytes either way, reads that return what has
// come; the rate, character size, parity, stop bits and flow control stay as they were.
void VaMakeRaw(termios2& T);

// Whether a read-back rate is the one asked for: drivers report the rate the chip makes,
// which may be a fraction of a percent off (a CP2102N makes 115384 for 115200); more than 3 %
// off means the driver put another rate in its place.
bool VaRateAccepted(uint32_t Asked, uint32_t ReadBack);

// Whether the chip behind Driver (as sysfs names it) makes Rate within 3 %, where the driver
// itself does not tell: ftdi_sio reads back whatever rate it was asked for, but below about
// 183 baud an FT232-class chip's divisor overflows its 14 bits (get_ftdi_divisor) and the chip
// runs at another rate (110 gives 275). Any rate for other drivers.
bool VaChipMakesRate(const std::string& Driver, uint32_t Rate);
