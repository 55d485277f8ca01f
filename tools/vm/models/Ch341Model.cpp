// A CH340 (1a86:7523) as the ch341 driver talks to it (drivers/usb/serial/ch341.c): vendor
// requests that write and read its registers. The modem inputs are active low in the low
// nibble (CTS 0x01, DSR 0x02, RI 0x04, DCD 0x08): in register 0x0706, read at open
// (ch341_get_status), and in byte 2 of a 4-byte packet on the interrupt endpoint
// (ch341_update_status).
#include "../UsbGadget.h"

#include <sys/ioctl.h>

namespace {

const uint8_t kReadVersion = 0x5f, kReadRegister = 0x95;

uint8_t ActiveLow(uint32_t In) {
    return uint8_t(~((In & TIOCM_CTS ? 0x01 : 0) | (In & TIOCM_DSR ? 0x02 : 0) |
                     (In & TIOCM_RI ? 0x04 : 0) | (In & TIOCM_CD ? 0x08 : 0)));
}

class TCh341 : public TChipModel {
public:
    TCh341() {
        Vendor = 0x1a86;
        Product = 0x7523;
        Device = 0x0254;
        Interrupt = true;
    }
    bool Control(const usb_ctrlrequest& R, const std::vector<uint8_t>&,
                 std::vector<uint8_t>& Answer) override {
        Answer.assign(le16toh(R.wLength), 0);
        if (R.bRequest == kReadVersion && !Answer.empty())
            Answer[0] = 0x31;
        if (R.bRequest == kReadRegister && le16toh(R.wValue) == 0x0706 && !Answer.empty())
            Answer[0] = ActiveLow(Inputs);
        return true; // register writes are taken; other registers read 0
    }
    std::vector<uint8_t> StatusPacket(uint32_t In) const override {
        return {0, 0, ActiveLow(In), 0};
    }
};

} // namespace

std::unique_ptr<TChipModel> MakeCh341Model() {
    return std::make_unique<TCh341>();
}
