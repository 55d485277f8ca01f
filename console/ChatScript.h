// Modem dialogue scripts in chat(8)'s language, read once into steps that TChatRunner plays.
// Everything the runner cannot play as chat would is refused here, with the line and why, so a
// script that loads is one that runs; nothing is sent from a script that did not load.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A reply, cut where it waits or breaks: "A\dB" is bytes "A", a 1 s delay, bytes "B\r".
struct TChatSendPart {
    enum class TKind { Bytes, Delay, Break } Kind = TKind::Bytes;
    std::string Bytes; // Bytes
    int Ms = 0;        // Delay
};

struct TChatSend {
    std::string Text; // as written in the script, for progress and logs
    std::vector<TChatSendPart> Parts;
};

struct TChatStep {
    enum class TKind {
        Expect,    // wait for Expects[0] (alternatives below), then send Reply
        Abort,     // Text: a string that ends the script with 4 + its place among the aborts
        ClrAbort,  // Text: drop that abort string; the later ones move up a place
        Report,    // Text: a string reported with what follows it up to a control byte
        ClrReport, // Text
        Timeout,   // Seconds: for the expectations after it; 0: the initial 45 s
        Say,       // Text: shown to the user
        Echo,      // On: show what the device sends
        Hangup,    // On: a hang-up of the line ends the script (exit 2); off: goes on
    } Kind = TKind::Expect;
    int Line = 0;
    std::string Written; // the step's tokens as written

    // Expect: "a-s1-b-s2-c" waits for a; if it does not come in time, sends s1 and waits for b,
    // and so on; the last one timing out ends the script with 3. An empty string is matched
    // at once. SubSends[i] is sent when Expects[i] timed out.
    std::vector<std::string> Expects;
    std::vector<TChatSend> SubSends;
    std::optional<TChatSend> Reply; // none for a last expectation without a reply

    std::string Text;
    int Seconds = 0;
    bool On = false;
};

struct TChatScript {
    std::string Name; // the file name, for logs
    std::vector<TChatStep> Steps;
};

struct TChatScriptError {
    std::string File;
    int Line = 0; // 0: the file as a whole
    std::string Reason;
    std::string Text() const; // "FILE:LINE: REASON"
};

struct TChatParse {
    std::optional<TChatScript> Script;
    std::optional<TChatScriptError> Error;
    bool Ok() const { return Script.has_value(); }
};

// A script larger than this is not a dialogue someone wrote; it is refused unread.
constexpr std::size_t ChatScriptMaxBytes = 1 << 20;

// Parses a script's text; Name is used in errors and in the script.
TChatParse ParseChatScript(std::string_view Text, const std::string& Name);
// Reads and parses a script file.
TChatParse LoadChatScript(const std::string& Path);
