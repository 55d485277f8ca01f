// The command line's caret rests: it stops blinking after a while without keyboard or mouse
// input in the window, and blinks again at the next input. A blinking caret wakes the program
// and repaints twice a second for nobody.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>

class QWidget;

class TCaretRest : public QObject {
public:
    // GTK desktops stop the caret after 10 s without input; so does this window.
    static constexpr std::chrono::milliseconds kDefaultAfter{10000};
    explicit TCaretRest(QWidget* Window, std::chrono::milliseconds After = kDefaultAfter);
    ~TCaretRest() override;
    // How long without input before the caret rests; counted from now.
    void SetAfter(std::chrono::milliseconds After);
    bool Resting() const { return m_resting; }

protected:
    bool eventFilter(QObject* Watched, QEvent* E) override;

private:
    void Due();
    void Rest(bool On);
    QWidget* m_window;
    std::chrono::milliseconds m_after;
    QElapsedTimer m_sinceInput;
    // Single-shot: an input only notes its time, and the timer, when due, looks again.
    QTimer m_timer;
    int m_flashTime; // the desktop's blink period, given back at the next input
    bool m_resting = false;
};
