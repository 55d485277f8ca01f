// Capture of the console log to a file: what the log gets is converted to UTF-8 on the main
// thread, gathered into large pieces and written by a thread of its own, so a slow disk never
// holds up the log.
#pragma once

#include "Thread.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TLogCapture {
public:
    TLogCapture();
    ~TLogCapture(); // writes what is left and closes
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    // Creates the file, or empties it, and starts writing to it; false with the system's
    // reason in Error. A capture that runs is closed first.
    bool Open(const std::string& Path, std::string& Error);
    bool Active() const { return m_writer != nullptr; }
    const std::string& Path() const { return m_path; }

    // Log bytes (Windows-1251, CR LF) appended to the file as UTF-8 text.
    void Append(const char* Data, size_t Size);
    // Starts a line of its own unless the text so far ends one.
    void StartLine();
    // Hands what is gathered to the writer; the window calls it on a timer well within a
    // second, and Append does so by itself once a large piece is gathered.
    void Flush();
    // Writes everything, closes the file and stops; false with the reason when a write
    // failed at any time since Open.
    bool Close(std::string& Error);
    // The reason of a failed write, once: the capture stops writing at the first failure.
    std::optional<std::string> TakeFailure();

private:
    class TWriter;
    std::unique_ptr<TWriter> m_writer;
    std::string m_path;
    std::string m_gathered;
    bool m_atLineStart = true;
    bool m_failureTaken = false;
};
