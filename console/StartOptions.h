// What the console is told at start: the command line and the named profiles it may read. Pure
// parsing and plain files; the window applies the result as the technician would click it.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

enum class TStartMode { Direct, Packet };

// Every field left empty is the window's own start value.
struct TStartOptions {
    std::optional<int> Com; // 1..16
    std::optional<int> Baud;
    std::optional<TStartMode> Mode;
    std::optional<bool> Treat, Screen, Activation;
    std::optional<int> UdpPort;
    std::optional<QString> RemoteHost;
    std::optional<int> RemotePort;
    std::optional<QString> UdpBind;  // a dotted address
    std::optional<QString> UdpAllow; // checked by ParseNetworkList
    QString Profile;
    bool Help = false, Version = false;
};

// A parse either gives the options or one line naming the option (or profile key) at fault.
using TStartParse = std::variant<TStartOptions, QString>;

// The rates of the window's rate list.
const QList<int>& StartBaudRates();
// The usage text that --help prints.
QString StartUsage();

// AArgs as main() gets them, the program's name first. The profile is not read here.
TStartParse ParseStartOptions(const QStringList& AArgs);

// A profile's file: <ConfigDir>/tevro-console/profiles/<Name>.conf; ConfigDir is the user's
// configuration folder (VaConfigDir: $XDG_CONFIG_HOME when absolute, else ~/.config).
// An empty text for a name that cannot be a file name of that folder.
QString StartProfilePath(const QString& AConfigDir, const QString& AName);
// Reads "key=value" lines (keys as the long options, "#" begins a comment line, blank lines
// skipped); an error names the file, the line and the key.
TStartParse ReadStartProfile(const QString& APath);
// Writes the set fields of AOptions as a profile; false with AError set when it cannot.
bool WriteStartProfile(const QString& APath, const TStartOptions& AOptions, QString& AError);
// AOver's set fields over ABase's.
TStartOptions MergeStartOptions(const TStartOptions& ABase, const TStartOptions& AOver);

// The command line, then the profile it names (if any) under it: what the console starts with.
TStartParse ResolveStartOptions(const QStringList& AArgs, const QString& AConfigDir);
