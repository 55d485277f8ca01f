#include "Baseform.h"

#include "Application.h"
#include "ApplyOptions.h"
#include "CaretRest.h"
#include "CommandHistory.h"
#include "Cp1251.h"
#include "IdStack.h"
#include "LogTools.h"
#include "LogView.h"
#include "Look.h"
#include "PortList.h"
#include "DeviceTools.h"
#include "ScriptTools.h"
#include "StatusPanels.h"
#include "SysUtils.h"
#include "TransferTools.h"
#include "VaDeviceInfo.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <limits>

namespace {
// Design values of the window, in pixels at 96 dots per inch.
constexpr int ClientWidth = 630, ClientHeight = 461, FormBorder = 3;
constexpr int SPanelWidth = 238, IPanelHeight = 100, PanelBorder = 5;

// The boxes' text read as an integer; raises "'%s' is not a valid integer value".
int StrToInt(const QString& Text) {
    return ::StrToInt(QStringToCp1251(Text));
}

} // namespace

const TBaseform::TPreset TBaseform::PresetTable[12] = {
    {"BtnSet1", "AT+WOPEN=0", "AT+WOPEN=0"},
    {"BtnSet2", "AT+WOPEN=1", "AT+WOPEN=1"},
    {"BtnSet3", "AT+WOPEN=2", "AT+WOPEN=2"},
    {"BtnSet4", "AT+WCFM=2", "AT+WCFM=2"},
    {"BtnSet5", "AT+WMFM=0,1,2", "AT+WMFM=0,1,2"},
    {"BtnSet6", "AT+WFM=1,\"SIM3VONLY\"", "AT+WFM=1,\"SIM3VONLY\""},
    {"BtnSet7", "AT+WMBS=5,1", "AT+WMBS=5,1"},
    {"BtnSet8", "AT+STSF=0", "AT+STSF=0"},
    {"Button9", "AT+WIND=0", "AT+WIND=0"},
    {"BtnSet10", "at+Factory", "at+Factory"},
    {"Button11", "at+LogOn", "at+LogOn"},
    {"Button12", "AT F", "AT&F"},
};

TBaseform::TBaseform(QWidget* Parent)
    : QWidget(Parent), Console(std::make_unique<TConsole>()), VaComm(Console->VaComm),
      UDPServer(Console->UDPServer), SysTimer(Console->SysTimer) {
    ShowMessageBox = [this](const QString& Title, const QString& Text) {
        QMessageBox box(QMessageBox::NoIcon, Title, Text, QMessageBox::Ok, this);
        box.exec();
    };
    BuildControls();
    FormCreate();
}

TBaseform::~TBaseform() {
    if (!m_closing)
        FormClose();
    // The console outlives nothing of the window: it tells the window nothing more.
    Console->disconnect(this);
    SetApplicationExceptionHandler({});
}

// ---------------------------------------------------------------- layout

