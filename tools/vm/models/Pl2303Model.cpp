// A PL2303 (067b:2303, bcdDevice 0x0300) as the pl2303 driver talks to it
// (drivers/usb/serial/pl2303.c): vendor reads and writes of its registers, the class requests
// that set and read the line coding, and the modem status as a 10-byte packet on the
// interrupt endpoint, its byte 8 holding DCD 0x01, DSR 0x02, RI 0x08, CTS 0x80
// (pl2303_update_line_status).
#include "../UsbGadget.h"

#include <mutex>
#include <sys/ioctl.h>

namespace {

const uint8_t kGetLineRequest = 0x21, kSetLineRequest = 0x20;

class TPl2303 : public TChipModel {
public:
    TPl2303() {
        Vendor = 0x067b;
        Product = 0x2303;
        Device = 0x0300;
        Interrupt = true;
    }
    bool Control(const usb_ctrlrequest& R, const std::vector<uint8_t>& Data,
                 std::vector<uint8_t>& Answer) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (R.bRequest == kSetLineRequest && !(R.bRequestType & USB_DIR_IN))
            m_line = Data;
        Answer.assign(le16toh(R.wLength), 0);
        if (R.bRequest == kGetLineRequest && (R.bRequestType & USB_DIR_IN))
            for (size_t i = 0; i < Answer.size() && i < m_line.size(); ++i)
                Answer[i] = m_line[i];
        return true; // every register reads 0
    }
    std::vector<uint8_t> StatusPacket(uint32_t In) const override {
        std::vector<uint8_t> p(10, 0);
        p[8] = uint8_t((In & TIOCM_CD ? 0x01 : 0) | (In & TIOCM_DSR ? 0x02 : 0) |
                       (In & TIOCM_RI ? 0x08 : 0) | (In & TIOCM_CTS ? 0x80 : 0));
        return p;
    }

private:
    std::mutex m_lock;
    std::vector<uint8_t> m_line;
};

} // namespace

std::unique_ptr<TChipModel> MakePl2303Model() {
    return std::make_unique<TPl2303>();
}
