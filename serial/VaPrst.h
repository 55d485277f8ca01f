// The settings groups of the serial component: flow control, special characters, queues.
#pragma once

#include "VaClasses.h"

#include <cstdint>
#include <utility>

enum TVaControlDtr { dtrDisabled, dtrEnabled, dtrHandshake };
enum TVaControlRts { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };
using TVaIntW = int32_t; // 0 to 2147483647

class TVaFlowControl : public TVaPersistent {
public:
    void Assign(const TVaPersistent& Source) override;

    bool OutCtsFlow() const { return m_outCtsFlow; }
    bool OutDsrFlow() const { return m_outDsrFlow; }
    TVaControlDtr ControlDtr() const { return m_controlDtr; }
    TVaControlRts ControlRts() const { return m_controlRts; }
    bool XonXoffOut() const { return m_xonXoffOut; }
    bool XonXoffIn() const { return m_xonXoffIn; }
    bool DsrSensitivity() const { return m_dsrSensitivity; }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }

    void SetOutCtsFlow(bool V) { Store(m_outCtsFlow, V); }
    void SetOutDsrFlow(bool V) { Store(m_outDsrFlow, V); }
    void SetControlDtr(TVaControlDtr V) { Store(m_controlDtr, V); }
    void SetControlRts(TVaControlRts V) { Store(m_controlRts, V); }
    void SetXonXoffOut(bool V) { Store(m_xonXoffOut, V); }
    void SetXonXoffIn(bool V) { Store(m_xonXoffIn, V); }
    void SetDsrSensitivity(bool V) { Store(m_dsrSensitivity, V); }
    void SetTxContinueOnXoff(bool V) { Store(m_txContinueOnXoff, V); }

private:
    template <class T> void Store(T& Field, T V) {
        if (Field != V) {
            const T old = std::exchange(Field, V);
            ChangedOrUndo([&] { Field = old; });
        }
    }
    bool m_outCtsFlow = false;
    bool m_outDsrFlow = false;
    TVaControlDtr m_controlDtr = dtrDisabled;
    TVaControlRts m_controlRts = rtsDisabled;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
};

class TVaEventChars : public TVaPersistent {
public:
    void Assign(const TVaPersistent& Source) override;

    char XonChar() const { return m_chars[0]; }
    char XoffChar() const { return m_chars[1]; }
    char ErrorChar() const { return m_chars[2]; }
    char EventChar() const { return m_chars[3]; }
    char EofChar() const { return m_chars[4]; }
    void SetXonChar(char V) { SetChar(1, V); }
    void SetXoffChar(char V) { SetChar(2, V); }
    void SetErrorChar(char V) { SetChar(3, V); }
    void SetEventChar(char V) { SetChar(4, V); }
    void SetEofChar(char V) { SetChar(5, V); }
    // Index 1 to 5 in the order above; announces every time, also an unchanged value.
    void SetChar(int Index, char V);

private:
    char m_chars[5] = {17, 19, 0, 0, 0};
};

class TVaBuffers : public TVaPersistent {
public:
    void Assign(const TVaPersistent& Source) override;

    TVaIntW ReadSize() const { return m_readSize; }
    TVaIntW WriteSize() const { return m_writeSize; }
    TVaIntW ReadTimeout() const { return m_readTimeout; }
    TVaIntW WriteTimeout() const { return m_writeTimeout; }
    TVaIntW XonLimit() const { return m_xonLimit; }
    TVaIntW XoffLimit() const { return m_xoffLimit; }
    void SetReadSize(TVaIntW V) { Store(m_readSize, V); }
    void SetWriteSize(TVaIntW V) { Store(m_writeSize, V); }
    // The time-outs are read by the operation that uses them: no notification.
    void SetReadTimeout(TVaIntW V) { m_readTimeout = V; }
    void SetWriteTimeout(TVaIntW V) { m_writeTimeout = V; }
    void SetXonLimit(TVaIntW V) { Store(m_xonLimit, V); }
    void SetXoffLimit(TVaIntW V) { Store(m_xoffLimit, V); }

private:
    void Store(TVaIntW& Field, TVaIntW V) {
        if (Field != V) {
            const TVaIntW old = std::exchange(Field, V);
            ChangedOrUndo([&] { Field = old; });
        }
    }
    TVaIntW m_readSize = 4096;
    TVaIntW m_writeSize = 2048;
    TVaIntW m_readTimeout = 1000;
    TVaIntW m_writeTimeout = 1000;
    TVaIntW m_xonLimit = 1024;
    TVaIntW m_xoffLimit = 1024;
};