void TBaseform::BuildControls() {
    setWindowTitle(QStringLiteral("  TEVRO SERVICE PROGRAM "));
    setWindowIcon(MakeIcon());
    setFont(Font({"MS Sans Serif", "Liberation Sans", "DejaVu Sans"}, 11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(240, 240, 240)); // clBtnFace
    setPalette(pal);
    setAutoFillBackground(true);
    resize(ClientWidth + 2 * FormBorder, ClientHeight + 2 * FormBorder);

    auto place = [](QWidget* W, int L, int T, int Wd, int H) { W->setGeometry(L, T, Wd, H); };
    const QFont smallFont = Font({"MS Sans Serif", "Liberation Sans", "DejaVu Sans"}, 8);

    vPanel = new QWidget(this);
    sPanel = new QWidget(this);
    iPanel = new QWidget(this);

    // Log.
    MemMess = new TLogView(Console->Log(), vPanel);
    MemMess->setObjectName("MemMess");
    QPalette memPal = MemMess->palette();
    memPal.setColor(QPalette::Base, QColor(192, 220, 192)); // clMoneyGreen
    memPal.setColor(QPalette::Text, Qt::black);
    MemMess->setPalette(memPal);
    MemMess->setFont(Font({"Arial", "Liberation Sans", "DejaVu Sans"}, 11, true));
    MemMess->setFocusPolicy(Qt::ClickFocus); // skipped by the Tab key

    // Right column.
    GrBxInit = new QGroupBox(" Initialization COM ", sPanel);
    place(GrBxInit, 5, 5, 228, 57);
    RButPack = new QRadioButton("Packet Com", GrBxInit);
    place(RButPack, 6, 37, 80, 17);
    RButDirect = new QRadioButton("Direct Com", GrBxInit);
    place(RButDirect, 6, 19, 80, 17);
    BtSet = new QPushButton("Settings", GrBxInit);
    place(BtSet, 164, 30, 58, 22);
    ChBxTreat = new QCheckBox("Treat", GrBxInit);
    place(ChBxTreat, 95, 37, 50, 16);
    ScrChBx = new QCheckBox("Screen", GrBxInit);
    place(ScrChBx, 95, 21, 58, 16);

    GroupBox1 = new QGroupBox(" Initialization Socket ", sPanel);
    place(GroupBox1, 5, 62, 228, 131);
    auto label = [&](const char* Caption, int Top) {
        auto* l = new QLabel(Caption, GroupBox1);
        l->move(18, Top);
        l->adjustSize();
        return l;
    };
    LHostName = label("Host name:  ", 21);
    LHostAddress = label("Host address:  ", 37);
    LPort = label("Port:", 53);
    LBufferSize = label("Buffer size:  ", 69);
    LRemHost = label("Remote Host: ", 86);
    Label1 = label("Remote Port: ", 106);
    EdPort = new QLineEdit(GroupBox1);
    place(EdPort, 45, 52, 37, 17);
    EdPort->setFont(smallFont);
    ChBxActiv = new QCheckBox("Activation", GroupBox1);
    place(ChBxActiv, 146, 106, 75, 16);
    edtHost = new QLineEdit("192.168.1.100", GroupBox1);
    place(edtHost, 93, 86, 87, 17);
    edtHost->setFont(smallFont);
    edtPort = new QLineEdit("10501", GroupBox1);
    place(edtPort, 93, 105, 37, 17);
    edtPort->setFont(smallFont);

    // The design's face is a compressed one, and the longest caption has 20 characters.
    QFont presetFont =
        Font({"Bodoni MT Poster Compressed", "Liberation Sans Narrow", "DejaVu Sans Condensed"}, 9);
    presetFont.setStretch(QFont::Condensed);
    for (int i = 0; i < 12; ++i) {
        Presets[i] = new QPushButton(PresetTable[i].Caption, sPanel);
        Presets[i]->setObjectName(PresetTable[i].Name);
        Presets[i]->setFont(presetFont);
        place(Presets[i], i < 6 ? 17 : 121, 199 + 24 * (i % 6), 95, 22);
    }

    // Bottom strip.
    GrBxSet = new QGroupBox(" Port settings ", iPanel);
    place(GrBxSet, 0, 0, 209, 71);
    GrBxSet->hide();
    ComboPortNum = new QComboBox(GrBxSet);
    for (int i = 1; i <= 16; ++i)
        ComboPortNum->addItem(QString("Com %1").arg(i));
    ComboPortNum->setFont(Font({"Fixedsys", "DejaVu Sans Mono", "Liberation Mono"}, 12));
    place(ComboPortNum, 6, 16, 90, 21);
    BtnOpen = new QPushButton("OPEN", GrBxSet);
    place(BtnOpen, 100, 43, 48, 22);
    BtnClose = new QPushButton("CLOSE", GrBxSet);
    place(BtnClose, 152, 43, 48, 22);
    ComboBaudrate = new QComboBox(GrBxSet);
    for (const char* rate :
         {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "28800", "38400",
          "56000", "57600", "115200", "128000", "256000", "230400", "460800", "921600"})
        ComboBaudrate->addItem(rate);
    ComboBaudrate->setFont(Font({"Fixedsys", "DejaVu Sans Mono", "Liberation Mono"}, 11));
    place(ComboBaudrate, 6, 42, 90, 21);
    ChBxDTR = new QCheckBox("DTR", GrBxSet);
    place(ChBxDTR, 99, 24, 46, 16);
    ChBxRTS = new QCheckBox("RTS", GrBxSet);
    place(ChBxRTS, 146, 24, 46, 16);

    GrBxCmdLn = new QGroupBox(QString::fromUtf8(" \u0421ommand line "), iPanel);
    place(GrBxCmdLn, 214, 28, 415, 43);
    EdCmdLn = new QLineEdit(GrBxCmdLn);
    place(EdCmdLn, 5, 14, 296, 23);
    EdCmdLn->setFont(Font({"Arial", "Liberation Sans", "DejaVu Sans"}, 12, true));
    // The box has no length limit of its own (the toolkit's default cuts a paste at 32767).
    EdCmdLn->setMaxLength(std::numeric_limits<int>::max());
    BtTransmit = new QPushButton("To COM", GrBxCmdLn);
    place(BtTransmit, 306, 15, 50, 22);
    BtnETX = new QPushButton("To Sock", GrBxCmdLn);
    place(BtnETX, 360, 15, 50, 22);
    ButtonReset = new QPushButton("Clean", iPanel);
    place(ButtonReset, 220, 2, 90, 18);

    StatusBar = new TStatusBar({{50, Qt::AlignHCenter, {}},
                                {50, Qt::AlignHCenter, {}},
                                {50, Qt::AlignHCenter, {}},
                                {50, Qt::AlignHCenter, {}},
                                {50, Qt::AlignLeft, {}},
                                {50, Qt::AlignLeft, {}},
                                {150, Qt::AlignLeft, QString::fromUtf8("Com-порт не выбран")},
                                {150, Qt::AlignLeft, {}},
                                {50, Qt::AlignLeft, {}}},
                               iPanel);

    // Tab order as listed: log skipped, right column, then the bottom strip.
    QWidget* order[] = {RButPack, RButDirect, BtSet,   ChBxTreat, ScrChBx,
                        EdPort,   ChBxActiv,  edtHost, edtPort};
    QWidget* prev = nullptr;
    for (QWidget* w : order) {
        if (prev)
            setTabOrder(prev, w);
        prev = w;
    }
    for (QWidget* w : Presets) {
        setTabOrder(prev, w);
        prev = w;
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{ComboPortNum, BtnOpen, BtnClose, ComboBaudrate, ChBxDTR,
                                         ChBxRTS, EdCmdLn, BtTransmit, BtnETX, ButtonReset}) {
        setTabOrder(prev, w);
        prev = w;
    }

    // Wiring: every handler runs guarded, so what it raises ends in AppException.
    auto guard = [](auto Fn) { return [Fn] { Guarded(Fn); }; };
    connect(RButDirect, &QRadioButton::toggled, this, [this, guard](bool On) {
        if (On)
            guard([this] { RButDirectClick(); })();
    });
    connect(RButPack, &QRadioButton::toggled, this, [this, guard](bool On) {
        if (On)
            guard([this] { RButPackClick(); })();
    });
    connect(BtSet, &QPushButton::clicked, this, guard([this] { BtSetClick(); }));
    connect(ComboPortNum, &QComboBox::activated, this, guard([this] { ComboPortNumChange(); }));
    connect(ComboBaudrate, &QComboBox::activated, this, guard([this] { ComboBaudrateChange(); }));
    connect(BtnOpen, &QPushButton::clicked, this, guard([this] { BtnOpenClick(); }));
    connect(BtnClose, &QPushButton::clicked, this, guard([this] { BtnCloseClick(); }));
    connect(ChBxDTR, &QCheckBox::toggled, this, guard([this] { ChBxDTRClick(); }));
    connect(ChBxRTS, &QCheckBox::toggled, this, guard([this] { ChBxRTSClick(); }));
    connect(ButtonReset, &QPushButton::clicked, this, guard([this] { ButtonResetClick(); }));
    connect(BtTransmit, &QPushButton::clicked, this, guard([this] {
                m_historyKeys->Sent();
                BtTransmitClick();
            }));
    connect(BtnETX, &QPushButton::clicked, this, guard([this] { BtnETXClick(); }));
    connect(ChBxActiv, &QCheckBox::toggled, this, guard([this] { ChBxActivClick(); }));
    connect(ChBxTreat, &QCheckBox::toggled, this, [this](bool On) { Console->SetTreat(On); });
    connect(ScrChBx, &QCheckBox::toggled, this, [this](bool On) { Console->SetScreen(On); });
    for (int i = 0; i < 12; ++i)
        connect(Presets[i], &QPushButton::clicked, this, guard([this, i] { SendPreset(i); }));
    EdCmdLn->installEventFilter(this);
    // Up and Down; installed after the window's filter, so it sees a key first.
    m_historyKeys = new TCommandHistoryKeys(EdCmdLn);
    m_caretRest = new TCaretRest(this);
    AttachPortToolTips(ComboPortNum);
    // The device, file, script and profile entries come first in the log's menu; "Capture to
    // file…" stays its last.
    AttachDeviceTools(*this);
    m_transferTools = new TTransferTools(*Console, MemMess, this);
    m_scriptTools = new TScriptTools(*Console, MemMess, this);
    AttachProfileSaving(*this);
    m_logTools =
        std::make_unique<TLogTools>(Console->Log(), MemMess, this, [this](const QString& Text) {
            ShowMessageBox(QString::fromStdString(ApplicationTitle()), Text);
        });

    // A line box of this look paints all of its rectangle. Said so, a blinking caret repaints
    // the box alone, not the group box and the window beneath it, twice a second.
    for (QLineEdit* e : findChildren<QLineEdit*>())
        e->setAutoFillBackground(true);
    ConnectConsole();
    LayoutPanels();
}

void TBaseform::LayoutPanels() {
    // The right column keeps its width and the bottom strip its height; the log takes the rest.
    const int w = std::max(width() - 2 * FormBorder, SPanelWidth + 2 * PanelBorder + 20);
    const int h = std::max(height() - 2 * FormBorder, IPanelHeight + 2 * PanelBorder + 20);
    iPanel->setGeometry(FormBorder, FormBorder + h - IPanelHeight, w, IPanelHeight);
    sPanel->setGeometry(FormBorder + w - SPanelWidth, FormBorder, SPanelWidth, h - IPanelHeight);
    vPanel->setGeometry(FormBorder, FormBorder, w - SPanelWidth, h - IPanelHeight);
    MemMess->setGeometry(PanelBorder, PanelBorder, vPanel->width() - 2 * PanelBorder,
                         vPanel->height() - 2 * PanelBorder);
    StatusBar->setGeometry(0, IPanelHeight - 26, w, 26);
}

void TBaseform::resizeEvent(QResizeEvent* E) {
    QWidget::resizeEvent(E);
    LayoutPanels();
}

// ---------------------------------------------------------------- start-up and shut-down

void TBaseform::FormCreate() {
    SetApplicationExceptionHandler([this](std::exception_ptr E) { AppException(E); });
    Guarded([this] {
        ComboPortNum->setCurrentIndex(ComboPortNum->findText("Com 1"));
        ComboBaudrate->setCurrentIndex(ComboBaudrate->findText("115200"));
        Console->Start();
        LHostName->setText(LHostName->text() + QString::fromStdString(UDPServer->LocalHostName()));
        LHostName->adjustSize();
        LHostAddress->setText(LHostAddress->text() +
                              QString::fromStdString(GStack()->LocalHostAddress()));
        LHostAddress->adjustSize();
        EdPort->setText(QString::number(UDPServer->DefaultPort()));
        LBufferSize->setText(LBufferSize->text() + QString::number(UDPServer->BufferSize()));
        LBufferSize->adjustSize();
    });
    // Centre on the desktop when first shown; the focus starts on "To Sock".
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect r = screen->availableGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
    }
    BtnETX->setFocus(Qt::OtherFocusReason);
}

