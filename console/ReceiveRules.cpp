#include "ReceiveRules.h"

#include <cstring>

TDirectText DirectText(std::string_view Chunk, bool Screen) {
    TDirectText out;
    const char* data = Chunk.data();
    const size_t size = Chunk.size();
    size_t pos = 0;
    if (Screen && size >= 2 && data[0] == '\r' && data[1] == '\r') {
        out.Clear = true;
        pos = 2;
    }
    std::string& text = out.Text;
    text.reserve(size - pos + 16);
    while (pos < size) {
        // The common case, a run of printable bytes, is copied in one go.
        size_t run = pos;
        while (run < size && static_cast<unsigned char>(data[run]) >= 32)
            ++run;
        text.append(data + pos, run - pos);
        if (run == size || data[run] == '\0')
            break; // nothing after a NUL is shown
        const char c = data[run];
        // The log turns each CR and each LF of its own into one line break.
        if (c == '\r' || (Screen && c == '\n'))
            text += "\r\n";
        else if (Screen)
            text += c;
        pos = run + 1;
    }
    return out;
}

std::string PacketLine(std::string_view Chunk) {
    static const char digits[] = "0123456789ABCDEF";
    const size_t size = Chunk.size();
    std::string text(4 + 3 * size + 2, ' ');
    char* out = text.data();
    std::memcpy(out, "Rx- ", 4);
    out += 4;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char b = static_cast<unsigned char>(Chunk[i]);
        out[0] = digits[b >> 4];
        out[1] = digits[b & 15];
        out += 3; // the blank is already there
    }
    std::memcpy(out, "\r\n", 2);
    return text;
}

TDatagramText DatagramText(std::string_view Data) {
    TDatagramText out;
    std::string u(Data);
    for (char& c : u)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    out.Activation = u.find("ACT") != std::string::npos;
    for (char c : Data) {
        if (c == '\0')
            break;
        if (static_cast<unsigned char>(c) >= 32)
            out.Line += c;
    }
    out.Ssi = u.find("SSI") != std::string::npos;
    out.Hello = u.find("HELLO") != std::string::npos;
    out.Imei = u.find("IMEI") != std::string::npos;
    return out;
}
