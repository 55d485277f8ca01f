#include "TransferTools.h"

#include "ConsoleCore.h"
#include "LogView.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>

TSendFileBox::TSendFileBox(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(tr("Send file"));
    auto* form = new QFormLayout(this);
    File = new QLineEdit(this);
    auto* browse = new QPushButton(QString::fromUtf8("Browse\u2026"), this);
    auto* row = new QHBoxLayout;
    row->addWidget(File);
    row->addWidget(browse);
    form->addRow(tr("File:"), row);
    Protocol = new QComboBox(this);
    for (auto p : {TTransferProtocol::Xmodem1K, TTransferProtocol::Xmodem,
                   TTransferProtocol::Ymodem, TTransferProtocol::Plain})
        Protocol->addItem(TransferProtocolName(p), static_cast<int>(p));
    form->addRow(tr("Protocol:"), Protocol);
    LinePause = new QSpinBox(this);
    LinePause->setRange(0, 10000);
    LinePause->setSuffix(" ms");
    form->addRow(tr("Pause after each line (plain):"), LinePause);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Send"));
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, [this] {
        // The toolkit's own dialog: the same everywhere, and typing a full path into it works.
        const QString path = QFileDialog::getOpenFileName(
            this, tr("Send file"), File->text(), {}, nullptr, QFileDialog::DontUseNativeDialog);
        if (!path.isEmpty())
            File->setText(path);
    });
    setMinimumWidth(420);
}

TTransferParams TSendFileBox::Params() const {
    TTransferParams p;
    p.Path = File->text().toStdString();
    p.Protocol = static_cast<TTransferProtocol>(Protocol->currentData().toInt());
    p.LinePauseMs = LinePause->value();
    return p;
}

TTransferTools::TTransferTools(TConsole& Console, TLogView* View, QWidget* Window)
    : QObject(Window), m_console(Console), m_window(Window) {
    SendAction = new QAction(QString::fromUtf8("Send file\u2026"), View);
    SendAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U));
    SendAction->setShortcutContext(Qt::WidgetShortcut); // while the log has the focus
    View->addAction(SendAction);
    View->AddMenuActions({SendAction});
    connect(SendAction, &QAction::triggered, this, &TTransferTools::Choose);

    connect(&m_console, &TConsole::TransferStarted, this, [this](const QString& Name, quint64) {
        m_clock.start();
        m_progress =
            new QProgressDialog(tr("Sending %1").arg(Name), tr("Cancel"), 0, 1000, m_window);
        m_progress->setWindowTitle(tr("Send file"));
        m_progress->setAttribute(Qt::WA_DeleteOnClose);
        m_progress->setAutoClose(false);
        m_progress->setAutoReset(false);
        m_progress->setMinimumDuration(0);
        connect(m_progress, &QProgressDialog::canceled, &m_console, &TConsole::CancelTransfer);
        m_progress->show();
    });
    connect(&m_console, &TConsole::TransferProgress, this, &TTransferTools::ShowProgress);
    connect(&m_console, &TConsole::TransferEnded, this, [this] {
        if (m_progress) {
            // Cancel is the user's; the end closes the box without it.
            disconnect(m_progress, &QProgressDialog::canceled, &m_console,
                       &TConsole::CancelTransfer);
            m_progress->close();
        }
    });
}

void TTransferTools::Choose() {
    if (m_console.Transferring())
        return;
    TSendFileBox box(m_window);
    if (box.exec() != QDialog::Accepted || box.File->text().isEmpty())
        return;
    m_console.SendFile(box.Params());
}

void TTransferTools::ShowProgress(quint64 Sent, quint64 Total) {
    if (!m_progress)
        return;
    const double seconds = std::max<qint64>(m_clock.elapsed(), 1) / 1000.0;
    const double rate = Sent / seconds;
    QString left = "-";
    if (rate > 0 && Total >= Sent)
        left = QString::number((Total - Sent) / rate, 'f', 0) + " s";
    m_progress->setValue(Total ? static_cast<int>(Sent * 1000 / Total) : 1000);
    m_progress->setLabelText(tr("%1 of %2 bytes, %3 KB/s, %4 left")
                                 .arg(Sent)
                                 .arg(Total)
                                 .arg(rate / 1024, 0, 'f', 1)
                                 .arg(left));
}