void TBaseform::FormClose() {
    m_closing = true;
    Console->Stop();
}

void TBaseform::closeEvent(QCloseEvent* E) {
    if (!m_closing)
        FormClose();
    E->accept();
}

void TBaseform::AppException(std::exception_ptr E) {
    try {
        std::rethrow_exception(E);
    } catch (const EVaCommError& X) {
        const QString text = QString::fromUtf8(X.what());
        if (m_messageBoxOpen) {
            // One box at a time: an error raised while a box is open is not stacked on it.
            WriteErrorLine(E);
            return;
        }
        m_messageBoxOpen = true;
        try {
            ShowMessageBox(QString::fromStdString(ApplicationTitle()), text);
        } catch (...) {
        }
        m_messageBoxOpen = false;
    } catch (...) {
        // Not shown in the window; a line on standard error says why an action did nothing.
        WriteErrorLine(E);
    }
}

void TBaseform::ConnectConsole() {
    TConsole* c = Console.get();
    connect(c, &TConsole::LogAppended, this, [this](size_t Old) {
        m_logTools->Appended(Old);
        MemMess->LogChanged();
    });
    connect(c, &TConsole::LogReplaced, this, [this] {
        m_logTools->Replaced();
        MemMess->LogChanged();
    });
    connect(c, &TConsole::LogCleared, this, [this](bool ByDevice) {
        m_logTools->Cleared(ByDevice);
        MemMess->LogChanged();
    });
    // Panel 6 says the port's state and, while it is open, names the device in its tooltip.
    connect(c, &TConsole::PortOpened, this, [this](int PortNum) {
        StatusBar->SetPanelText(6, QString::fromUtf8(" Com-порт ") + QString::number(PortNum) +
                                       QString::fromUtf8(" [активен]"));
        StatusBar->SetPanelToolTip(6, QString::fromStdString(VaDescribeComPort(PortNum)));
    });
    connect(c, &TConsole::PortClosed, this, [this] {
        StatusBar->SetPanelToolTip(6, {});
        StatusBar->SetPanelText(6, QString::fromUtf8(" Com-порт не выбран"));
    });
    // The boxes are ticked as the technician would tick them, so their handlers run too.
    connect(c, &TConsole::DtrDriven, this, [this](bool On) {
        ChBxDTR->setChecked(On);
        StatusBar->SetPanelText(0, On ? "DTR" : "");
    });
    connect(c, &TConsole::RtsDriven, this, [this](bool On) {
        ChBxRTS->setChecked(On);
        StatusBar->SetPanelText(2, On ? "RTS" : "");
    });
    connect(c, &TConsole::ModemLinesRead, this, [this](uint32_t Lines) {
        StatusBar->SetPanelText(1, Lines & MS_DSR_ON ? "DSR" : "");
        StatusBar->SetPanelText(3, Lines & MS_CTS_ON ? "CTS" : "");
        StatusBar->SetPanelText(4, Lines & MS_RING_ON ? "RING" : "");
        StatusBar->SetPanelText(5, Lines & MS_RLSD_ON ? "DCD" : "");
    });
    // Only a change is written: rewriting a box's text costs a redraw for every datagram.
    connect(c, &TConsole::RemoteChanged, this, [this](const QString& Host, const QString& Port) {
        if (edtHost->text() != Host)
            edtHost->setText(Host);
        if (edtPort->text() != Port)
            edtPort->setText(Port);
    });
}

