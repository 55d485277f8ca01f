// USB devices the guest presents to itself, for the real-driver tests: a gadget made through
// configfs on one of dummy_hcd's controllers, so that the guest's own host-side driver binds to
// it. Either the kernel's ACM function (its far end is /dev/ttyGS0) or a FunctionFS function
// whose control requests a small model of the chip answers (its far end is a pseudo-terminal).
#pragma once

#include "Fd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <linux/usb/ch9.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What a FunctionFS chip model says: its identity, its endpoints, and its answers to the
// requests its driver sends. Called on the gadget's control thread; Inputs may be set from
// another thread (TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD as the model reports them).
class TChipModel {
public:
    virtual ~TChipModel() = default;
    uint16_t Vendor = 0, Product = 0, Device = 0;
    bool Interrupt = false; // an interrupt-in endpoint for the modem status

    // An IN request: Answer gets the data stage (at most wLength bytes); false stalls.
    // An OUT request: Data is its data stage; false stalls.
    virtual bool Control(const usb_ctrlrequest& R, const std::vector<uint8_t>& Data,
                         std::vector<uint8_t>& Answer) = 0;
    // The interrupt packet that reports Inputs (only with Interrupt).
    virtual std::vector<uint8_t> StatusPacket(uint32_t) const { return {}; }
    // The bytes on the bulk-in endpoint for data bytes of the line (a chip may escape some).
    virtual std::string Outgoing(std::string Bytes) const { return Bytes; }

    std::atomic<uint32_t> Inputs{0};
};

std::unique_ptr<TChipModel> MakeCp210xModel();
std::unique_ptr<TChipModel> MakePl2303Model();
std::unique_ptr<TChipModel> MakeCh341Model();

class TUsbGadget {
public:
    // An ACM gadget (Model null) or a FunctionFS gadget played by Model, named Name, on the
    // controller Udc. Throws std::runtime_error when a step fails.
    TUsbGadget(const std::string& Name, const std::string& Udc, std::unique_ptr<TChipModel> Model);
    ~TUsbGadget();
    TUsbGadget(const TUsbGadget&) = delete;
    TUsbGadget& operator=(const TUsbGadget&) = delete;

    // The far end's node: /dev/ttyGS0 for ACM, the pseudo-terminal's slave for a model.
    std::string FarEnd() const { return m_farEnd; }
    // The device leaves the bus and comes back (the controller unbound and bound).
    bool Plug(bool In);
    // The modem inputs the model reports from now on; false for ACM, whose inputs the
    // kernel's function sets itself (DSR and DCD while the far end is open).
    bool SetInputs(uint32_t Inputs);

private:
    void Stop();
    void Control();
    void FromHost();
    void ToHost();
    void Status();

    std::string m_name, m_udc, m_dir, m_mount, m_farEnd;
    std::unique_ptr<TChipModel> m_model;
    TFd m_ep0, m_in, m_out, m_int, m_master, m_stop;
    std::atomic_bool m_stopping{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_statusDue = false;
    struct TWorker {
        std::thread Thread;
        std::atomic_bool Done{false};
    };
    void Start(void (TUsbGadget::*Body)());
    std::vector<std::unique_ptr<TWorker>> m_workers;
};
