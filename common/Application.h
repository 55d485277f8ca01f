// The one place where errors that escape a handler end, and the application title.
#pragma once

#include <exception>
#include <functional>
#include <string>

using TExceptionHandler = std::function<void(std::exception_ptr)>;

// Installs the application-wide handler of errors that escape a handler; an empty one removes it.
void SetApplicationExceptionHandler(TExceptionHandler Handler);

// Passes E to the installed handler; without one, writes its message to standard error.
// An error raised by the handler itself is written to standard error and goes no further.
void HandleException(std::exception_ptr E);

// Runs Fn and hands anything it raises to HandleException, so an error never unwinds
// through the window's event loop.
template <class F> void Guarded(F&& Fn) {
    try {
        Fn();
    } catch (...) {
        HandleException(std::current_exception());
    }
}

// The program file's name without folder, cut at its first dot, every letter after the
// first in lower case: "/usr/bin/CONSOLE.EXE" gives "Console", "tevro-console" stays.
std::string ApplicationTitleFrom(const std::string& ProgramPath);

// The running program's title (from /proc/self/exe, else argv[0] as Qt saw it).
std::string ApplicationTitle();

// One line on standard error for an error that is not shown in the window.
void WriteErrorLine(std::exception_ptr E);