// ---------------------------------------------------------------- console log

void TBaseform::LogAppend(const std::string& Text) {
    Console->LogAppend(Text);
}

void TBaseform::LogAddLine(const std::string& Text) {
    Console->LogAddLine(Text);
}

void TBaseform::LogSetText(const std::string& Text) {
    Console->LogSetText(Text);
}

std::string TBaseform::LogGetText() const {
    return Console->LogGetText();
}

void TBaseform::LogClear() {
    Console->LogClear(true);
}

// ---------------------------------------------------------------- port control

void TBaseform::FocusReturn() {
    EdCmdLn->setFocus(Qt::OtherFocusReason);
}

void TBaseform::RButDirectClick() {
    RButPackTag = 0;
    Console->SetPacketMode(0);
    ComboBaudrate->setCurrentIndex(ComboBaudrate->findText("115200"));
    BtnOpenClick();
}

void TBaseform::RButPackClick() {
    RButPackTag = 1;
    Console->SetPacketMode(1);
    ComboBaudrate->setCurrentIndex(ComboBaudrate->findText("115200"));
    BtnOpenClick();
}

void TBaseform::BtSetClick() {
    GrBxSet->setHidden(!GrBxSet->isHidden());
    FocusReturn();
}

void TBaseform::ComboPortNumChange() {
    FocusReturn();
}

