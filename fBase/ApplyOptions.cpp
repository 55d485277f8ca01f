#include "ApplyOptions.h"

#include "Application.h"
#include "LogView.h"
#include "VaComMap.h"

#include <QAction>
#include <QInputDialog>

#include "Baseform.h"
#include "IdNetworkList.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {
void Tick(QCheckBox* ABox, const std::optional<bool>& AValue) {
    if (AValue && ABox->isChecked() != *AValue)
        ABox->click();
}

void SelectRate(TBaseform& AForm, int ARate) {
    AForm.ComboBaudrate->setCurrentIndex(AForm.ComboBaudrate->findText(QString::number(ARate)));
}
} // namespace

void ApplyStartOptions(TBaseform& AForm, const TStartOptions& AOptions) {
    if (AOptions.Com)
        AForm.ComboPortNum->setCurrentIndex(
            AForm.ComboPortNum->findText(QString("Com %1").arg(*AOptions.Com)));
    if (AOptions.Baud)
        SelectRate(AForm, *AOptions.Baud);
    // Treat and Screen first: the port then opens with the responder already on.
    Tick(AForm.ChBxTreat, AOptions.Treat);
    Tick(AForm.ScrChBx, AOptions.Screen);
    if (AOptions.Mode) {
        QRadioButton* mode =
            *AOptions.Mode == TStartMode::Packet ? AForm.RButPack : AForm.RButDirect;
        if (!mode->isChecked())
            mode->click();
        else
            AForm.BtnOpen->click();
        // Either mode button selects 115200 before it opens; another rate is chosen after, and
        // OPEN clicked again, as in the window.
        if (AOptions.Baud &&
            AForm.ComboBaudrate->currentText() != QString::number(*AOptions.Baud)) {
            SelectRate(AForm, *AOptions.Baud);
            AForm.BtnOpen->click();
        }
    }
    if (AOptions.UdpPort)
        AForm.EdPort->setText(QString::number(*AOptions.UdpPort));
    if (AOptions.RemoteHost) {
        AForm.edtHost->setText(*AOptions.RemoteHost);
        AForm.edtPort->setText(QString::number(AOptions.RemotePort.value_or(0)));
    }
    if (AOptions.UdpBind)
        AForm.UDPServer->SetBindAddress(AOptions.UdpBind->toStdString());
    if (AOptions.UdpAllow) {
        std::vector<TIdNetwork> list;
        // Checked when the options were read; an unreadable list would allow nobody, not all.
        if (ParseNetworkList(AOptions.UdpAllow->toStdString(), list).empty())
            AForm.UDPServer->SetAllowedNetworks(std::move(list));
    }
    Tick(AForm.ChBxActiv, AOptions.Activation);
}

TStartOptions CurrentStartOptions(const TBaseform& AForm) {
    TStartOptions o;
    o.Com = AForm.ComboPortNum->currentIndex() + 1;
    o.Baud = AForm.ComboBaudrate->currentText().toInt();
    if (AForm.RButPack->isChecked())
        o.Mode = TStartMode::Packet;
    else if (AForm.RButDirect->isChecked())
        o.Mode = TStartMode::Direct;
    o.Treat = AForm.ChBxTreat->isChecked();
    o.Screen = AForm.ScrChBx->isChecked();
    bool ok = false;
    if (const int port = AForm.EdPort->text().toInt(&ok); ok)
        o.UdpPort = port;
    if (const int port = AForm.edtPort->text().toInt(&ok); ok && !AForm.edtHost->text().isEmpty()) {
        o.RemoteHost = AForm.edtHost->text();
        o.RemotePort = port;
    }
    return o;
}

void AttachProfileSaving(TBaseform& AForm) {
    auto* action = new QAction(QString::fromUtf8("Save profile\u2026"), AForm.MemMess);
    AForm.MemMess->addAction(action);
    AForm.MemMess->AddMenuActions({action});
    QObject::connect(action, &QAction::triggered, &AForm, [&AForm] {
        bool ok = false;
        const QString name =
            QInputDialog::getText(&AForm, QObject::tr("Save profile"), QObject::tr("Profile name:"),
                                  QLineEdit::Normal, {}, &ok);
        if (!ok || name.isEmpty())
            return;
        const QString title = QString::fromStdString(ApplicationTitle());
        const QString path =
            StartProfilePath(QString::fromStdString(VaConfigDir()), name.trimmed());
        QString error;
        if (path.isEmpty())
            AForm.ShowMessageBox(title, QObject::tr("\"%1\" is not a profile name: use letters, "
                                                    "digits, '-', '_' and '.'.")
                                            .arg(name));
        else if (!WriteStartProfile(path, CurrentStartOptions(AForm), error))
            AForm.ShowMessageBox(title, error);
    });
}
