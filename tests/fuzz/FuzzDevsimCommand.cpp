// The simulator's command parser over random lines and over lines written from random bytes:
// every line gives one clear result, a refused one says why, and escaped and hexadecimal
// texts written here parse back to their bytes.
#include "DevSimCore.h"
#include "FuzzCheck.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

using devsim::TCommand;

// The escapes written out here: printable ASCII stands for itself, the rest is \xHH, with the
// short forms for some.
std::string Escaped(const std::string& Bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Bytes) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == 0)
            out += "\\0";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string Hex(const std::string& Bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : Bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
        // Bytes written as a command come back unchanged.
        const std::string bytes = in.ConsumeRandomLengthString(256);
        TCommand c = devsim::ParseCommand("send " + Escaped(bytes));
        FUZZ_CHECK(c.Kind == TCommand::TKind::Send && c.Bytes == bytes);
        c = devsim::ParseCommand("hex " + Hex(bytes) + "\r\n");
        FUZZ_CHECK(c.Kind == TCommand::TKind::Send && c.Bytes == bytes);
        c = devsim::ParseCommand("udp-send " + Escaped(bytes));
        FUZZ_CHECK(c.Kind == TCommand::TKind::Udp && c.Bytes == bytes);
        return 0;
    }
    case 1: {
        const long long n = in.ConsumeIntegralInRange<long long>(-5, 2'000'000);
        const TCommand c = devsim::ParseCommand("burst " + std::to_string(n));
        if (n >= 1 && n <= 1'000'000)
            FUZZ_CHECK(c.Kind == TCommand::TKind::Burst && c.Count == n);
        else
            FUZZ_CHECK(c.Kind == TCommand::TKind::Bad && !c.Error.empty());
        return 0;
    }
    default:
        break;
    }
    const std::string line = in.ConsumeBytesAsString(in.remaining_bytes());
    const TCommand c = devsim::ParseCommand(line);
    std::string trimmed = line;
    while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == '\n'))
        trimmed.pop_back();
    const std::string word = trimmed.substr(0, trimmed.find(' '));
    const std::string arg =
        trimmed.find(' ') == std::string::npos ? "" : trimmed.substr(trimmed.find(' ') + 1);
    // Nothing to do for an empty line or a comment; a refusal always says why.
    FUZZ_CHECK((c.Kind == TCommand::TKind::None) == (word.empty() || word[0] == '#'));
    FUZZ_CHECK((c.Kind == TCommand::TKind::Bad) == !c.Error.empty());
    if (c.Kind == TCommand::TKind::Send && word == "send")
        FUZZ_CHECK(devsim::ParseEscaped(arg) == c.Bytes);
    if (c.Kind == TCommand::TKind::Send && word == "hex")
        FUZZ_CHECK(devsim::ParseHex(arg) == c.Bytes);
    if (c.Kind == TCommand::TKind::Burst)
        FUZZ_CHECK(c.Count >= 1 && c.Count <= 1'000'000);
    if (c.Kind == TCommand::TKind::Quit)
        FUZZ_CHECK(word == "quit" || word == "exit");
    return 0;
}
