// The console without its window: the serial port, the UDP endpoint, the log's text, the mode,
// the status timer, what is shown of what arrives, the responder hand-off and the relay. The
// window forwards clicks and keys here and shows what the signals tell it.
#pragma once

#include "ChatSession.h"
#include "ConsoleLog.h"
#include "FileTransfer.h"
#include "IdUDPServer.h"
#include "VaComm.h"
#include "uThread.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTimer;
class TDeviceWatch;

class TConsole : public QObject {
    Q_OBJECT
public:
    explicit TConsole(QObject* Parent = nullptr);
    ~TConsole() override;

    // What the window's creation does beyond its widgets: the line settings (8N1, port
    // closed), an empty capture buffer and the responder thread started.
    void Start();
    // What closing the window does: stops the responder (serving its pending main-thread
    // call) and closes the port. Datagrams that come after it are dropped.
    void Stop();
    bool Stopping() const { return m_stopping; }

    // Components.
    std::unique_ptr<TVaComm> VaComm;
    std::unique_ptr<TIdUDPServer> UDPServer;
    QTimer* SysTimer;
    TAnswerer& Answerer() { return m_answerer; }
    TUserThread* Responder() { return m_responder.get(); }

    // The log.
    TConsoleLog& Log() { return m_log; }
    void LogAppend(const std::string& Text);
    void LogAddLine(const std::string& Text);
    void LogSetText(const std::string& Text);
    std::string LogGetText() const { return std::string(m_log.Text()); }
    // ByDevice: a screen clear the device asked for (a capture file marks it), not "Clean".
    void LogClear(bool ByDevice = true);
    // Off at start. On: each line the log receives from then on starts with the local time,
    // "HH:MM:SS.mmm ".
    void SetTimestamps(bool On) { m_timestamps = On; }
    bool Timestamps() const { return m_timestamps; }
    // Off at start. On: each line sent from the command line, a preset or a script shows in
    // the log as a line of its own, "> " and the line.
    void SetShowSent(bool On) { m_showSent = On; }
    bool ShowSent() const { return m_showSent; }

    // Mode and the receive options: 0 Direct, 1 Packet.
    int PacketMode() const { return m_packetMode; }
    void SetPacketMode(int Mode) { m_packetMode = Mode; }
    void SetTreat(bool On) { m_treat = On; }
    void SetScreen(bool On) { m_screen = On; }
    // Whether the window is shown (not minimised): the port may follow unseen lines less often.
    void SetShown(bool Shown);

    // The port: closes it and opens PortNum at Baud; what fails is raised.
    void OpenPort(int PortNum, int Baud);
    void ClosePort();
    void SetDTR(bool On);
    void SetRTS(bool On);
    // Off at the first start, then as the technician last left it (SavedReopen). On: a device
    // that goes is said in one log line instead of a box, and is waited for; when the device
    // behind the same COM entry is back, the port opens again with the same settings. CLOSE
    // and OPEN end the waiting. Either way the lost device's descriptor is given back at once.
    void SetReopen(bool On);
    bool Reopen() const { return m_reopen; }
    static bool SavedReopen();
    static void SaveReopen(bool On);
    bool WaitingForDevice() const { return m_waiting; }

    // Sends. Every send goes through WriteOrReport: a refused write is reported in the log.
    bool WriteOrReport(const std::string& Text);
    void ReportWriteError();
    // The command line (Cp1251 bytes) with CR LF.
    void SendLine(const std::string& Text);
    // A key of the command line: Enter sends the line with CR LF; Ctrl+X, Esc and "+" go
    // at once as their own byte; other keys send nothing.
    void SendKey(int Key, const std::string& Line);
    // A break on the line for a quarter of a second.
    void SendBreak();

    // Chat scripts on the open port, in any mode: the folder of the technician's usual ones
    // (made at first use), a run that refuses a bad script with one log line, and the stop.
    static std::string ScriptsDir();
    bool RunScript(const std::string& Path);
    void StopScript() { m_chat.Stop(); }
    const TChatSession& Script() const { return m_chat; }

