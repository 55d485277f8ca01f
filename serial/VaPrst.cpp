#include "VaPrst.h"

void TVaFlowControl::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaFlowControl*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaFlowControl");
    BeginUpdate();
    SetOutCtsFlow(s->m_outCtsFlow);
    SetOutDsrFlow(s->m_outDsrFlow);
    SetControlDtr(s->m_controlDtr);
    SetControlRts(s->m_controlRts);
    SetXonXoffOut(s->m_xonXoffOut);
    SetXonXoffIn(s->m_xonXoffIn);
    SetDsrSensitivity(s->m_dsrSensitivity);
    SetTxContinueOnXoff(s->m_txContinueOnXoff);
    EndUpdate();
}

void TVaEventChars::SetChar(int Index, char V) {
    if (Index >= 1 && Index <= 5)
        m_chars[Index - 1] = V;
    Changed();
}

void TVaEventChars::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaEventChars*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaEventChars");
    BeginUpdate();
    SetXonChar(s->XonChar());
    SetXoffChar(s->XoffChar());
    SetErrorChar(s->ErrorChar());
    SetEventChar(s->EventChar());
    SetEofChar(s->EofChar());
    EndUpdate();
}

void TVaBuffers::Assign(const TVaPersistent& Source) {
    auto* s = dynamic_cast<const TVaBuffers*>(&Source);
    if (!s)
        InvalidAssignment("settings group", "TVaBuffers");
    BeginUpdate();
    SetReadSize(s->m_readSize);
    SetWriteSize(s->m_writeSize);
    SetReadTimeout(s->m_readTimeout);
    SetWriteTimeout(s->m_writeTimeout);
    SetXonLimit(s->m_xonLimit);
    SetXoffLimit(s->m_xoffLimit);
    EndUpdate();
}
