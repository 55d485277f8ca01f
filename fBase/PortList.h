// The port list's items tell, as tooltips, which device each COM number is on this machine.
#pragma once

class QComboBox;

// Keeps the items' tooltips (and accessible descriptions) current: they are looked up again
// whenever the list opens and whenever a tooltip is asked for, as the COM map may change.
void AttachPortToolTips(QComboBox* Combo);
