#include "Cp1251.h"

#include <array>
#include <unordered_map>

namespace {
// 0x80..0xBF of Windows-1251; 0x98 is unassigned and shown as its own code point.
constexpr char16_t High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

std::array<char16_t, 256> MakeTable() {
    std::array<char16_t, 256> t{};
    for (int i = 0; i < 0x80; ++i)
        t[i] = static_cast<char16_t>(i);
    for (int i = 0; i < 64; ++i)
        t[0x80 + i] = High[i];
    for (int i = 0xC0; i < 0x100; ++i)
        t[i] = static_cast<char16_t>(0x0410 + (i - 0xC0)); // А..я in order
    return t;
}
const std::array<char16_t, 256> Table = MakeTable();

const std::unordered_map<char16_t, unsigned char>& Reverse() {
    static const auto map = [] {
        std::unordered_map<char16_t, unsigned char> m;
        for (int i = 255; i >= 0; --i)
            m[Table[i]] = static_cast<unsigned char>(i);
        return m;
    }();
    return map;
}
} // namespace

QChar Cp1251ToChar(unsigned char B) {
    return QChar(Table[B]);
}

QString Cp1251ToQString(const char* Data, size_t Size) {
    QString s(static_cast<qsizetype>(Size), Qt::Uninitialized);
    QChar* out = s.data();
    for (size_t i = 0; i < Size; ++i)
        out[i] = QChar(Table[static_cast<unsigned char>(Data[i])]);
    return s;
}

std::string QStringToCp1251(const QString& S) {
    std::string out;
    out.reserve(static_cast<size_t>(S.size()));
    const auto& rev = Reverse();
    for (QChar c : S) {
        auto it = rev.find(c.unicode());
        out.push_back(it == rev.end() ? '?' : static_cast<char>(it->second));
    }
    return out;
}

std::string Utf8ToCp1251(const char* Utf8) {
    return QStringToCp1251(QString::fromUtf8(Utf8));
}
