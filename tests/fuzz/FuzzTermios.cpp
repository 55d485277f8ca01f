// The settings-to-termios mapping over random line settings: what Linux cannot express is
// refused, a record without flow control is always taken, and what is taken carries the
// record's character size, parity, stop bits and rate. How flow control maps is left to the
// serial layer; a record without any gets none.
#include "FuzzCheck.h"
#include "VaTermiosLinux.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider in(Data, Size);
    TVaLineSettings s;
    s.BaudRate = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                  : in.PickValueInArray({0u, 110u, 9600u, 115200u, 921600u});
    s.ByteSize = in.ConsumeIntegralInRange<uint8_t>(0, 10);
    s.Parity = in.ConsumeIntegralInRange<uint8_t>(0, 6);
    s.StopBits = in.ConsumeIntegralInRange<uint8_t>(0, 4);
    s.DtrControl = in.ConsumeIntegralInRange<uint8_t>(0, 4);
    s.RtsControl = in.ConsumeIntegralInRange<uint8_t>(0, 5);
    s.Binary = in.ConsumeBool();
    s.OutxCtsFlow = in.ConsumeBool();
    s.OutxDsrFlow = in.ConsumeBool();
    s.DsrSensitivity = in.ConsumeBool();
    s.TXContinueOnXoff = in.ConsumeBool();
    s.OutX = in.ConsumeBool();
    s.InX = in.ConsumeBool();
    s.ErrorCharOn = in.ConsumeBool();
    s.NullStrip = in.ConsumeBool();
    s.ParityCheck = in.ConsumeBool();
    s.XonChar = in.ConsumeIntegral<char>();
    s.XoffChar = in.ConsumeIntegral<char>();
    s.ErrorChar = in.ConsumeIntegral<char>();
    s.EofChar = in.ConsumeIntegral<char>();
    s.EvtChar = in.ConsumeIntegral<char>();
    s.XonLim = in.ConsumeIntegral<uint16_t>();
    s.XoffLim = in.ConsumeIntegral<uint16_t>();
    const bool lineErrors = in.ConsumeBool();

    TVaTermiosPlan plan;
    const TVaStatus st = VaBuildTermios(s, plan, lineErrors);

    // What the kernel has no way to say: no rate, sizes outside 5 to 8, unknown parity or
    // stop bits, 1.5 stop bits with 6 to 8 data bits, 2 with 5, DTR or DSR flow control,
    // unknown DTR or RTS modes.
    const bool inexpressible =
        s.BaudRate == 0 || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4 || s.StopBits > 2 ||
        (s.StopBits == 1 && s.ByteSize != 5) || (s.StopBits == 2 && s.ByteSize == 5) ||
        s.DtrControl > 1 || s.OutxDsrFlow || s.DsrSensitivity || s.RtsControl > 3;
    if (inexpressible) {
        FUZZ_CHECK(!st.Ok());
        return 0;
    }
    const bool flow = s.OutxCtsFlow || s.RtsControl >= 2 || s.OutX || s.InX;
    if (!flow)
        FUZZ_CHECK(st.Ok());
    if (!st.Ok())
        return 0;

    const termios2& t = plan.T;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    FUZZ_CHECK((t.c_cflag & CSIZE) == sizes[s.ByteSize - 5]);
    FUZZ_CHECK(((t.c_cflag & PARENB) != 0) == (s.Parity != 0));
    if (s.Parity != 0) {
        // Odd and mark set PARODD; mark and space stick the bit (CMSPAR).
        FUZZ_CHECK(((t.c_cflag & PARODD) != 0) == (s.Parity == 1 || s.Parity == 3));
        FUZZ_CHECK(((t.c_cflag & CMSPAR) != 0) == (s.Parity >= 3));
    }
    FUZZ_CHECK(((t.c_cflag & CSTOPB) != 0) == (s.StopBits != 0));
    FUZZ_CHECK((t.c_cflag & CBAUD) == BOTHER);
    FUZZ_CHECK(t.c_ospeed == s.BaudRate && t.c_ispeed == s.BaudRate);
    FUZZ_CHECK((t.c_cflag & CREAD) != 0);
    // How asked-for flow control maps is the serial layer's choice; none asked, none is set.
    if (!flow)
        FUZZ_CHECK((t.c_cflag & CRTSCTS) == 0 && (t.c_iflag & (IXON | IXOFF)) == 0 &&
                   !plan.RtsToggle);
    return 0;
}
