// A CP2102 as the cp210x driver talks to it (drivers/usb/serial/cp210x.c): vendor requests to
// the interface that set and read the line, the modem status read by GET_MDMSTS on every
// TIOCMGET, and at probe the part number. With INPCK the driver puts the chip in event mode
// (EMBED_EVENTS): a data byte equal to the escape character then comes as escape, 0.
#include "../UsbGadget.h"

#include <cstdio>
#include <mutex>
#include <sys/ioctl.h>

namespace {

enum : uint8_t {
    IFC_ENABLE = 0x00,
    SET_LINE_CTL = 0x03,
    GET_LINE_CTL = 0x04,
    SET_BREAK = 0x05,
    SET_MHS = 0x07,
    GET_MDMSTS = 0x08,
    GET_PROPS = 0x0f,
    GET_COMM_STATUS = 0x10,
    PURGE = 0x12,
    SET_FLOW = 0x13,
    GET_FLOW = 0x14,
    EMBED_EVENTS = 0x15,
    SET_CHARS = 0x19,
    GET_BAUDRATE = 0x1d,
    SET_BAUDRATE = 0x1e,
    VENDOR_SPECIFIC = 0xff
};
const uint16_t kGetPartnum = 0x370b;
const uint8_t kCp2102 = 0x02;

class TCp210x : public TChipModel {
public:
    TCp210x() {
        Vendor = 0x10c4;
        Product = 0xea60;
        Device = 0x0100;
    }
    bool Control(const usb_ctrlrequest& R, const std::vector<uint8_t>& Data,
                 std::vector<uint8_t>& Answer) override {
        const uint16_t value = le16toh(R.wValue);
        std::lock_guard<std::mutex> g(m_lock);
        switch (R.bRequest) {
        case VENDOR_SPECIFIC:
            if (value != kGetPartnum)
                return false;
            Answer = {kCp2102};
            return true;
        case IFC_ENABLE:
        case SET_BREAK:
        case PURGE:
        case SET_CHARS:
            return true;
        case SET_LINE_CTL:
            m_lineCtl = value;
            return true;
        case GET_LINE_CTL:
            Answer = {uint8_t(m_lineCtl), uint8_t(m_lineCtl >> 8)};
            return true;
        case SET_MHS: // bits 0-1 DTR, RTS; bits 8-9 which of them to change
            m_control = uint8_t((m_control & ~(value >> 8)) | (value & (value >> 8) & 3));
            return true;
        case GET_MDMSTS: {
            const uint32_t in = Inputs;
            Answer = {uint8_t(m_control | (in & TIOCM_CTS ? 0x10 : 0) |
                              (in & TIOCM_DSR ? 0x20 : 0) | (in & TIOCM_RI ? 0x40 : 0) |
                              (in & TIOCM_CD ? 0x80 : 0))};
            return true;
        }
        case SET_FLOW:
            m_flow = Data;
            return true;
        case GET_FLOW:
            Answer = m_flow;
            Answer.resize(16);
            return true;
        case SET_BAUDRATE:
            m_rate = Data;
            return true;
        case GET_BAUDRATE:
            Answer = m_rate;
            Answer.resize(4);
            return true;
        case EMBED_EVENTS:
            m_escape = uint8_t(value);
            return true;
        case GET_COMM_STATUS: // errors, hold reasons, queue counts: all zero (19 bytes)
            Answer.assign(19, 0);
            return true;
        case GET_PROPS:
            Answer.assign(le16toh(R.wLength), 0);
            return true;
        }
        std::fprintf(stderr, "cp210x model: request %#x (type %#x, value %#x) refused\n",
                     R.bRequest, R.bRequestType, value);
        return false;
    }
    std::string Outgoing(std::string Bytes) const override {
        uint8_t escape;
        {
            std::lock_guard<std::mutex> g(m_lock);
            escape = m_escape;
        }
        if (!escape)
            return Bytes;
        std::string out;
        for (char c : Bytes) {
            out += c;
            if (uint8_t(c) == escape)
                out += '\0';
        }
        return out;
    }

private:
    mutable std::mutex m_lock;
    uint16_t m_lineCtl = 0x0800; // 8 data bits, no parity, 1 stop bit
    uint8_t m_control = 0;
    uint8_t m_escape = 0;
    std::vector<uint8_t> m_flow, m_rate;
};

} // namespace

std::unique_ptr<TChipModel> MakeCp210xModel() {
    return std::make_unique<TCp210x>();
}
