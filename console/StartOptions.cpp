#include "StartOptions.h"

#include "IdNetworkList.h"
#include "IdStack.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

namespace {
// One row per option: the long name (also the profile key), the value's name for the usage
// (empty: a switch) and what it does.
struct TOptionRow {
    const char* Name;
    const char* Value;
    const char* Help;
};
constexpr TOptionRow OptionRows[] = {
    {"com", "N", "select Com N (1 to 16); --mode opens it"},
    {"baud", "RATE", "the port's rate, one of the window's rates"},
    {"mode", "direct|packet", "click \"Direct Com\" or \"Packet Com\" (opens the port)"},
    {"treat", "", "tick \"Treat\": the console answers the device's requests"},
    {"screen", "", "tick \"Screen\""},
    {"udp-port", "PORT", "the UDP port to listen on (\"Port:\")"},
    {"activation", "", "tick \"Activation\": listen on the UDP port"},
    {"remote", "HOST:PORT", "the \"To Sock\" target (\"Remote Host\", \"Remote Port\")"},
    {"udp-bind", "ADDRESS", "listen on this local address only (default: every address)"},
    {"udp-allow", "NETWORK[,NETWORK...]",
     "hear only these senders, a.b.c.d/n or a.b.c.d (default: any sender)"},
    {"profile", "NAME", "start from the saved profile NAME; other options override it"},
};

std::optional<int> ReadInt(const QString& AText, int AMin, int AMax) {
    // Decimal digits only: no sign, no blanks, no hex.
    static const QRegularExpression digits("^[0-9]{1,6}$");
    if (!digits.match(AText).hasMatch())
        return std::nullopt;
    const int v = AText.toInt();
    if (v < AMin || v > AMax)
        return std::nullopt;
    return v;
}

std::optional<bool> ReadBool(const QString& AText) {
    const QString t = AText.trimmed().toLower();
    if (t == "true" || t == "yes" || t == "on" || t == "1")
        return true;
    if (t == "false" || t == "no" || t == "off" || t == "0")
        return false;
    return std::nullopt;
}

// Sets the field of AKey from AValue; an empty text on success, else what is wrong with the
// value. ASwitch: given as a switch on the command line (no value).
QString Apply(TStartOptions& AOptions, const QString& AKey, const QString& AValue, bool ASwitch) {
    if (AKey == "com") {
        const auto v = ReadInt(AValue, 1, 16);
        if (!v)
            return "must be a port number from 1 to 16, not \"" + AValue + "\"";
        AOptions.Com = v;
    } else if (AKey == "baud") {
        const auto v = ReadInt(AValue, 1, 999999);
        if (!v || !StartBaudRates().contains(*v))
            return "must be one of the window's rates (110 ... 921600), not \"" + AValue + "\"";
        AOptions.Baud = v;
    } else if (AKey == "mode") {
        if (AValue == "direct")
            AOptions.Mode = TStartMode::Direct;
        else if (AValue == "packet")
            AOptions.Mode = TStartMode::Packet;
        else
            return "must be direct or packet, not \"" + AValue + "\"";
    } else if (AKey == "treat" || AKey == "screen" || AKey == "activation") {
        const auto v = ASwitch ? std::optional<bool>(true) : ReadBool(AValue);
        if (!v)
            return "must be true or false, not \"" + AValue + "\"";
        (AKey == "treat"    ? AOptions.Treat
         : AKey == "screen" ? AOptions.Screen
                            : AOptions.Activation) = v;
    } else if (AKey == "udp-port") {
        const auto v = ReadInt(AValue, 0, 65535);
        if (!v)
            return "must be a UDP port from 0 to 65535, not \"" + AValue + "\"";
        AOptions.UdpPort = v;
    } else if (AKey == "remote") {
        const int colon = AValue.lastIndexOf(':');
        const auto port = colon > 0 ? ReadInt(AValue.mid(colon + 1), 1, 65535) : std::nullopt;
        if (!port || AValue.left(colon).contains(QRegularExpression("[\\s:]")))
            return "must be HOST:PORT with a port from 1 to 65535, not \"" + AValue + "\"";
        AOptions.RemoteHost = AValue.left(colon);
        AOptions.RemotePort = port;
    } else if (AKey == "udp-bind") {
        std::vector<TIdNetwork> one;
        // One bare address: the list parser's address rules, so both options read alike.
        if (AValue.contains('/') || AValue.contains(',') ||
            !ParseNetworkList(AValue.toStdString(), one).empty() || one.size() != 1)
            return "must be one IPv4 address of this machine (a.b.c.d), not \"" + AValue + "\"";
        AOptions.UdpBind = AValue.trimmed();
    } else if (AKey == "udp-allow") {
        std::vector<TIdNetwork> list;
        const std::string error = ParseNetworkList(AValue.toStdString(), list);
        if (!error.empty())
            return QString::fromStdString(error);
        if (list.empty())
            return "must name at least one network";
        AOptions.UdpAllow = AValue;
    } else if (AKey == "profile") {
        if (StartProfilePath("/", AValue).isEmpty())
            return "must be a name of letters, digits, \"-\", \"_\" and \".\", not \"" + AValue +
                   "\"";
        AOptions.Profile = AValue;
    } else {
        return "is not an option";
    }
    return "";
}
} // namespace

