#include "ConsoleCore.h"

#include "Application.h"
#include "DateStamp.h"
#include "DeviceWatch.h"
#include "ReceiveRules.h"
#include "VaComMap.h"
#include "VaPlatformLinux.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {
// Raw with Stamp put before each line it starts; AtStart: the log's text ends a line, LastCr:
// its last byte given was a CR (an LF right after it ends the same line break).
std::string StampLines(const std::string& Raw, const std::string& Stamp, bool AtStart,
                       bool LastCr) {
    std::string out;
    out.reserve(Raw.size() + Stamp.size());
    for (char c : Raw) {
        const bool pairedLf = c == '\n' && LastCr;
        if (AtStart && !pairedLf) {
            out += Stamp;
            AtStart = false;
        }
        out += c;
        if (c == '\r' || c == '\n')
            AtStart = true;
        LastCr = c == '\r';
    }
    return out;
}
} // namespace

TConsole::TConsole(QObject* Parent)
    : QObject(Parent),
      m_chat(TChatLink{
                 .Write =
                     [this](const std::string& S) {
                         // The reply's lines show as sent, without the CR that ends them.
                         if (m_showSent)
                             ShowSentLine(S.substr(0, S.find_last_not_of("\r\n") + 1));
                         return WriteOrReport(S);
                     },
                 .SetDTR =
                     [this](bool On) {
                         VaComm->SetDTR(On);
                         emit DtrDriven(On);
                     },
                 .SendBreak = [this] { SendBreak(); },
                 .NowMs = {},
                 .Say = [this](const std::string& S) { LogAddLine(S); },
                 .Echo = {},
             },
             [this](const std::string& Line) { LogAddLine(Line); }) {
    VaComm = std::make_unique<TVaComm>();
    UDPServer = std::make_unique<TIdUDPServer>();
    SysTimer = new QTimer(this);
    SysTimer->setTimerType(Qt::PreciseTimer);
    SysTimer->setInterval(5);
    connect(SysTimer, &QTimer::timeout, this, [this] { Guarded([this] { SysTimerTimer(); }); });

    // The component as the console uses it: the rate from UserBaudrate, no flow control, the
    // platform's COM names, and the events the console listens to.
    VaComm->SetBaudrate(brUser);
    VaComm->SetDeviceName("\\\\.\\COM%d");
    VaComm->SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});
    VaComm->OnOpen = [this](TVaCustomComm* S) { VaCommOpen(S); };
    VaComm->OnClose = [this](TVaCustomComm* S) { VaCommClose(S); };
    VaComm->OnRxChar = [this](TVaCustomComm* S, int N) { VaCommRxChar(S, N); };
    VaComm->OnModemLines = [this](TVaCustomComm*) { ShowModemLines(); };
    m_chat.OnDone = [this](const TChatOutcome&) { emit ScriptEnded(); };
    // A reply waits half a millisecond after the receiver's answer (see TTransferParams), and
    // is due on the next tick: the timer runs only while a file goes.
    m_transferTimer = new QTimer(this);
    m_transferTimer->setTimerType(Qt::PreciseTimer);
    m_transferTimer->setInterval(1);
    connect(m_transferTimer, &QTimer::timeout, this, [this] {
        if (m_transfer && m_transfer->Running())
            m_transfer->Tick();
    });
    // A datagram from outside the allowed networks is said in the log: the first after each
    // activation, then one a minute at most (the endpoint counts the rest).
    UDPServer->OnRefused = [this](TIdUDPServer*, const std::string& Ip, int Port, uint64_t N) {
        LogAddLine("Refused a datagram from " + Ip + ":" + std::to_string(Port) +
                   " (not an allowed network); " + std::to_string(N) + " so far");
    };
    // A lost device is heard of coming back; a node that is there but not yet usable (its
    // permissions still being set) is tried again a few times.
    m_watch = new TDeviceWatch(this);
    connect(m_watch, &TDeviceWatch::Changed, this, [this] {
        m_reopenTries = 20;
        TryReopen();
    });
    m_reopenRetry = new QTimer(this);
    m_reopenRetry->setSingleShot(true);
    m_reopenRetry->setInterval(100);
    connect(m_reopenRetry, &QTimer::timeout, this, [this] { TryReopen(); });
    UDPServer->SetDefaultPort(50000);
    UDPServer->OnUDPRead = [this](TIdUDPServer* S, const std::string& D, TIdSocketHandle& B) {
        UDPServerUDPRead(S, D, B);
    };
}

