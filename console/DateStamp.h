// The date-time stamp of device messages, written in the log's code page whatever the locale.
#pragma once

#include <string>

class QDateTime;
class QLocale;

// The locale's short date, one blank and the time with seconds; at exactly midnight the blank
// and the time are left out. A locale whose rendering the code page cannot show gets the same
// fields in Latin digits and English names.
std::string DateTimeStamp(const QDateTime& When, const QLocale& Locale);
std::string DateTimeStamp();
