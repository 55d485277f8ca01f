// The log menu's entries for scripts and what the log shows: "Run script…", the "Scripts"
// submenu of the technician's usual scripts, the small window that follows a running script
// with its Stop button, and the "Timestamps" and "Show what is sent" ticks.
#pragma once

#include <QDialog>
#include <QObject>
#include <QTimer>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class TConsole;
class TLogView;

// Follows a running script: its name, the step it is on and how long it has waited.
class TScriptBox : public QDialog {
    Q_OBJECT
public:
    explicit TScriptBox(QWidget* Parent);
    QLabel *Name, *Step, *Waited;
    QPushButton* Stop;
};

class TScriptTools : public QObject {
    Q_OBJECT
public:
    TScriptTools(TConsole& Console, TLogView* View, QWidget* Window);

    QAction *RunAction, *ScriptsAction, *TimestampsAction, *ShowSentAction;
    TScriptBox* Box() const { return m_box; }
    // Runs a script file as the menu would; false when it was refused or one runs already.
    bool Run(const QString& Path);

private:
    void ChooseAndRun();
    void FillScriptsMenu();
    void ShowProgress();

    TConsole& m_console;
    QWidget* m_window;
    QMenu* m_scripts;
    TScriptBox* m_box;
    QTimer m_progressTimer;
};