TConsole::~TConsole() {
    if (!m_stopping)
        Stop();
    // The port goes before the log and the answerer its handlers write to.
    VaComm.reset();
    UDPServer.reset();
}

void TConsole::Start() {
    VaComm->SetDatabits(db8);
    VaComm->SetParity(paNone);
    VaComm->SetStopbits(sb1);
    std::memset(m_answerer.CaptureBuf, 0, sizeof m_answerer.CaptureBuf);
    m_responder = std::make_unique<TUserThread>(m_answerer, [this] { AnswerRequest(); });
    m_responder->SetPriority(tpNormal);
    m_responder->Start();
}

void TConsole::Stop() {
    m_stopping = true;
    if (m_responder) {
        m_responder->Terminate();
        // The thread may be waiting for its main-thread call: serve it until it has stopped.
        while (m_responder->Running)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        m_responder->WaitFor(); // it has left its loop: this only joins it
    }
    Guarded([this] { VaComm->Close(); });
}

// ---------------------------------------------------------------- log

bool TConsole::AtLineStart() const {
    return m_log.Empty() || m_log.Text().back() == '\n';
}

void TConsole::AppendToLog(const std::string& Raw) {
    if (Raw.empty())
        return;
    if (m_timestamps) {
        const std::string stamp =
            QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")).toStdString();
        m_log.Append(StampLines(Raw, stamp, AtLineStart(), m_lastWasCr));
    } else {
        m_log.Append(Raw);
    }
    m_lastWasCr = Raw.back() == '\r';
}

void TConsole::LogAppend(const std::string& Text) {
    const size_t old = m_log.Size();
    AppendToLog(Text);
    emit LogAppended(old);
}

void TConsole::LogAddLine(const std::string& Text) {
    const size_t old = m_log.Size();
    // The text ends the line it starts, or a new line is started for it.
    AppendToLog(AtLineStart() ? Text + "\r\n" : "\r\n" + Text);
    emit LogAppended(old);
}

void TConsole::LogSetText(const std::string& Text) {
    m_log.Clear();
    m_lastWasCr = false;
    AppendToLog(Text);
    emit LogReplaced();
}

void TConsole::LogClear(bool ByDevice) {
    m_log.Clear();
    m_lastWasCr = false;
    emit LogCleared(ByDevice);
}

void TConsole::ShowSentLine(const std::string& Line) {
    const size_t old = m_log.Size();
    AppendToLog((AtLineStart() ? "> " : "\r\n> ") + Line + "\r\n");
    emit LogAppended(old);
}

// ---------------------------------------------------------------- port

void TConsole::OpenPort(int PortNum, int Baud) {
    StopWaiting();
    VaComm->Close();
    VaComm->SetPortNum(PortNum);
    VaComm->SetUserBaudrate(Baud);
    m_modemErrorReported = false;
    VaComm->Open();
}

void TConsole::ClosePort() {
    StopWaiting();
    VaComm->Close();
}

namespace {
QSettings ConsoleSettings() {
    return QSettings(QString::fromStdString(VaConfigDir() + "/tevro-console/console.ini"),
                     QSettings::IniFormat);
}
} // namespace

bool TConsole::SavedReopen() {
    return ConsoleSettings().value("reopen", false).toBool();
}

void TConsole::SaveReopen(bool On) {
    ConsoleSettings().setValue("reopen", On);
}

void TConsole::SetReopen(bool On) {
    m_reopen = On;
    if (!On)
        StopWaiting();
}

