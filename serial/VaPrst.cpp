#include "VaPrst.h"

#include <algorithm>
#include <iterator>

void TVaFlowControl::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaFlowControl*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaFlowControl");
    const TVaFlowControl old = *this;
    BeginUpdate();
    SetOutCtsFlow(s->m_outCtsFlow);
    SetOutDsrFlow(s->m_outDsrFlow);
    SetControlDtr(s->m_controlDtr);
    SetControlRts(s->m_controlRts);
    SetXonXoffOut(s->m_xonXoffOut);
    SetXonXoffIn(s->m_xonXoffIn);
    SetDsrSensitivity(s->m_dsrSensitivity);
    SetTxContinueOnXoff(s->m_txContinueOnXoff);
    EndUpdateOrUndo([&] {
        m_outCtsFlow = old.m_outCtsFlow;
        m_outDsrFlow = old.m_outDsrFlow;
        m_controlDtr = old.m_controlDtr;
        m_controlRts = old.m_controlRts;
        m_xonXoffOut = old.m_xonXoffOut;
        m_xonXoffIn = old.m_xonXoffIn;
        m_dsrSensitivity = old.m_dsrSensitivity;
        m_txContinueOnXoff = old.m_txContinueOnXoff;
    });
}

void TVaEventChars::SetChar(int Index, char V) {
    if (Index < 1 || Index > 5) {
        Changed();
        return;
    }
    const char old = std::exchange(m_chars[Index - 1], V);
    ChangedOrUndo([&] { m_chars[Index - 1] = old; });
}

void TVaEventChars::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaEventChars*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaEventChars");
    const TVaEventChars old = *this;
    BeginUpdate();
    SetXonChar(s->XonChar());
    SetXoffChar(s->XoffChar());
    SetErrorChar(s->ErrorChar());
    SetEventChar(s->EventChar());
    SetEofChar(s->EofChar());
    EndUpdateOrUndo([&] { std::copy(std::begin(old.m_chars), std::end(old.m_chars), m_chars); });
}

void TVaBuffers::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaBuffers*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaBuffers");
    const TVaBuffers old = *this;
    BeginUpdate();
    SetReadSize(s->m_readSize);
    SetWriteSize(s->m_writeSize);
    SetReadTimeout(s->m_readTimeout);
    SetWriteTimeout(s->m_writeTimeout);
    SetXonLimit(s->m_xonLimit);
    SetXoffLimit(s->m_xoffLimit);
    EndUpdateOrUndo([&] {
        m_readSize = old.m_readSize;
        m_writeSize = old.m_writeSize;
        m_readTimeout = old.m_readTimeout;
        m_writeTimeout = old.m_writeTimeout;
        m_xonLimit = old.m_xonLimit;
        m_xoffLimit = old.m_xoffLimit;
    });
}