void TBaseform::ComboBaudrateChange() {
    FocusReturn();
}

void TBaseform::BtnOpenClick() {
    try {
        Console->OpenPort(ComboPortNum->currentIndex() + 1, StrToInt(ComboBaudrate->currentText()));
    } catch (...) {
        ComboPortNum->setCurrentIndex(std::max(-1, ComboPortNum->currentIndex() - 1));
        throw;
    }
    FocusReturn();
}

void TBaseform::BtnCloseClick() {
    Console->ClosePort();
    FocusReturn();
}

void TBaseform::ChBxDTRClick() {
    Console->SetDTR(ChBxDTR->isChecked());
    StatusBar->SetPanelText(0, ChBxDTR->isChecked() ? "DTR" : "");
    FocusReturn();
}

void TBaseform::ChBxRTSClick() {
    Console->SetRTS(ChBxRTS->isChecked());
    StatusBar->SetPanelText(2, ChBxRTS->isChecked() ? "RTS" : "");
    FocusReturn();
}

void TBaseform::ButtonResetClick() {
    // "Clean" empties the log but leaves no mark in a capture file.
    Console->LogClear(false);
    FocusReturn();
}

void TBaseform::SysTimerTimer() {
    Console->SysTimerTimer();
}

void TBaseform::VaCommRxChar(TVaCustomComm* Sender, int Count) {
    Console->VaCommRxChar(Sender, Count);
}

