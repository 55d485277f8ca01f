#include "CommandHistory.h"

#include <QKeyEvent>
#include <QLineEdit>

void TCommandHistory::Add(const QString& Line) {
    if (!Line.isEmpty() && (m_lines.empty() || m_lines.back() != Line)) {
        m_lines.push_back(Line);
        if (m_lines.size() > m_capacity)
            m_lines.pop_front();
    }
    m_pos = m_lines.size();
    m_draft.clear();
}

std::optional<QString> TCommandHistory::Older(const QString& Current) {
    if (m_pos == 0)
        return std::nullopt;
    if (m_pos == m_lines.size())
        m_draft = Current;
    return m_lines[--m_pos];
}

std::optional<QString> TCommandHistory::Newer() {
    if (m_pos >= m_lines.size())
        return std::nullopt;
    ++m_pos;
    return m_pos == m_lines.size() ? m_draft : m_lines[m_pos];
}

TCommandHistoryKeys::TCommandHistoryKeys(QLineEdit* Edit) : QObject(Edit), m_edit(Edit) {
    Edit->installEventFilter(this);
}

void TCommandHistoryKeys::Sent() {
    m_history.Add(m_edit->text());
}

bool TCommandHistoryKeys::eventFilter(QObject* Watched, QEvent* E) {
    if (Watched != m_edit || E->type() != QEvent::KeyPress)
        return QObject::eventFilter(Watched, E);
    auto* k = static_cast<QKeyEvent*>(E);
    const bool plain = (k->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (k->key() == Qt::Key_Up || k->key() == Qt::Key_Down)) {
        const auto line =
            k->key() == Qt::Key_Up ? m_history.Older(m_edit->text()) : m_history.Newer();
        if (line)
            m_edit->setText(*line); // the cursor goes to the end, ready for more
        return true;
    }
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
        Sent();
    return QObject::eventFilter(Watched, E);
}