void TConsole::StopWaiting() {
    m_waiting = false;
    m_reopenRetry->stop();
    m_watch->Stop();
}

void TConsole::PortFailed() {
    if (!VaComm->Lost()) {
        ReportPortFailureOnce();
        return;
    }
    if (m_lossHandled)
        return;
    m_lossHandled = true;
    m_modemErrorReported = true;
    if (Transferring())
        m_transfer->DeviceLost();
    m_chat.Stop(); // a script needs its port
    // The descriptor goes back once this handler has left the port's calls; a device that
    // came back at once is found then.
    QTimer::singleShot(0, this, [this] {
        VaComm->ReleaseLost();
        TryReopen();
    });
    if (!m_reopen)
        throw; // the box, as without reopening
    std::string why;
    try {
        throw;
    } catch (const std::exception& E) {
        why = E.what();
    } catch (...) {
    }
    LogAddLine("Port " + std::to_string(VaComm->PortNum()) + " lost: " + why +
               "; waiting for the device");
    m_waiting = true;
    m_reopenTries = 0;
    emit PortWaiting(VaComm->PortNum());
    if (!m_watch->Start())
        LogAddLine("Cannot watch for the device: CLOSE and OPEN the port when it is back");
}

void TConsole::TryReopen() {
    if (!m_waiting || m_stopping)
        return;
    const std::string path = VaResolveDeviceName(VaComm->GetDeviceName(), VaConfigDir());
    if (path.empty() || ::access(path.c_str(), F_OK) != 0)
        return; // not back: the next event tells
    const int num = VaComm->PortNum();
    m_waiting = false;
    try {
        VaComm->Close();
        m_modemErrorReported = false;
        VaComm->Open();
    } catch (const std::exception& E) {
        // There, but not ready: tried again shortly, a few times after each sign of it.
        m_waiting = true;
        emit PortWaiting(num);
        if (m_reopenTries-- > 0)
            m_reopenRetry->start();
        return;
    }
    StopWaiting();
    LogAddLine("Port " + std::to_string(num) + " is back: opened again");
}

void TConsole::SetDTR(bool On) {
    VaComm->SetDTR(On);
}

void TConsole::SetShown(bool Shown) {
    VaComm->SetModemLinesSeen(Shown);
}

void TConsole::SetRTS(bool On) {
    VaComm->SetRTS(On);
}

void TConsole::VaCommOpen(TVaCustomComm*) {
    m_lossHandled = false;
    emit PortOpened(VaComm->PortNum());
    // Both lines drop for a moment, then rise.
    VaComm->SetDTR(false);
    emit DtrDriven(false);
    VaComm->SetRTS(false);
    emit RtsDriven(false);
    VaComm->SetDTR(true);
    emit DtrDriven(true);
    VaComm->SetRTS(true);
    emit RtsDriven(true);
    SysTimer->start();
    // A port that reports each change of its lines is asked once here, then on each change.
    if (VaComm->ReportsModemLines())
        Guarded([this] { ShowModemLines(); });
}

void TConsole::VaCommClose(TVaCustomComm*) {
    if (Transferring())
        m_transfer->DeviceLost();
    m_chat.Stop(); // a script needs its port
    VaComm->SetDTR(false);
    VaComm->SetRTS(false);
    emit DtrDriven(false);
    emit RtsDriven(false);
    emit PortClosed();
    SysTimer->stop();
}

void TConsole::ShowModemLines() {
    try {
        // One query for the four panels: on a USB adapter each query may be a round trip
        // over the bus.
        const uint32_t lines = VaComm->ModemStatus();
        emit ModemLinesRead(lines);
        // The carrier dropping is the line's hang-up, for a script that minds it.
        const bool dcd = lines & MS_RLSD_ON;
        if (m_dcd && !dcd)
            m_chat.LineHungUp();
        m_dcd = dcd;
        m_modemErrorReported = false;
    } catch (...) {
        PortFailed();
    }
}

