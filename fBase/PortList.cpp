#include "PortList.h"

#include "VaDeviceInfo.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QHelpEvent>

namespace {
class TPortToolTips : public QObject {
public:
    explicit TPortToolTips(QComboBox* Combo)
        : QObject(Combo), m_combo(Combo), m_view(Combo->view()), m_viewport(m_view->viewport()) {
        m_view->installEventFilter(this);
        m_viewport->installEventFilter(this);
        Refresh(-1);
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* E) override {
        // The type first: while the list goes with its box, other events still come here.
        if (E->type() == QEvent::Show && Watched == m_view)
            Refresh(-1);
        else if (E->type() == QEvent::ToolTip && Watched == m_viewport)
            Refresh(m_view->indexAt(static_cast<QHelpEvent*>(E)->pos()).row());
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
    QAbstractItemView* m_view;
    QWidget* m_viewport;
};
} // namespace

void AttachPortToolTips(QComboBox* Combo) {
    new TPortToolTips(Combo);
}
