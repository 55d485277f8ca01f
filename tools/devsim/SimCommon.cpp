#include "SimCommon.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <unistd.h>

namespace devsim {

void TRunStatus::Fail(const std::string& Reason, int Code) {
    if (Failure.empty())
        Failure = Reason;
    Exit = std::max(Exit, Code);
    Say("%s", Reason.c_str());
}

std::string ErrnoText(int e) {
    return std::system_category().message(e);
}

void Say(const char* Format, ...) {
    std::fprintf(stderr, "tevro-devsim: ");
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

std::string Hex(std::string_view Bytes) {
    std::string out;
    char buf[4];
    for (char c : Bytes) {
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ",
                      static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

} // namespace devsim
