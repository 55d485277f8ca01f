// What the console makes of what arrives, as text for its log: a chunk from the serial port
// in Direct and in Packet mode, and a datagram with its keywords. No window, no clock.
#pragma once

#include <string>
#include <string_view>

// A chunk in Direct mode: Clear says the log is emptied first (Screen ticked and the chunk
// begins with two CRs); Text is then appended in one go. It leaves the same log text as one
// append per byte: bytes from 32 up show; nothing after the first NUL shows; a CR is a line
// break; with Screen ticked every other byte shows too, an LF being a line break of its own;
// without it the other control bytes are dropped.
struct TDirectText {
    bool Clear = false;
    std::string Text;
};
TDirectText DirectText(std::string_view Chunk, bool Screen);

// A chunk in Packet mode: "Rx- ", each byte as two upper-case hex digits and a blank, and the
// line break that ends the chunk's line.
std::string PacketLine(std::string_view Chunk);

// A datagram: an activation message (ACT in any letter case, anywhere) is relayed unchanged
// and replaces the log; any other shows Line (the bytes before its first NUL, without those
// below 32) followed by one suffix per keyword it holds anywhere, NUL or not: SSI, HELLO, IMEI.
struct TDatagramText {
    bool Activation = false;
    std::string Line;
    bool Ssi = false, Hello = false, Imei = false;
};
TDatagramText DatagramText(std::string_view Data);
