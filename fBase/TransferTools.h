// "Send file…" in the log's menu: the dialog that chooses the file, the protocol and the pause
// after each line end, and the progress dialog with the bytes sent, the rate, the time left and
// Cancel.
#pragma once

#include "FileTransfer.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>

class QAction;
class QComboBox;
class QLineEdit;
class QProgressDialog;
class QSpinBox;
class TConsole;
class TLogView;

// The file, the protocol and Plain's pause after each line end.
class TSendFileBox : public QDialog {
    Q_OBJECT
public:
    explicit TSendFileBox(QWidget* Parent);
    QLineEdit* File;
    QComboBox* Protocol;
    QSpinBox* LinePause;
    TTransferParams Params() const;
};

class TTransferTools : public QObject {
    Q_OBJECT
public:
    TTransferTools(TConsole& Console, TLogView* View, QWidget* Window);
    QAction* SendAction;
    QProgressDialog* Progress() const { return m_progress; }

private:
    void Choose();
    void ShowProgress(quint64 Sent, quint64 Total);

    TConsole& m_console;
    QWidget* m_window;
    QPointer<QProgressDialog> m_progress;
    QElapsedTimer m_clock;
};
