// Byte text shown and typed as Windows-1251: the code page of the device's Russian texts.
#pragma once

#include <QString>
#include <string>

// The character that byte B stands for (bytes 0xC0 to 0xFF are the Cyrillic letters).
QChar Cp1251ToChar(unsigned char B);
QString Cp1251ToQString(const char* Data, size_t Size);
inline QString Cp1251ToQString(const std::string& S) {
    return Cp1251ToQString(S.data(), S.size());
}
// Encodes text as Windows-1251 bytes; a character the code page lacks becomes '?'.
std::string QStringToCp1251(const QString& S);
// Text of the program's own, written here in UTF-8, as the Windows-1251 bytes it stands for.
std::string Utf8ToCp1251(const char* Utf8);
