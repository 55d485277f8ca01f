// Drives the real tevro-console binary from outside, as an operator would: a private virtual
// X display, a private configuration folder (so the COM map is its own), the console as a
// child process, clicks and keys by xdotool at the layout's positions, and text read back
// through the clipboard.
#pragma once

#include "Process.h"
#include "XWin.h"

#include <functional>
#include <memory>
#include <string>

// A virtual X display on a free number; sets DISPLAY for this process and its children.
class TXvfb {
public:
    TXvfb();
    const std::string& Name() const { return m_name; }

private:
    std::unique_ptr<TProcess> m_server;
    std::string m_name;
};

// A fresh folder, removed with everything in it at the end.
class TTempDir {
public:
    explicit TTempDir(const std::string& Prefix);
    ~TTempDir();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A private XDG_CONFIG_HOME with the console's COM map in it (and XDG_RUNTIME_DIR beside).
class TConfigHome {
public:
    TConfigHome();
    const std::string& Path() const { return m_dir.Path(); }
    std::string ComMap() const { return m_dir.Path() + "/tevro-console/com"; }
    // Makes the COM map entry COMn a link to Target (which need not exist).
    void MapCom(int N, const std::string& Target) const;

private:
    TTempDir m_dir;
};

class TConsole {
public:
    static constexpr const char* Title = "  TEVRO SERVICE PROGRAM ";
    // Starts the console and waits until its window is mapped; throws when it does not come
    // or does not have the design size the layout is measured for.
    explicit TConsole(const std::string& Binary);
    ~TConsole();

    TXDisplay& X() { return m_x; }
    TProcess& Process() { return *m_process; }
    unsigned long Window() const { return m_window; }

    // Mouse and keyboard. Positions are inside the window; keys are xdotool key names.
    void ClickAt(int X, int Y, int Button = 1);
    // Moves the pointer there without a click (a hover, for tooltips).
    void MoveTo(int X, int Y);
    void Click(const std::string& Control);
    void Key(const std::string& Keys);
    void Type(const std::string& Text);
    // Replaces the text of an edit box.
    void SetText(const std::string& Control, const std::string& Text);

    // The text of a control read through the clipboard (click, Ctrl+A, Ctrl+C): "" when the
    // control copied nothing.
    std::string CopyText(const std::string& Control);
    std::string Log() { return CopyText("MemMess"); }
    // Returns once the console has handled every input event sent so far (proved by a copy
    // from edtPort, which always holds a number); false when it did not answer.
    bool Sync() { return !CopyText("edtPort").empty(); }
    // Reads the log until Done holds or the timeout passes; Last gets the last text read.
    bool WaitLog(const std::function<bool(const std::string&)>& Done, int TimeoutMs,
                 std::string* Last = nullptr);
    // The clipboard's text after a copy made by the caller, "" when nothing was copied.
    std::string Clipboard(int TimeoutMs = 1000);

    // Pixels of a rectangle of the window, and of a status bar panel's inside.
    std::vector<uint32_t> Grab(TRect R) { return m_x.Grab(m_window, R); }
    std::vector<uint32_t> GrabPanel(int N);
    // Saves the window as an image file (by ImageMagick's import).
    bool SaveScreenshot(const std::string& Path);

    // Closes the window as the window manager would and waits for the process to end;
    // its exit status, or nothing when it did not end within the timeout.
    std::optional<int> Close(int TimeoutMs);

private:
    TXDisplay m_x;
    std::unique_ptr<TProcess> m_process;
    unsigned long m_window = 0;
};

// Waits for Done() to hold, looking every PeriodMs, at most TimeoutMs.
bool WaitFor(const std::function<bool()>& Done, int TimeoutMs, int PeriodMs = 20);

// The value of a key in a one-line JSON object: a number or literal as written, a string
// without its quotes (escapes \" \\ \n \r \t and \u00XX decoded); nothing when the key is
// missing.
std::optional<std::string> JsonValue(const std::string& Line, const std::string& Key);

// True when a UDP socket is bound to Port on this machine (from /proc/net/udp).
bool UdpPortBound(int Port);
// A UDP port on 127.0.0.1 that is free at the moment of asking (never 50000).
int FreeUdpPort();