void TConsole::ReportPortFailureOnce() {
    // A lasting failure (an unplugged adapter) is reported once, not every tick and every
    // read; again only after a query has succeeded in between or the port has been reopened.
    if (m_modemErrorReported)
        return;
    m_modemErrorReported = true;
    throw;
}

void TConsole::SysTimerTimer() {
    // A device given up has no lines to ask for and nothing to count down.
    if (m_lossHandled && VaComm->Lost()) {
        SysTimer->stop();
        return;
    }
    // A port that reports its line changes has its panels updated by them; else each tick
    // asks for the lines.
    const bool polled = !VaComm->ReportsModemLines();
    if (polled) {
        const bool reportedBefore = m_modemErrorReported;
        ShowModemLines();
        if (reportedBefore && m_modemErrorReported)
            return;
    }
    m_answerer.TickCountdown();
    // Nothing left to count down: the timer sleeps until bytes arrive again.
    if (!polled && m_answerer.RxCountdown.load() == 0)
        SysTimer->stop();
}

// ---------------------------------------------------------------- receive

void TConsole::VaCommRxChar(TVaCustomComm*, int Count) {
    // The count is what the notification found waiting: one read takes it, without asking
    // the port again.
    std::string chunk(static_cast<size_t>(std::max(Count, 0)), '\0');
    try {
        chunk.resize(static_cast<size_t>(VaComm->ReadBuf(chunk.data(), Count)));
    } catch (...) {
        // A lost device fails this read as it fails the status timer's query, in either
        // order (on a real adapter the read often comes first): one report for both.
        if (Transferring())
            m_transfer->DeviceLost();
        PortFailed();
        return;
    }
    if (chunk.empty())
        return;
    // The protocol's own bytes are the transfer's: neither shown nor answered.
    if (Transferring()) {
        m_transfer->Feed(chunk);
        return;
    }
    if (m_chat.Running())
        m_chat.Feed(chunk);
    if (m_packetMode == 0) {
        const TDirectText shown = DirectText(chunk, m_screen);
        if (shown.Clear)
            LogClear(true);
        if (!shown.Text.empty())
            LogAppend(shown.Text);
        return;
    }
    m_answerer.RxCountdown = 10;
    if (!SysTimer->isActive() && VaComm->IsOpen())
        SysTimer->start();
    LogAppend(PacketLine(chunk));
    if (m_treat)
        m_answerer.CaptureBytes(chunk.data(), chunk.size());
}

// ---------------------------------------------------------------- sends

void TConsole::ReportWriteError() {
    LogAddLine("Error writing to: " + ("Port " + std::to_string(VaComm->PortNum())));
}

bool TConsole::WriteOrReport(const std::string& Text) {
    if (Transferring()) {
        m_held.push_back(Text);
        LogAddLine("Held until the file is sent: " + std::to_string(Text.size()) + " bytes");
        return true;
    }
    if (VaComm->WriteText(Text))
        return true;
    ReportWriteError();
    return false;
}

void TConsole::SendLine(const std::string& Text) {
    if (m_showSent)
        ShowSentLine(Text);
    WriteOrReport(Text + "\r\n");
}

void TConsole::SendBreak() {
    // The break lasts a quarter of a second, as a modem expects it.
    VaComm->CommFunction(SETBREAK);
    QTimer::singleShot(250, this, [this] { Guarded([this] { VaComm->CommFunction(CLRBREAK); }); });
}