// ---------------------------------------------------------------- command line and presets

void TBaseform::ReportWriteError() {
    Console->ReportWriteError();
}

void TBaseform::BtTransmitClick() {
    Console->SendLine(QStringToCp1251(EdCmdLn->text()));
    FocusReturn();
}

void TBaseform::EdCmdLnKeyPress(int Key) {
    Console->SendKey(Key, QStringToCp1251(EdCmdLn->text()));
    FocusReturn();
}

bool TBaseform::eventFilter(QObject* Watched, QEvent* E) {
    if (Watched == EdCmdLn && E->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(E);
        int key = -1;
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
            key = 13;
        else if (k->key() == Qt::Key_Escape)
            key = 27;
        else if (k->key() == Qt::Key_X && (k->modifiers() & Qt::ControlModifier))
            key = 24;
        else if (k->text().size() == 1)
            key = k->text().at(0).unicode();
        // Runs before the box handles the key; the box then handles it as usual.
        if (key >= 0)
            Guarded([this, key] { EdCmdLnKeyPress(key); });
    }
    return QWidget::eventFilter(Watched, E);
}

void TBaseform::changeEvent(QEvent* E) {
    // Nobody sees the modem-line panels of a minimised window.
    if (E->type() == QEvent::WindowStateChange)
        Console->SetShown(!isMinimized());
    QWidget::changeEvent(E);
}

void TBaseform::SendPreset(int Index) {
    Console->SendLine(PresetTable[Index].Command);
    FocusReturn();
}

// ---------------------------------------------------------------- UDP

void TBaseform::ChBxActivClick() {
    const bool on = ChBxActiv->isChecked();
    const int port = on ? StrToInt(EdPort->text()) : 0;
    try {
        Console->SetActivation(on, port);
    } catch (const EIdException& E) {
        if (!on)
            throw;
        // A port that could not be listened on is said, and the box does not claim otherwise.
        {
            const QSignalBlocker quiet(ChBxActiv);
            ChBxActiv->setChecked(false);
        }
        ShowMessageBox(QString::fromStdString(ApplicationTitle()), QString::fromUtf8(E.what()));
    }
}

void TBaseform::BtnETXClick() {
    const std::string data = QStringToCp1251(EdCmdLn->text()) + "\r";
    const int port = StrToInt(edtPort->text());
    const std::string host = QStringToCp1251(edtHost->text());
    Console->SendDatagram(host, port, data);
}

void TBaseform::UDPServerUDPRead(TIdUDPServer* Sender, const std::string& AData,
                                 TIdSocketHandle& ABinding) {
    Console->UDPServerUDPRead(Sender, AData, ABinding);
}
