// The program entry: the start options, the application, its one window and the event loop.
#include "ApplyOptions.h"
#include "Baseform.h"
#include "VaPlatformLinux.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}

// The toolkit aborts the process when its platform has no display to open. The platforms that
// need one are the X and Wayland ones (and the default, which picks one of them); the others
// (offscreen, minimal, vnc, linuxfb, eglfs...) draw elsewhere.
bool DisplayMissing(const QString& APlatformOption) {
    QString platform = APlatformOption;
    if (platform.isEmpty())
        platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    platform = platform.section(':', 0, 0).section(';', 0, 0).trimmed();
    const bool needsDisplay =
        platform.isEmpty() || platform == "xcb" || platform.startsWith("wayland");
    return needsDisplay && qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString PlatformOption(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (QString(argv[i]) == "-platform" || QString(argv[i]) == "--platform")
            return argv[i + 1];
    return "";
}
} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const TStartParse parsed = ResolveStartOptions(args, QString::fromStdString(VaConfigDir()));
    if (const auto* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "tevro-console: %s\n\n%s", qPrintable(*error),
                     qPrintable(StartUsage()));
        return 2;
    }
    const TStartOptions& options = std::get<TStartOptions>(parsed);
    if (options.Help) {
        std::fputs(qPrintable(StartUsage()), stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("tevro-console %s\n", TEVRO_VERSION);
        return 0;
    }
    if (DisplayMissing(PlatformOption(argc, argv))) {
        std::fputs("tevro-console: no display to show the window on (neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set)\n",
                   stderr);
        return 1;
    }
    // The toolkit's own event dispatcher instead of GLib's: the 5 ms status timer wakes the
    // window 200 times a second, and each wake-up costs a third less this way.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    ApplyConsoleStyle();
    TBaseform form;
    // SIGTERM and SIGINT close the window as the operator would, so the port is closed cleanly.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
            char c;
            [[maybe_unused]] auto n = ::read(g_signalPipe[0], &c, 1);
            form.close();
        });
        std::signal(SIGTERM, OnTerminateSignal);
        std::signal(SIGINT, OnTerminateSignal);
    }
    form.show();
    // Once the window is up, as the technician's first clicks would come.
    QTimer::singleShot(0, &form, [&form, options] { ApplyStartOptions(form, options); });
    return app.exec();
}
