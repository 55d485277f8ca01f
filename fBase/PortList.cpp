#include "PortList.h"

#include "VaDeviceInfo.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QHelpEvent>

namespace {
class TPortToolTips : public QObject {
public:
    explicit TPortToolTips(QComboBox* Combo) : QObject(Combo), m_combo(Combo) {
        Combo->view()->installEventFilter(this);
        Combo->view()->viewport()->installEventFilter(this);
        Refresh(-1);
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* E) override {
        if (Watched == m_combo->view() && E->type() == QEvent::Show)
            Refresh(-1);
        else if (Watched == m_combo->view()->viewport() && E->type() == QEvent::ToolTip)
            Refresh(m_combo->view()->indexAt(static_cast<QHelpEvent*>(E)->pos()).row());
        return QObject::eventFilter(Watched, E); // the view shows the tooltip as usual
    }

private:
    // Item Row (the port Row + 1), or every item for -1.
    void Refresh(int Row) {
        for (int i = 0; i < m_combo->count(); ++i) {
            if (Row >= 0 && i != Row)
                continue;
            const QString text = QString::fromStdString(VaDescribeComPort(i + 1));
            m_combo->setItemData(i, text, Qt::ToolTipRole);
            m_combo->setItemData(i, text, Qt::AccessibleDescriptionRole);
        }
    }
    QComboBox* m_combo;
};
} // namespace

void AttachPortToolTips(QComboBox* Combo) {
    new TPortToolTips(Combo);
}