const QList<int>& StartBaudRates() {
    static const QList<int> rates{110,    300,    600,    1200,   2400,  4800,  9600,
                                  14400,  19200,  28800,  38400,  56000, 57600, 115200,
                                  128000, 256000, 230400, 460800, 921600};
    return rates;
}

QString StartUsage() {
    QString u = "Usage: tevro-console [OPTION...]\n"
                "The service console of the TEVRO terminal device. Each option does what the "
                "technician would\ndo in the window after it opens.\n\n";
    auto line = [&u](const QString& AOption, const QString& AHelp) {
        u += "  " + AOption.leftJustified(34) + " " + AHelp + "\n";
    };
    line("-h, --help", "print this help and exit");
    line("-v, --version", "print the version and exit");
    for (const auto& r : OptionRows)
        line(QString("--") + r.Name + (r.Value[0] ? QString(" ") + r.Value : QString()), r.Help);
    u += "\nA profile is the file $XDG_CONFIG_HOME/tevro-console/profiles/NAME.conf (else\n"
         "~/.config/...), one option a line as key=value without the dashes, e.g. com=1,\n"
         "mode=packet, treat=true.\n";
    return u;
}

TStartParse ParseStartOptions(const QStringList& AArgs) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{"h", "help"});
    const QCommandLineOption version(QStringList{"v", "version"});
    p.addOption(help);
    p.addOption(version);
    // The toolkit's own options, which it takes from the same command line once it starts.
    for (const char* name :
         {"platform", "display", "style", "stylesheet", "geometry", "qwindowgeometry", "title",
          "qwindowtitle", "platformtheme", "plugin", "session"}) {
        QCommandLineOption o(name, "", "value");
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(o);
    }
    QCommandLineOption reverse("reverse");
    reverse.setFlags(QCommandLineOption::HiddenFromHelp);
    p.addOption(reverse);
    std::vector<QCommandLineOption> options;
    for (const auto& r : OptionRows) {
        options.emplace_back(r.Name, r.Help, r.Value);
        p.addOption(options.back());
    }
    if (!p.parse(AArgs))
        return p.errorText();
    if (!p.positionalArguments().isEmpty())
        return "unexpected argument \"" + p.positionalArguments().first() + "\"";
    TStartOptions o;
    o.Help = p.isSet(help);
    o.Version = p.isSet(version);
    for (size_t i = 0; i < options.size(); ++i) {
        const QString name = OptionRows[i].Name;
        if (!p.isSet(options[i]))
            continue;
        const QStringList values = p.values(options[i]);
        if (values.size() > 1)
            return "--" + name + " is given more than once";
        const bool isSwitch = OptionRows[i].Value[0] == '\0';
        const QString error = Apply(o, name, isSwitch ? QString() : values.value(0), isSwitch);
        if (!error.isEmpty())
            return "--" + name + " " + error;
    }
    return o;
}

QString StartProfilePath(const QString& AConfigDir, const QString& AName) {
    static const QRegularExpression name("^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}$");
    if (!name.match(AName).hasMatch())
        return "";
    return AConfigDir + "/tevro-console/profiles/" + AName + ".conf";
}

