#include "DeviceTools.h"

#include "Application.h"
#include "Baseform.h"
#include "ConsoleCore.h"
#include "DeviceWatch.h"
#include "LogView.h"
#include "StatusPanels.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

TMapDeviceBox::TMapDeviceBox(int ComNum, QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(tr("Map a device"));
    auto* layout = new QVBoxLayout(this);
    const std::vector<TSerialDevice> devices = ListSerialDevices();
    Devices = new QTableWidget(static_cast<int>(devices.size()), 6, this);
    Devices->setHorizontalHeaderLabels(
        {tr("Device"), tr("By id"), tr("Driver"), tr("USB id"), tr("Serial number"), tr("In use")});
    Devices->setSelectionBehavior(QAbstractItemView::SelectRows);
    Devices->setSelectionMode(QAbstractItemView::SingleSelection);
    Devices->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Devices->verticalHeader()->hide();
    int row = 0;
    for (const TSerialDevice& d : devices) {
        const QString usb =
            d.Vendor.empty() ? QString() : QString::fromStdString(d.Vendor + ":" + d.Product);
        const QString cells[] = {QString::fromStdString(d.Node),
                                 QString::fromStdString(d.ById.substr(d.ById.rfind('/') + 1)),
                                 QString::fromStdString(d.Driver),
                                 usb + (d.Name.empty() ? "" : " " + QString::fromStdString(d.Name)),
                                 QString::fromStdString(d.Serial),
                                 d.InUse ? tr("yes") : QString()};
        for (int col = 0; col < 6; ++col)
            Devices->setItem(row, col, new QTableWidgetItem(cells[col]));
        m_targets.push_back(d.ById.empty() ? d.Node : d.ById);
        ++row;
    }
    Devices->resizeColumnsToContents();
    layout->addWidget(devices.empty() ? new QLabel(tr("No serial device is present."), this)
                                      : static_cast<QWidget*>(Devices));
    if (devices.empty())
        Devices->hide();
    auto* comRow = new QHBoxLayout;
    comRow->addWidget(new QLabel(tr("COM number:"), this));
    Com = new QSpinBox(this);
    Com->setRange(1, 256);
    Com->setValue(ComNum);
    comRow->addWidget(Com);
    comRow->addStretch();
    layout->addLayout(comRow);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Map"));
    buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
    connect(Devices, &QTableWidget::itemSelectionChanged, this, [this, buttons] {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(!Target().empty());
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 300);
}

std::string TMapDeviceBox::Target() const {
    const int row = Devices->currentRow();
    return Devices->selectionModel()->hasSelection() && row >= 0 &&
                   row < static_cast<int>(m_targets.size())
               ? m_targets[static_cast<size_t>(row)]
               : std::string();
}

void AttachDeviceTools(TBaseform& AForm) {
    TConsole& console = *AForm.Console;
    auto* reopen = new QAction(QObject::tr("Reopen when the device returns"), AForm.MemMess);
    reopen->setCheckable(true);
    reopen->setChecked(TConsole::SavedReopen());
    console.SetReopen(reopen->isChecked());
    QObject::connect(reopen, &QAction::toggled, &console, [&console](bool On) {
        console.SetReopen(On);
        TConsole::SaveReopen(On);
    });
    auto* map = new QAction(QString::fromUtf8("Map a device\u2026"), AForm.MemMess);
    for (QAction* a : {reopen, map})
        AForm.MemMess->addAction(a);
    AForm.MemMess->AddMenuActions({reopen, map});

    QObject::connect(&console, &TConsole::PortWaiting, &AForm, [&AForm](int PortNum) {
        AForm.StatusBar->SetPanelText(6, QString::fromUtf8(" Com-порт ") +
                                             QString::number(PortNum) +
                                             QString::fromUtf8(" [ждёт устройство]"));
    });
    QObject::connect(map, &QAction::triggered, &AForm, [&AForm, &console] {
        TMapDeviceBox box(AForm.ComboPortNum->currentIndex() + 1, &AForm);
        if (box.exec() != QDialog::Accepted || box.Target().empty())
            return;
        const int n = box.Com->value();
        const std::string target = box.Target();
        std::string error;
        TMapResult r = MapComEntry(n, target, false, &error);
        if (r == TMapResult::PointsAtPresentDevice &&
            QMessageBox::question(&AForm, box.windowTitle(),
                                  QObject::tr("COM%1 names %2, which is present. Point it at %3?")
                                      .arg(n)
                                      .arg(QString::fromStdString(ComEntryTarget(n)))
                                      .arg(QString::fromStdString(target))) == QMessageBox::Yes)
            r = MapComEntry(n, target, true, &error);
        if (r == TMapResult::Failed)
            AForm.ShowMessageBox(QString::fromStdString(ApplicationTitle()),
                                 QObject::tr("COM%1 could not be mapped: %2")
                                     .arg(n)
                                     .arg(QString::fromStdString(error)));
        else if (r != TMapResult::PointsAtPresentDevice)
            console.LogAddLine("COM" + std::to_string(n) + " names " + target);
    });
}
