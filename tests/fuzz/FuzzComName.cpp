// The COM-name resolver over random names, with a COM map that has a few entries: a COM name
// gives its map entry or the built-in port, COM0 gives nothing, any other name is a path.
#include "FuzzCheck.h"
#include "VaPlatformLinux.h"

#include <filesystem>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <unistd.h>

namespace {

// A private configuration folder with a COM map, removed when the run ends.
struct TComMap {
    std::string Dir;
    TComMap() {
        char tmpl[] = "/tmp/tevro-fuzz-com-XXXXXX";
        Dir = ::mkdtemp(tmpl);
        std::filesystem::create_directories(Dir + "/tevro-console/com");
        // Mapped: COM3 and COM12 (to devices that need not exist: the entry is what counts).
        std::filesystem::create_symlink("/dev/null", Dir + "/tevro-console/com/COM3");
        std::filesystem::create_symlink("/dev/missing", Dir + "/tevro-console/com/COM12");
    }
    ~TComMap() {
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
};

const std::string& ConfigDir() {
    static const TComMap map;
    return map.Dir;
}

bool IsMapped(unsigned long long N) {
    return N == 3 || N == 12;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    std::string name;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        name = "\\\\.\\";
        break;
    case 1:
        name = in.ConsumeBool() ? "COM" : "cOm";
        break;
    case 2:
        name = "\\\\.\\COM";
        break;
    default:
        break;
    }
    name += in.ConsumeBytesAsString(in.remaining_bytes());
    const std::string dir = ConfigDir();
    const std::string got = VaResolveDeviceName(name, dir);

    // The name without the device prefix; a COM name is C, O, M in any case and digits.
    std::string rest = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    bool com = rest.size() > 3;
    for (size_t i = 0; com && i < 3; ++i)
        com = std::toupper(static_cast<unsigned char>(rest[i])) == "COM"[i];
    for (size_t i = 3; com && i < rest.size(); ++i)
        com = rest[i] >= '0' && rest[i] <= '9';
    if (!com) {
        FUZZ_CHECK(got == name);
        return 0;
    }
    // Leading zeros do not count; a number too long for a port is not a COM name.
    const std::string digits = rest.substr(3);
    const size_t first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "" : digits.substr(first);
    if (significant.size() > 9) {
        FUZZ_CHECK(got == name || got.empty() || got.rfind("/dev/ttyS", 0) == 0 ||
                   got.rfind(dir + "/", 0) == 0);
        return 0;
    }
    if (digits.size() > 10) {
        // So many leading zeros that the name is taken as a path; an answer for the port is
        // as good.
        FUZZ_CHECK(got == name || got.rfind("/dev/ttyS", 0) == 0 || got.rfind(dir + "/", 0) == 0 ||
                   got.empty());
        return 0;
    }
    const unsigned long long n = significant.empty() ? 0 : std::stoull(significant);
    if (n == 0)
        FUZZ_CHECK(got.empty());
    else if (IsMapped(n))
        FUZZ_CHECK(got == dir + "/tevro-console/com/COM" + std::to_string(n));
    else
        FUZZ_CHECK(got == "/dev/ttyS" + std::to_string(n - 1));
    return 0;
}
