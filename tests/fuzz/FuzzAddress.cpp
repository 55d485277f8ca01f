// The IPv4 text conversions and the is-address test over random texts: an address text always
// converts, converts back to a canonical dotted quad of the same address, and for texts of
// digits and dots the test agrees with a reading written out here.
#include "FuzzCheck.h"
#include "IdStack.h"
#include "SysUtils.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <optional>
#include <string>

namespace {

// Four parts of one or more decimal digits each, 0 to 255, leading zeros allowed.
std::optional<TIdInAddr> DigitsAndDots(const std::string& S) {
    TIdInAddr a{};
    int part = 0;
    unsigned value = 0;
    size_t digits = 0;
    for (char c : S) {
        if (c == '.') {
            if (digits == 0 || part == 3)
                return std::nullopt;
            a[part++] = static_cast<uint8_t>(value);
            value = 0;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255)
                return std::nullopt;
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (part != 3 || digits == 0)
        return std::nullopt;
    a[3] = static_cast<uint8_t>(value);
    return a;
}

bool Canonical(const std::string& S) {
    // Four parts without leading zeros.
    int parts = 1;
    size_t start = 0;
    for (size_t i = 0; i <= S.size(); ++i) {
        if (i == S.size() || S[i] == '.') {
            if (i == start || (i - start > 1 && S[start] == '0') || i - start > 3)
                return false;
            if (i < S.size())
                ++parts;
            start = i + 1;
        } else if (S[i] < '0' || S[i] > '9') {
            return false;
        }
    }
    return parts == 4;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    if (in.ConsumeBool()) {
        const TIdInAddr a{in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(),
                          in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>()};
        const std::string text = TIdStack::TInAddrToString(a);
        FUZZ_CHECK(Canonical(text));
        FUZZ_CHECK(TIdStack::IsIP(text));
        FUZZ_CHECK(TIdStack::TranslateStringToTInAddr(text) == a);
        FUZZ_CHECK(DigitsAndDots(text) == a);
        return 0;
    }
    std::string s = in.ConsumeBytesAsString(in.remaining_bytes());
    // Digits and dots are where addresses are: make them common.
    for (char& c : s)
        if ((c & 0xF0) == 0xF0)
            c = (c & 1) ? '.' : static_cast<char>('0' + (c & 0x0E) / 2);
    const bool ip = TIdStack::IsIP(s);
    bool onlyDigitsAndDots = true;
    for (char c : s)
        onlyDigitsAndDots = onlyDigitsAndDots && ((c >= '0' && c <= '9') || c == '.');
    if (onlyDigitsAndDots)
        FUZZ_CHECK(ip == DigitsAndDots(s).has_value());
    TIdInAddr a{};
    bool converted = true;
    try {
        a = TIdStack::TranslateStringToTInAddr(s);
    } catch (const EConvertError&) {
        converted = false;
    }
    if (ip) {
        FUZZ_CHECK(converted);
        const std::string text = TIdStack::TInAddrToString(a);
        FUZZ_CHECK(Canonical(text) && TIdStack::IsIP(text));
        FUZZ_CHECK(TIdStack::TranslateStringToTInAddr(text) == a);
        if (onlyDigitsAndDots)
            FUZZ_CHECK(DigitsAndDots(s) == a);
    }
    return 0;
}