    // Sending a file to the device. While it runs, what the device sends goes to the transfer
    // alone (not shown, not answered), and every other send is held and goes out, in order,
    // right after it ends. False when a transfer runs already or the port is closed.
    bool SendFile(const TTransferParams& Params);
    void CancelTransfer();
    bool Transferring() const { return m_transfer && m_transfer->Running(); }

    // UDP: starts or stops listening on Port; sends Data to Host:Port.
    void SetActivation(bool On, int Port);
    void SendDatagram(const std::string& Host, int Port, const std::string& Data);

    // Event handlers of the components, named after the component and the event.
    void VaCommOpen(TVaCustomComm* Sender);
    void VaCommClose(TVaCustomComm* Sender);
    // Reads the Count bytes announced, once, and shows them as the mode says.
    void VaCommRxChar(TVaCustomComm* Sender, int Count);
    void SysTimerTimer();
    void ShowModemLines();
    void UDPServerUDPRead(TIdUDPServer* Sender, const std::string& AData,
                          TIdSocketHandle& ABinding);
    // One responder step: answers the next request in the capture buffer.
    void AnswerRequest();

signals:
    // The log's text grew from OldSize on, was replaced, or was emptied.
    void LogAppended(size_t OldSize);
    void LogReplaced();
    void LogCleared(bool ByDevice);
    // The port opened (its number) or closed.
    void PortOpened(int PortNum);
    void PortClosed();
    // The port's device has gone, and the console waits for it to come back.
    void PortWaiting(int PortNum);
    // The console drove a line; the window ticks its box as the technician would.
    void DtrDriven(bool On);
    void RtsDriven(bool On);
    // The modem input lines as MS_ bits.
    void ModemLinesRead(uint32_t Lines);
    // The sender of the latest datagram: the remote host and port for "To Sock".
    void RemoteChanged(const QString& Host, const QString& Port);
    // A script started, or ended (its outcome is in the log).
    void ScriptStarted(const QString& Name);
    void ScriptEnded();
    // A file transfer started, moved on (bytes of the file acknowledged) or ended.
    void TransferStarted(const QString& FileName, quint64 Total);
    void TransferProgress(quint64 Sent, quint64 Total);
    void TransferEnded();

private:
    // Called in a catch block: rethrows the port failure being handled unless a lasting one
    // has already been shown.
    void ReportPortFailureOnce();
    // Called in a catch block: a device that has gone is given up (and waited for, when asked
    // to); any other failure is reported once.
    void PortFailed();
    // Opens the port again if the COM entry's device is there; else waits on.
    void TryReopen();
    void StopWaiting();
    // Every change of the log's text goes through here: Raw is appended as it is, or with the
    // time at the start of each line while timestamps are on.
    void AppendToLog(const std::string& Raw);
    void ShowSentLine(const std::string& Line);
    bool AtLineStart() const;

    TConsoleLog m_log;
    TAnswerer m_answerer;
    std::unique_ptr<TUserThread> m_responder;
    int m_packetMode = 0;
    bool m_treat = false;
    bool m_screen = false;
    bool m_modemErrorReported = false; // a lasting port failure shown (status timer or read)
    bool m_stopping = false;
    bool m_timestamps = false;
    bool m_showSent = false;
    bool m_lastWasCr = false; // the last byte given to the log was a CR
    bool m_dcd = false;       // the carrier as last read, for a script's hang-up
    bool m_reopen = false;
    bool m_waiting = false;     // for a lost device to come back
    bool m_lossHandled = false; // the open port's loss has been dealt with
    int m_reopenTries = 0;      // left, after the last sign of the device
    TDeviceWatch* m_watch;
    QTimer* m_reopenRetry;
    TChatSession m_chat;
    std::unique_ptr<TFileTransfer> m_transfer;
    QTimer* m_transferTimer;
    std::vector<std::string> m_held; // sends that came during a transfer
    void TransferFinished(const TTransferResult& Result);
};