bool TConsole::SendFile(const TTransferParams& Params) {
    if (Transferring() || !VaComm->IsOpen())
        return false;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    m_transfer = std::make_unique<TFileTransfer>(
        Params, TTransferLink{
                    .Write = [this](const std::string& S) { return VaComm->WriteText(S); },
                    .Pending = [this] { return static_cast<size_t>(VaComm->WriteCount()); },
                    .NowUs = [clock] { return static_cast<int64_t>(clock->nsecsElapsed() / 1000); },
                });
    m_transfer->OnProgress = [this](uint64_t Sent, uint64_t Total) {
        emit TransferProgress(Sent, Total);
    };
    m_transfer->OnFinished = [this](const TTransferResult& R) { TransferFinished(R); };
    const QFileInfo file(QString::fromStdString(Params.Path));
    LogAddLine(TransferStartLine(file.fileName().toStdString(), file.size(), Params.Protocol));
    emit TransferStarted(file.fileName(), file.size());
    m_transferTimer->start();
    m_transfer->Start(); // an unreadable file ends it here already
    return true;
}

void TConsole::CancelTransfer() {
    if (Transferring())
        m_transfer->Cancel();
}

void TConsole::TransferFinished(const TTransferResult& Result) {
    m_transferTimer->stop();
    LogAddLine(TransferEndLine(Result));
    emit TransferEnded();
    // The transfer calls this from inside itself: it goes once it has returned.
    QTimer::singleShot(0, this, [this] {
        if (m_transfer && !m_transfer->Running())
            m_transfer.reset();
    });
    // What came meanwhile goes now, in order.
    std::vector<std::string> held;
    held.swap(m_held);
    if (!held.empty())
        LogAddLine("Sending " + std::to_string(held.size()) + " held after the file");
    for (const std::string& text : held)
        WriteOrReport(text); // the transfer has ended: nothing is held again
}

std::string TConsole::ScriptsDir() {
    const QString dir = QString::fromStdString(VaConfigDir() + "/tevro-console/scripts");
    QDir().mkpath(dir);
    return dir.toStdString();
}

bool TConsole::RunScript(const std::string& Path) {
    if (!m_chat.Start(Path))
        return false;
    emit ScriptStarted(QFileInfo(QString::fromStdString(Path)).fileName());
    return true;
}

void TConsole::SendKey(int Key, const std::string& Line) {
    switch (Key) {
    case 13:
        SendLine(Line);
        break;
    case 24:
    case 27:
    case '+':
        WriteOrReport(std::string(1, static_cast<char>(Key)));
        break;
    default:
        break;
    }
}

void TConsole::AnswerRequest() {
    Guarded([this] {
        m_answerer.AnswerRequest([this](const std::string& S) { return VaComm->WriteText(S); },
                                 [this] { ReportWriteError(); });
    });
}

// ---------------------------------------------------------------- UDP

void TConsole::SetActivation(bool On, int Port) {
    if (On)
        UDPServer->SetDefaultPort(Port);
    UDPServer->SetActive(On);
}

void TConsole::SendDatagram(const std::string& Host, int Port, const std::string& Data) {
    UDPServer->Send(Host, Port, Data);
}

void TConsole::UDPServerUDPRead(TIdUDPServer*, const std::string& AData,
                                TIdSocketHandle& ABinding) {
    if (m_stopping)
        return; // the window is going: the datagram is dropped quietly
    const std::string& s = AData;
    emit RemoteChanged(QString::fromStdString(ABinding.SenderIP),
                       QString::number(ABinding.SenderPort));
    LogAddLine("");
    const TDatagramText shown = DatagramText(s);
    if (shown.Activation) {
        // The activation line replaces the log. A relay refused by an open port (its device
        // has gone) is reported after it, once, so the report stays in the log and a capture
        // file gets it once; on a closed port the report goes before and the activation line
        // stays alone.
        const std::string line = "Activation " + DateTimeStamp();
        if (VaComm->IsOpen()) {
            LogSetText(line);
            WriteOrReport(s);
        } else {
            WriteOrReport(s);
            LogSetText(line);
        }
        return;
    }
    if (!shown.Line.empty())
        LogAppend(shown.Line);
    if (shown.Ssi)
        LogAppend(" >>> " + DateTimeStamp());
    if (shown.Hello)
        LogAppend(" >>> " + ABinding.SenderIP + "  " + DateTimeStamp());
    if (shown.Imei)
        LogAppend(" >>> " + DateTimeStamp());
}
