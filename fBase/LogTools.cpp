#include "LogTools.h"

#include "ConsoleLog.h"
#include "Cp1251.h"
#include "LogText.h"
#include "LogView.h"
#include "Thread.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QShortcut>

const char* const TLogTools::ScreenClearMarker = "----- screen cleared -----";

namespace {
// A progress indication appears only for a save that takes longer than this.
constexpr int ProgressAfterMs = 500;
// Capture hands its text to the disk at least this often.
constexpr int CaptureFlushMs = 250;
} // namespace

// Saves a copy of the log on a thread of its own; the window looks at its counters.
class TLogTools::TSaveJob : public TThread {
public:
    TSaveJob(std::shared_ptr<const char> Text, size_t Size, std::string Path)
        : Text(std::move(Text)), Size(Size), Path(std::move(Path)) {}
    ~TSaveJob() override { WaitFor(); } // a save is not cut short: it ends in a whole file
    const std::shared_ptr<const char> Text;
    const size_t Size;
    const std::string Path;
    std::atomic<size_t> Done{0};
    bool Ok = false;
    std::string Error; // read after Finished()

protected:
    void Execute() override { Ok = SaveLogAsUtf8({Text.get(), Size}, Path, &Done, Error); }
};

TFindBox::TFindBox(QWidget* Parent) : QDialog(Parent, Qt::Tool) {
    setWindowTitle(tr("Find"));
    setModal(false);
    Text = new QLineEdit(this);
    MatchCase = new QCheckBox(tr("Match case"), this);
    Status = new QLabel(this);
    auto* next = new QPushButton(tr("Find next"), this);
    auto* previous = new QPushButton(tr("Find previous"), this);
    next->setDefault(true); // Enter
    next->setAutoDefault(true);
    previous->setAutoDefault(false);
    auto* grid = new QGridLayout(this);
    grid->addWidget(Text, 0, 0, 1, 2);
    grid->addWidget(next, 0, 2);
    grid->addWidget(MatchCase, 1, 0);
    grid->addWidget(Status, 1, 1);
    grid->addWidget(previous, 1, 2);
    connect(next, &QPushButton::clicked, this, [this] { emit Find(false); });
    connect(previous, &QPushButton::clicked, this, [this] { emit Find(true); });
    connect(new QShortcut(QKeySequence(Qt::Key_F3), this), &QShortcut::activated, this,
            [this] { emit Find(false); });
    connect(new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this), &QShortcut::activated, this,
            [this] { emit Find(true); });
}

TLogTools::TLogTools(TConsoleLog& Log, TLogView* View, QWidget* Window,
                     std::function<void(const QString&)> Warn)
    : QObject(Window), m_log(Log), m_view(View), m_window(Window), m_warn(std::move(Warn)),
      m_folder(QDir::homePath()) {
    auto action = [this](const QString& Text, QKeySequence Keys) {
        auto* a = new QAction(Text, m_view);
        a->setShortcut(Keys);
        a->setShortcutContext(Qt::WidgetShortcut); // while the log has the focus
        m_view->addAction(a);
        return a;
    };
    FindAction = action(QString::fromUtf8("Find\u2026"), QKeySequence::Find);
    SaveAction = action(QString::fromUtf8("Save log as\u2026"), QKeySequence::Save);
    CaptureAction = action(QString::fromUtf8("Capture to file\u2026"), {});
    CaptureAction->setCheckable(true);
    FindNextAction = action(tr("Find next"), QKeySequence(Qt::Key_F3));
    FindPreviousAction = action(tr("Find previous"), QKeySequence(Qt::SHIFT | Qt::Key_F3));
    m_view->AddMenuActions({FindAction, SaveAction, CaptureAction});

    connect(FindAction, &QAction::triggered, this, &TLogTools::ShowFindBox);
    connect(SaveAction, &QAction::triggered, this, &TLogTools::ChooseAndSave);
    connect(CaptureAction, &QAction::triggered, this, &TLogTools::ChooseAndCapture);
    connect(FindNextAction, &QAction::triggered, this, [this] { Find(false); });
    connect(FindPreviousAction, &QAction::triggered, this, [this] { Find(true); });
    m_saveTimer.setInterval(20);
    connect(&m_saveTimer, &QTimer::timeout, this, &TLogTools::SaveTick);
    m_captureTimer.setInterval(CaptureFlushMs);
    connect(&m_captureTimer, &QTimer::timeout, this, &TLogTools::CaptureTick);
}

