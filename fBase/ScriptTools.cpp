#include "ScriptTools.h"

#include "ConsoleCore.h"
#include "LogView.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

TScriptBox::TScriptBox(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(tr("Script"));
    auto* grid = new QGridLayout(this);
    Name = new QLabel(this);
    Step = new QLabel(this);
    Waited = new QLabel(this);
    Stop = new QPushButton(tr("Stop"), this);
    grid->addWidget(Name, 0, 0);
    grid->addWidget(Step, 1, 0);
    grid->addWidget(Waited, 2, 0);
    grid->addWidget(Stop, 3, 0, Qt::AlignRight);
    setMinimumWidth(320);
}

TScriptTools::TScriptTools(TConsole& Console, TLogView* View, QWidget* Window)
    : QObject(Window), m_console(Console), m_window(Window) {
    auto action = [&](const QString& Text, QKeySequence Keys, bool Checkable) {
        auto* a = new QAction(Text, View);
        a->setShortcut(Keys);
        a->setShortcutContext(Qt::WidgetShortcut); // while the log has the focus
        a->setCheckable(Checkable);
        View->addAction(a);
        return a;
    };
    RunAction =
        action(QString::fromUtf8("Run script\u2026"), QKeySequence(Qt::CTRL | Qt::Key_R), false);
    m_scripts = new QMenu(tr("Scripts"), Window);
    ScriptsAction = m_scripts->menuAction();
    TimestampsAction = action(tr("Timestamps"), QKeySequence(Qt::CTRL | Qt::Key_T), true);
    ShowSentAction = action(tr("Show what is sent"), {}, true);
    View->AddMenuActions({RunAction, ScriptsAction, TimestampsAction, ShowSentAction});

    connect(RunAction, &QAction::triggered, this, &TScriptTools::ChooseAndRun);
    connect(m_scripts, &QMenu::aboutToShow, this, &TScriptTools::FillScriptsMenu);
    connect(TimestampsAction, &QAction::toggled, this,
            [this](bool On) { m_console.SetTimestamps(On); });
    connect(ShowSentAction, &QAction::toggled, this,
            [this](bool On) { m_console.SetShowSent(On); });

    m_box = new TScriptBox(Window);
    connect(m_box->Stop, &QPushButton::clicked, this, [this] { m_console.StopScript(); });
    // Closing the box stops the script it follows: nothing runs unseen.
    connect(m_box, &QDialog::rejected, this, [this] { m_console.StopScript(); });
    m_progressTimer.setInterval(100);
    connect(&m_progressTimer, &QTimer::timeout, this, &TScriptTools::ShowProgress);
    connect(&m_console, &TConsole::ScriptStarted, this, [this](const QString& Name) {
        m_box->Name->setText(Name);
        ShowProgress();
        m_box->show();
        m_progressTimer.start();
    });
    connect(&m_console, &TConsole::ScriptEnded, this, [this] {
        m_progressTimer.stop();
        m_box->hide();
    });
}

bool TScriptTools::Run(const QString& Path) {
    return m_console.RunScript(Path.toStdString());
}

void TScriptTools::ChooseAndRun() {
    const QString path = QFileDialog::getOpenFileName(
        m_window, tr("Run script"), QString::fromStdString(TConsole::ScriptsDir()), {}, nullptr,
        QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty())
        Run(path);
}

void TScriptTools::FillScriptsMenu() {
    m_scripts->clear();
    const QDir dir(QString::fromStdString(TConsole::ScriptsDir()));
    const QStringList names = dir.entryList(QDir::Files | QDir::Readable, QDir::Name);
    if (names.isEmpty())
        m_scripts->addAction(tr("(no scripts in %1)").arg(dir.path()))->setEnabled(false);
    for (const QString& name : names)
        m_scripts->addAction(name, this, [this, path = dir.filePath(name)] { Run(path); });
}

void TScriptTools::ShowProgress() {
    const auto progress = m_console.Script().Progress();
    if (!progress)
        return;
    m_box->Step->setText(tr("Step %1 of %2: %3")
                             .arg(progress->Step + 1)
                             .arg(progress->Steps)
                             .arg(QString::fromStdString(progress->What)));
    m_box->Waited->setText(tr("Waiting %1 s").arg(progress->WaitedMs / 1000.0, 0, 'f', 1));
}
