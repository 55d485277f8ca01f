// The console's one window: its controls, their handlers and the console log.
#pragma once

#include "ConsoleCore.h"
#include "Look.h"

#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QDateTime;
class QLocale;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class TCaretRest;
class TCommandHistoryKeys;
class TLogTools;
class TLogView;
class TScriptTools;
class TStatusBar;
class TTransferTools;

class TBaseform : public QWidget {
    Q_OBJECT
public:
    explicit TBaseform(QWidget* Parent = nullptr);
    ~TBaseform() override;

    // The console log.
    void LogAppend(const std::string& Text);
    void LogAddLine(const std::string& Text);
    void LogSetText(const std::string& Text);
    std::string LogGetText() const;
    size_t LogSize() const { return Console->Log().Size(); }
    void LogClear();

    // The application's handler of errors that no handler caught.
    void AppException(std::exception_ptr E);
    // Find, save and capture of the log; the command line's history.
    TLogTools& LogTools() { return *m_logTools; }
    TCommandHistoryKeys& CommandHistory() { return *m_historyKeys; }
    TScriptTools& ScriptTools() { return *m_scriptTools; }
    TTransferTools& TransferTools() { return *m_transferTools; }
    TCaretRest& CaretRest() { return *m_caretRest; }
    // Shows a serial error; replaced by tests, which cannot answer a modal box.
    std::function<void(const QString& Title, const QString& Text)> ShowMessageBox;

    void ReportWriteError();

    // Handlers, named after their control and event.
    void RButDirectClick();
    void RButPackClick();
    void BtSetClick();
    void ComboPortNumChange();
    void ComboBaudrateChange();
    void BtnOpenClick();
    void BtnCloseClick();
    void ChBxDTRClick();
    void ChBxRTSClick();
    void ButtonResetClick();
    void SysTimerTimer();
    void VaCommRxChar(TVaCustomComm* Sender, int Count);
    void BtTransmitClick();
    void EdCmdLnKeyPress(int Key);
    void SendPreset(int Index);
    void ChBxActivClick();
    void BtnETXClick();
    void UDPServerUDPRead(TIdUDPServer* Sender, const std::string& AData,
                          TIdSocketHandle& ABinding);

    // Packet mode flag: 0 Direct, 1 Packet (kept in the Tag of "Packet Com").
    int RButPackTag = 0;

    // Controls.
    QWidget *vPanel, *sPanel, *iPanel;
    TLogView* MemMess;
    QGroupBox *GrBxInit, *GroupBox1, *GrBxSet, *GrBxCmdLn;
    QRadioButton *RButPack, *RButDirect;
    QPushButton* BtSet;
    QCheckBox *ChBxTreat, *ScrChBx, *ChBxActiv, *ChBxDTR, *ChBxRTS;
    QLabel *LHostName, *LHostAddress, *LPort, *LBufferSize, *LRemHost, *Label1;
    QLineEdit *EdPort, *edtHost, *edtPort, *EdCmdLn;
    QPushButton* Presets[12];
    TStatusBar* StatusBar;
    QComboBox *ComboPortNum, *ComboBaudrate;
    QPushButton *BtnOpen, *BtnClose, *BtTransmit, *BtnETX, *ButtonReset;

    // The console this window shows, and its components under the names the window's
    // handlers use.
    std::unique_ptr<TConsole> Console;
    std::unique_ptr<TVaComm>& VaComm;
    std::unique_ptr<TIdUDPServer>& UDPServer;
    QTimer* SysTimer;

    // The twelve preset commands: caption and the text sent (without its CR LF).
    struct TPreset {
        const char* Name;
        const char* Caption;
        const char* Command;
    };
    static const TPreset PresetTable[12];

protected:
    void closeEvent(QCloseEvent* E) override;
    bool eventFilter(QObject* Watched, QEvent* E) override;
    void changeEvent(QEvent* E) override;

private:
    void BuildControls();
    void LayoutPanels();
    void FormCreate();
    void FormClose();
    void FocusReturn();
    // Shows what the console tells: the log, the port's state and lines, the datagram sender.
    void ConnectConsole();
    void resizeEvent(QResizeEvent* E) override;

    std::unique_ptr<TLogTools> m_logTools; // after the console: it goes first
    TCommandHistoryKeys* m_historyKeys = nullptr;
    TScriptTools* m_scriptTools = nullptr;
    TTransferTools* m_transferTools = nullptr;
    TCaretRest* m_caretRest = nullptr;
    bool m_messageBoxOpen = false;
    bool m_closing = false;
};