TLogTools::~TLogTools() {
    std::string ignored;
    m_capture.Close(ignored); // what was captured reaches the file when the window goes
    m_save.reset();           // waits for a save in progress
}

// ---------------------------------------------------------------- changes of the log

void TLogTools::Appended(size_t OldSize) {
    if (m_capture.Active() && m_log.Size() > OldSize)
        m_capture.Append(m_log.Text().data() + OldSize, m_log.Size() - OldSize);
}

void TLogTools::Cleared(bool Marker) {
    if (!m_capture.Active())
        return;
    // What comes next starts the emptied log, so it starts a line in the file too.
    m_capture.StartLine();
    if (!Marker)
        return;
    const std::string line = std::string(ScreenClearMarker) + "\r\n";
    m_capture.Append(line.data(), line.size());
}

void TLogTools::Replaced() {
    if (!m_capture.Active())
        return;
    m_capture.StartLine();
    m_capture.Append(m_log.Text().data(), m_log.Size());
}

// ---------------------------------------------------------------- files

QString TLogTools::AskFileName(const QString& Caption) {
    const QString name = QDir(m_folder).filePath(
        "tevro-log-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss") + ".txt");
    // The toolkit's own dialog: the same everywhere, and typing a full path into it works.
    const QString path = QFileDialog::getSaveFileName(m_window, Caption, name,
                                                      tr("Text files (*.txt);;All files (*)"),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty())
        m_folder = QFileInfo(path).absolutePath();
    return path;
}

void TLogTools::ChooseAndSave() {
    if (m_save)
        return; // one save at a time
    const QString path = AskFileName(tr("Save log as"));
    if (!path.isEmpty())
        StartSave(path);
}

void TLogTools::StartSave(const QString& Path) {
    if (m_save)
        return;
    // The log's text as it is now: it may grow, move or be emptied while the file is written.
    m_save = std::make_unique<TSaveJob>(m_log.Share(), m_log.Size(), Path.toStdString());
    m_save->Start();
    SaveAction->setEnabled(false);
    m_saveClock.start();
    m_saveTimer.start();
}

void TLogTools::SaveTick() {
    if (!m_save)
        return;
    const size_t total = std::max<size_t>(1, m_save->Size);
    if (!m_save->Finished()) {
        if (!m_progress && m_saveClock.elapsed() >= ProgressAfterMs) {
            m_progress =
                new QProgressDialog(tr("Saving the log\u2026"), QString(), 0, 1000, m_window);
            m_progress->setWindowTitle(tr("Save log as"));
            m_progress->setMinimumDuration(0);
            m_progress->setAttribute(Qt::WA_DeleteOnClose);
            m_progress->show();
        }
        if (m_progress)
            m_progress->setValue(static_cast<int>(1000.0 * m_save->Done.load() / total));
        return;
    }
    m_saveTimer.stop();
    std::unique_ptr<TSaveJob> job = std::move(m_save);
    job->WaitFor();
    SaveAction->setEnabled(true);
    if (m_progress)
        m_progress->close();
    if (!job->Ok)
        m_warn(tr("The log could not be saved to %1:\n%2")
                   .arg(QString::fromStdString(job->Path), QString::fromStdString(job->Error)));
}

void TLogTools::ChooseAndCapture(bool On) {
    if (!On) {
        StopCapture();
        return;
    }
    const QString path = AskFileName(tr("Capture to file"));
    if (path.isEmpty()) {
        const QSignalBlocker block(CaptureAction);
        CaptureAction->setChecked(false);
        return;
    }
    StartCapture(path);
}

