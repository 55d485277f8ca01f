// What the operator does with the log beyond reading it: find in it, save it as a file, and
// capture it to a file as it grows. Reached through the log's context menu and shortcuts; the
// window only tells this object when the log changes.
#pragma once

#include "LogCapture.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressDialog;
class TConsoleLog;
class TLogView;

// The small find box: text, match case, next and previous. It stays open beside the window.
class TFindBox : public QDialog {
    Q_OBJECT
public:
    explicit TFindBox(QWidget* Parent);
    QLineEdit* Text;
    QCheckBox* MatchCase;
    QLabel* Status;
signals:
    void Find(bool Backward);
};

class TLogTools : public QObject {
    Q_OBJECT
public:
    // Warn shows a message to the operator.
    TLogTools(TConsoleLog& Log, TLogView* View, QWidget* Window,
              std::function<void(const QString&)> Warn);
    ~TLogTools() override;

    // From the window's log operations: the log grew from OldSize; it was emptied (Marker:
    // by the device's screen clear, not by the operator's "Clean"); its text was replaced.
    void Appended(size_t OldSize);
    void Cleared(bool Marker);
    void Replaced();

    // The menu's and the shortcuts' actions.
    QAction *FindAction, *SaveAction, *CaptureAction, *FindNextAction, *FindPreviousAction;

    // What the actions do once a file is chosen; also for tests, which cannot answer dialogs.
    void StartSave(const QString& Path);
    bool Saving() const { return m_save != nullptr; }
    void StartCapture(const QString& Path);
    void StopCapture();
    bool Capturing() const { return m_capture.Active(); }
    // Shows the find box; finds the box's text from the selection on.
    void ShowFindBox();
    bool Find(bool Backward);
    TFindBox* FindBox() const { return m_findBox; }
    // The line the file gets where the device's screen clear emptied the log.
    static const char* const ScreenClearMarker;

private:
    class TSaveJob;
    void ChooseAndSave();
    void ChooseAndCapture(bool On);
    void SaveTick();
    void CaptureTick();
    QString AskFileName(const QString& Caption);

    TConsoleLog& m_log;
    TLogView* m_view;
    QWidget* m_window;
    std::function<void(const QString&)> m_warn;
    QPointer<TFindBox> m_findBox;

    std::unique_ptr<TSaveJob> m_save;
    QTimer m_saveTimer;
    QElapsedTimer m_saveClock;
    QPointer<QProgressDialog> m_progress;
    QString m_folder;

    TLogCapture m_capture;
    QTimer m_captureTimer;
};
