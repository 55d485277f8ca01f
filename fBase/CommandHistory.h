// The command line's history: Up and Down step through the lines sent before, newest first;
// the line being typed is kept and comes back after the newest.
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <optional>

class QLineEdit;

class TCommandHistory {
public:
    explicit TCommandHistory(size_t Capacity = 500) : m_capacity(Capacity) {}

    // A line was sent: stored unless it repeats the newest; browsing starts over.
    void Add(const QString& Line);
    // One step back from what the box holds now; nothing when there is no older line.
    std::optional<QString> Older(const QString& Current);
    // One step forward; past the newest line, the line that was being typed.
    std::optional<QString> Newer();

    size_t Size() const { return m_lines.size(); }

private:
    size_t m_capacity;
    std::deque<QString> m_lines; // oldest first
    size_t m_pos = 0;            // m_lines.size(): at the line being typed
    QString m_draft;
};

// Gives a one-line edit box the history keys. Up and Down do nothing else in such a box, so
// taking them leaves every other key as it was.
class TCommandHistoryKeys : public QObject {
    Q_OBJECT
public:
    explicit TCommandHistoryKeys(QLineEdit* Edit);
    // The box's text is being sent (Enter is noticed here; the window reports its button).
    void Sent();
    TCommandHistory& History() { return m_history; }

protected:
    bool eventFilter(QObject* Watched, QEvent* E) override;

private:
    QLineEdit* m_edit;
    TCommandHistory m_history;
};
