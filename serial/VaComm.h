// Placeholder of the serial port component: only the calls the window needs today.
#pragma once

#include "Exception.h"
#include <functional>
#include <string>

class EVaCommError : public Exception {
public:
    using Exception::Exception;
};

enum TVaDatabits { db4, db5, db6, db7, db8 };
enum TVaParity { paNone, paOdd, paEven, paMark, paSpace };
enum TVaStopbits { sb1, sb15, sb2 };

class TVaCustomComm;
using TNotifyEvent = std::function<void(TVaCustomComm* Sender)>;
using TVaCommRxCharEvent = std::function<void(TVaCustomComm* Sender, int Count)>;

class TVaCustomComm {
public:
    virtual ~TVaCustomComm() = default;
    void SetDatabits(TVaDatabits V) { m_databits = V; }
    void SetParity(TVaParity V) { m_parity = V; }
    void SetStopbits(TVaStopbits V) { m_stopbits = V; }
    TVaDatabits Databits() const { return m_databits; }
    TVaParity Parity() const { return m_parity; }
    TVaStopbits Stopbits() const { return m_stopbits; }
    void Open() { throw EVaCommError("Specified device not found (COM1)."); }
    void Close() {}
    bool IsOpen() const { return false; }
    int PortNum() const { return m_portNum; }
    void SetPortNum(int V) { m_portNum = V; }
    void SetUserBaudrate(int V) { m_userBaudrate = V; }
    int UserBaudrate() const { return m_userBaudrate; }
    void SetDeviceName(const std::string& V) { m_deviceName = V; }
    bool WriteText(const std::string&) { return false; }
    std::string ReadText() { return {}; }
    void SetDTR(bool) {}
    void SetRTS(bool) {}
    bool ModemLineOn(int) { return false; }
    TNotifyEvent OnOpen, OnClose;
    TVaCommRxCharEvent OnRxChar;

private:
    TVaDatabits m_databits = db8;
    TVaParity m_parity = paNone;
    TVaStopbits m_stopbits = sb1;
    int m_portNum = 0;
    int m_userBaudrate = 0;
    std::string m_deviceName = "COM%d";
};

class TVaComm : public TVaCustomComm {};