TStartParse ReadStartProfile(const QString& APath) {
    QFile f(APath);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return "profile " + APath + ": " + f.errorString();
    TStartOptions o;
    int number = 0;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QString where = "profile " + APath + ", line " + QString::number(number) + ": ";
        const int eq = line.indexOf('=');
        if (eq <= 0)
            return where + "\"" + line + "\" is not key=value";
        const QString key = line.left(eq).trimmed();
        if (key == "profile")
            return where + "a profile cannot name another profile";
        const QString error = Apply(o, key, line.mid(eq + 1).trimmed(), false);
        if (!error.isEmpty())
            return where + key + " " + error;
    }
    return o;
}

bool WriteStartProfile(const QString& APath, const TStartOptions& AOptions, QString& AError) {
    QString text = "# tevro-console profile: one option a line, as on the command line without "
                   "the dashes.\n";
    auto put = [&text](const char* AKey, const QString& AValue) {
        text += QString(AKey) + "=" + AValue + "\n";
    };
    auto flag = [](bool AValue) { return QString(AValue ? "true" : "false"); };
    if (AOptions.Com)
        put("com", QString::number(*AOptions.Com));
    if (AOptions.Baud)
        put("baud", QString::number(*AOptions.Baud));
    if (AOptions.Mode)
        put("mode", *AOptions.Mode == TStartMode::Packet ? "packet" : "direct");
    if (AOptions.Treat)
        put("treat", flag(*AOptions.Treat));
    if (AOptions.Screen)
        put("screen", flag(*AOptions.Screen));
    if (AOptions.UdpPort)
        put("udp-port", QString::number(*AOptions.UdpPort));
    if (AOptions.Activation)
        put("activation", flag(*AOptions.Activation));
    if (AOptions.RemoteHost && AOptions.RemotePort)
        put("remote", *AOptions.RemoteHost + ":" + QString::number(*AOptions.RemotePort));
    if (AOptions.UdpBind)
        put("udp-bind", *AOptions.UdpBind);
    if (AOptions.UdpAllow)
        put("udp-allow", *AOptions.UdpAllow);
    if (!QDir().mkpath(QFileInfo(APath).path())) {
        AError = "cannot create the folder " + QFileInfo(APath).path();
        return false;
    }
    // The profile appears only once it is complete: a failed write leaves the old one.
    QSaveFile f(APath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text) || f.write(text.toUtf8()) < 0 ||
        !f.commit()) {
        AError = APath + ": " + f.errorString();
        return false;
    }
    return true;
}

TStartOptions MergeStartOptions(const TStartOptions& ABase, const TStartOptions& AOver) {
    TStartOptions m = ABase;
    auto over = [](auto& AField, const auto& AValue) {
        if (AValue)
            AField = AValue;
    };
    over(m.Com, AOver.Com);
    over(m.Baud, AOver.Baud);
    over(m.Mode, AOver.Mode);
    over(m.Treat, AOver.Treat);
    over(m.Screen, AOver.Screen);
    over(m.Activation, AOver.Activation);
    over(m.UdpPort, AOver.UdpPort);
    if (AOver.RemoteHost) {
        m.RemoteHost = AOver.RemoteHost;
        m.RemotePort = AOver.RemotePort;
    }
    over(m.UdpBind, AOver.UdpBind);
    over(m.UdpAllow, AOver.UdpAllow);
    m.Profile = AOver.Profile.isEmpty() ? ABase.Profile : AOver.Profile;
    m.Help = AOver.Help;
    m.Version = AOver.Version;
    return m;
}

TStartParse ResolveStartOptions(const QStringList& AArgs, const QString& AConfigDir) {
    TStartParse parsed = ParseStartOptions(AArgs);
    auto* cmd = std::get_if<TStartOptions>(&parsed);
    if (!cmd || cmd->Profile.isEmpty() || cmd->Help || cmd->Version)
        return parsed;
    TStartParse profile = ReadStartProfile(StartProfilePath(AConfigDir, cmd->Profile));
    if (auto* base = std::get_if<TStartOptions>(&profile))
        return MergeStartOptions(*base, *cmd);
    return "--profile " + cmd->Profile + ": " + std::get<QString>(profile);
}
