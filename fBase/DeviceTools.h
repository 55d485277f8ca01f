// The log menu's entries for the device behind a COM number: "Reopen when the device returns"
// (remembered from one start to the next) and "Map a device…", which points a COM entry at
// one of the serial devices present.
#pragma once

#include <QDialog>

class TBaseform;
class QSpinBox;
class QTableWidget;

void AttachDeviceTools(TBaseform& AForm);

// The serial devices present, one row each, and the COM number to give the chosen one.
class TMapDeviceBox : public QDialog {
    Q_OBJECT
public:
    TMapDeviceBox(int ComNum, QWidget* Parent);
    QTableWidget* Devices;
    QSpinBox* Com;
    // The chosen device's by-id link, else its node; empty without a choice.
    std::string Target() const;

private:
    std::vector<std::string> m_targets;
};
