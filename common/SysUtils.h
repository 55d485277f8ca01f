// The general errors of text conversion and list access, and the integer reading that the
// console's boxes and the socket stack's address parts share.
#pragma once

#include "Exception.h"

#include <cstdint>
#include <string>

// A text that does not read as what was asked of it.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// An index outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// Reads a 32-bit signed integer: optional leading blanks, an optional sign, then decimal digits,
// or hexadecimal ones after "$" or "0x". Leading zeros are decimal, never octal ("010" is 10).
// Anything else, an empty text or a value outside 32 bits gives false.
inline bool TryStrToInt(const std::string& S, int& Value) {
    size_t i = 0;
    while (i < S.size() && S[i] == ' ')
        ++i;
    bool negative = false;
    if (i < S.size() && (S[i] == '+' || S[i] == '-'))
        negative = S[i++] == '-';
    int base = 10;
    if (i < S.size() && S[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == S.size())
        return false;
    int64_t v = 0;
    for (; i < S.size(); ++i) {
        const char c = S[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * base + d;
        // Hexadecimal texts may spell the full 32-bit pattern ("$FFFFFFFF" is -1).
        if (v > (base == 16 ? INT64_C(0xFFFFFFFF) : INT64_C(0x80000000)))
            return false;
    }
    if (base == 16 && v > INT32_MAX)
        v -= INT64_C(0x100000000);
    if (negative)
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    Value = static_cast<int>(v);
    return true;
}

// As TryStrToInt, raising "'%s' is not a valid integer value" for a text that does not read.
inline int StrToInt(const std::string& S) {
    int v = 0;
    if (!TryStrToInt(S, v))
        throw EConvertError("'" + S + "' is not a valid integer value");
    return v;
}
