#include "CaretRest.h"

#include <QApplication>
#include <QEvent>
#include <QStyleHints>
#include <QWidget>

TCaretRest::TCaretRest(QWidget* Window, std::chrono::milliseconds After)
    : QObject(Window), m_window(Window), m_after(After),
      m_flashTime(QGuiApplication::styleHints()->cursorFlashTime()) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { Due(); });
    qApp->installEventFilter(this);
    SetAfter(After);
}

TCaretRest::~TCaretRest() {
    Rest(false);
}

void TCaretRest::SetAfter(std::chrono::milliseconds After) {
    m_after = After;
    m_sinceInput.start();
    Rest(false);
    m_timer.start(m_after);
}

bool TCaretRest::eventFilter(QObject* Watched, QEvent* E) {
    switch (E->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        break;
    default:
        return false;
    }
    // Input reaches the window's widgets after its native window: count it once, there.
    const auto* w = qobject_cast<QWidget*>(Watched);
    if (!w || w->window() != m_window)
        return false;
    m_sinceInput.start();
    if (m_resting) {
        Rest(false);
        m_timer.start(m_after);
    }
    return false;
}

void TCaretRest::Due() {
    const auto quiet = std::chrono::milliseconds(m_sinceInput.elapsed());
    if (quiet < m_after)
        m_timer.start(m_after - quiet);
    else
        Rest(true);
}

void TCaretRest::Rest(bool On) {
    if (m_resting == On || m_flashTime <= 0)
        return;
    m_resting = On;
    // A line edit follows the style hint at once: with 0 its caret stays drawn, still.
    QGuiApplication::styleHints()->setCursorFlashTime(On ? 0 : m_flashTime);
}
