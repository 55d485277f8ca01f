#include "Application.h"

#include <QCoreApplication>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {
std::mutex g_handlerLock;
TExceptionHandler g_handler;

std::string Describe(std::exception_ptr E) {
    try {
        std::rethrow_exception(E);
    } catch (const std::exception& X) {
        return X.what();
    } catch (...) {
        return "unknown error";
    }
}
} // namespace

void SetApplicationExceptionHandler(TExceptionHandler Handler) {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    g_handler = std::move(Handler);
}

void WriteErrorLine(std::exception_ptr E) {
    std::string line = ApplicationTitle() + ": " + Describe(E) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void HandleException(std::exception_ptr E) {
    TExceptionHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
    }
    if (!handler) {
        WriteErrorLine(E);
        return;
    }
    try {
        handler(E);
    } catch (...) {
        WriteErrorLine(std::current_exception());
    }
}

std::string ApplicationTitleFrom(const std::string& ProgramPath) {
    std::string name = ProgramPath;
    if (auto slash = name.find_last_of('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    if (auto dot = name.find('.'); dot != std::string::npos)
        name.erase(dot);
    for (size_t i = 1; i < name.size(); ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return name;
}

std::string ApplicationTitle() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0)
        return ApplicationTitleFrom(std::string(path, static_cast<size_t>(n)));
    if (QCoreApplication::instance())
        return ApplicationTitleFrom(QCoreApplication::applicationFilePath().toStdString());
    return {};
}