void TLogTools::StartCapture(const QString& Path) {
    std::string error;
    const bool ok = m_capture.Open(Path.toStdString(), error);
    {
        const QSignalBlocker block(CaptureAction);
        CaptureAction->setChecked(ok);
    }
    if (!ok) {
        m_warn(tr("Capture to %1 could not start:\n%2").arg(Path, QString::fromStdString(error)));
        return;
    }
    m_captureTimer.start();
}

void TLogTools::StopCapture() {
    m_captureTimer.stop();
    {
        const QSignalBlocker block(CaptureAction);
        CaptureAction->setChecked(false);
    }
    if (!m_capture.Active())
        return;
    const QString path = QString::fromStdString(m_capture.Path());
    // A failure the tick has reported has also closed the capture: this one is news.
    std::string error;
    if (!m_capture.Close(error))
        m_warn(tr("Capture to %1 failed:\n%2").arg(path, QString::fromStdString(error)));
}

void TLogTools::CaptureTick() {
    if (!m_capture.Active())
        return;
    m_capture.Flush();
    if (auto failure = m_capture.TakeFailure()) {
        // Off first, so that the message is given once while its box is open.
        const QString path = QString::fromStdString(m_capture.Path());
        m_captureTimer.stop();
        std::string ignored;
        m_capture.Close(ignored);
        const QSignalBlocker block(CaptureAction);
        CaptureAction->setChecked(false);
        m_warn(tr("Capture to %1 stopped:\n%2").arg(path, QString::fromStdString(*failure)));
    }
}

// ---------------------------------------------------------------- find

void TLogTools::ShowFindBox() {
    if (!m_findBox) {
        m_findBox = new TFindBox(m_window);
        connect(m_findBox, &TFindBox::Find, this, [this](bool Backward) { Find(Backward); });
        // Over the log's top right corner: a match is shown a third of the way down.
        m_findBox->adjustSize();
        const QPoint corner = m_view->mapToGlobal(QPoint(m_view->width(), 0));
        m_findBox->move(corner.x() - m_findBox->width() - 24, corner.y() + 4);
    }
    // A short selection on one line is what the operator wants to find.
    const size_t b = m_view->SelectionStart(), e = m_view->SelectionEnd();
    if (e > b && e - b <= 200) {
        const std::string_view s = m_log.Text().substr(b, e - b);
        if (s.find_first_of("\r\n") == std::string_view::npos)
            m_findBox->Text->setText(Cp1251ToQString(s.data(), s.size()));
    }
    m_findBox->show();
    m_findBox->raise();
    m_findBox->activateWindow();
    m_findBox->Text->setFocus(Qt::OtherFocusReason);
    m_findBox->Text->selectAll();
}

bool TLogTools::Find(bool Backward) {
    if (!m_findBox || m_findBox->Text->text().isEmpty()) {
        ShowFindBox();
        return false;
    }
    const std::string needle = QStringToCp1251(m_findBox->Text->text());
    const bool matchCase = m_findBox->MatchCase->isChecked();
    const std::string_view text = m_log.Text();
    size_t from = Backward ? m_view->SelectionStart() : m_view->SelectionEnd();
    size_t at = FindInLog(text, needle, from, Backward, matchCase);
    bool wrapped = false;
    if (at == std::string_view::npos) {
        // Round the end to the other side, as far as where this search began.
        at = FindInLog(text, needle, Backward ? text.size() : 0, Backward, matchCase);
        wrapped = at != std::string_view::npos;
    }
    if (at == std::string_view::npos) {
        m_findBox->Status->setText(tr("Not found"));
        return false;
    }
    m_findBox->Status->setText(wrapped ? tr("Wrapped") : QString());
    m_view->SelectAndShow(at, at + needle.size());
    return true;
}
