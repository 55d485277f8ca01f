// The simulated device's logic without I/O: request frames and answer checking, the modem's
// line handling, round-trip statistics, stdin commands, byte-text escapes and JSON text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// A string of single bytes of any value, as on the serial line or in a datagram.
using TBytes = std::string;

// ---- Packet requests -------------------------------------------------------------------------

// Kind1/Kind2: a request the console answers. Kind3, Empty (length 0) and Damaged (bad CRC)
// must get no answer. Garbage: a few stray bytes, then a kind 1 or 2 request that is answered.
enum class TRequestKind { Kind1, Kind2, Kind3, Empty, Damaged, Garbage };

const char* RequestKindName(TRequestKind Kind);

// The start byte of every frame, in both directions.
constexpr uint8_t FrameStart = 0x1E;

// The Dallas/Maxim 1-Wire CRC-8 of Bytes (CRC-8/MAXIM-DOW: polynomial 0x31, reflected, initial
// value 0, no final XOR), computed bit by bit; its check value over "123456789" is 0xA1.
uint8_t Crc8(std::string_view Bytes);

// One frame: 0x1E, payload length, payload, CRC-8 (payload of at most 252 bytes).
TBytes MakeFrame(const TBytes& Payload);

// The answer a correct console gives to the bytes of one frame: 1E 02 P1 P2 CRC for a valid
// frame of kind 1 or 2 (length 2 or more), nothing for anything else.
TBytes ExpectedAnswer(const TBytes& Frame);

struct TRequest {
    TRequestKind Kind;
    TBytes Bytes;  // what goes on the line (garbage included)
    TBytes Answer; // what must come back; empty when nothing may come back
};

// Builds one request of Kind with a random P1 and ExtraMax extra payload bytes at most.
// Damaged and garbage-prefixed requests never carry 0x1E outside their own start byte, and
// a damaged request's length byte is not 0x1E either, so no false frame can form in them.
TRequest MakeRequest(TRequestKind Kind, std::mt19937& Rng, unsigned ExtraMax = 0);

struct TRequestMix {
    unsigned Normal = 0; // kinds 1 and 2, half each on average
    unsigned Kind3 = 0;
    unsigned Empty = 0;
    unsigned Damaged = 0;
    unsigned Garbage = 0;
};

// The order in which the requests of Mix are sent: every kind spread over the run at random.
std::vector<TRequestKind> PlanRequests(const TRequestMix& Mix, std::mt19937& Rng);

// Collects the bytes that come back after one request and judges them.
class TAnswerCheck {
public:
    enum class TVerdict { Ok, Missing, Wrong };

    void Expect(TBytes Answer); // empty: nothing may come back
    // Takes bytes from the line; returns how many belong to this answer. Bytes beyond a
    // complete answer are not taken (the caller counts them as stray).
    size_t Feed(std::string_view Data);
    bool Complete() const { return !m_expected.empty() && m_got.size() >= m_expected.size(); }
    bool ExpectsAnswer() const { return !m_expected.empty(); }
    const TBytes& Got() const { return m_got; }
    // The verdict once the answer is complete or its time is up.
    TVerdict Verdict() const;

private:
    TBytes m_expected;
    TBytes m_got;
};

// ---- Modem ----------------------------------------------------------------------------------

// Frames an answer or an unsolicited line the way a modem does: CR LF, text, CR LF.
TBytes ModemLine(std::string_view Text);

// A modem in command mode: every line ended by CR is answered "OK" when it holds AT in any
// letter case (what comes before the AT is noise and is ignored, as a modem hunts for "AT"),
// "ERROR" otherwise. LF is ignored (the console ends commands with CR LF), backspace removes the
// last byte, an empty line gets no answer unless AnswerEmptyLines. While echo is on (ATE1, the
// state a modem starts in; ATE0 turns it off) the bytes of a command line (printable ASCII, CR,
// backspace) are sent back as they come, before the answer to their line.
class TModem {
public:
    struct TLine {
        TBytes Text;
        std::string Answer; // "OK", "ERROR", or empty for an ignored empty line
    };

    explicit TModem(bool AnswerEmptyLines = false, size_t MaxLine = 1024)
        : m_answerEmpty(AnswerEmptyLines), m_maxLine(MaxLine) {}

    // Takes received bytes (any chunking); returns the answers to send, in order, and
    // appends each finished line to Lines.
    TBytes Feed(std::string_view Chunk, std::vector<TLine>& Lines);

    bool Echo() const { return m_echo; }
    unsigned OkCount() const { return m_ok; }
    unsigned ErrorCount() const { return m_error; }
    unsigned IgnoredCount() const { return m_ignored; }

private:
    bool m_answerEmpty;
    size_t m_maxLine;
    TBytes m_line;
    bool m_overlong = false;
    bool m_echo = true;
    unsigned m_ok = 0, m_error = 0, m_ignored = 0;
};

// ---- Round-trip statistics ------------------------------------------------------------------

class TRttStats {
public:
    void Add(double Ms) { m_samples.push_back(Ms); }
    size_t Count() const { return m_samples.size(); }
    // Middle value (mean of the two middle ones for an even count); 0 without samples.
    double Median() const;
    // Nearest-rank percentile: the smallest sample with at least P % of the samples at or
    // below it; 0 without samples.
    double Percentile(double P) const;
    double Max() const;

private:
    std::vector<double> Sorted() const;
    std::vector<double> m_samples;
};

// ---- Byte text ------------------------------------------------------------------------------

// C-style escapes: \r \n \t \e \0 \\ \xHH. nullopt for a bad or unfinished escape.
std::optional<TBytes> ParseEscaped(std::string_view Text);
// Hex byte pairs, blanks between bytes allowed ("1E 02 05"). nullopt for anything else.
std::optional<TBytes> ParseHex(std::string_view Text);

// A JSON string literal for bytes: each byte is the character of that code (as Latin-1), so
// a reader gets the bytes back by encoding the text as Latin-1.
std::string JsonString(std::string_view Bytes);

// One JSON object, written in the order the members are added.
class TJsonObject {
public:
    TJsonObject& Add(std::string_view Key, std::string_view Bytes);
    TJsonObject& Add(std::string_view Key, const char* Bytes) {
        return Add(Key, std::string_view(Bytes));
    }
    TJsonObject& Add(std::string_view Key, long long Value);
    TJsonObject& Add(std::string_view Key, unsigned long long Value);
    TJsonObject& Add(std::string_view Key, int Value) { return Add(Key, (long long)Value); }
    TJsonObject& Add(std::string_view Key, unsigned Value) {
        return Add(Key, (unsigned long long)Value);
    }
    TJsonObject& Add(std::string_view Key, unsigned long Value) {
        return Add(Key, (unsigned long long)Value);
    }
    TJsonObject& Add(std::string_view Key, double Value, int Decimals = 3);
    TJsonObject& Add(std::string_view Key, bool Value);
    TJsonObject& AddNull(std::string_view Key);
    TJsonObject& AddRaw(std::string_view Key, std::string_view Json);
    std::string Str() const { return "{" + m_body + "}"; }

private:
    void Key(std::string_view Key);
    std::string m_body;
};

// ---- UDP ------------------------------------------------------------------------------------

// The datagram sent for a kind name: "hello", "ssi", "imei", "act" (an activation message)
// or "text" (plain text that holds none of the console's keywords). nullopt for other names.
std::optional<TBytes> DatagramFor(std::string_view Kind);

// True when the console's keywords ACT, SSI, HELLO, IMEI occur in Bytes in any letter case.
bool ContainsKeyword(std::string_view Bytes, std::string_view Keyword);

// The only address this simulator sends to is 127.0.0.1; the error text for anything else.
std::optional<std::string> RefuseTarget(std::string_view Host);

// ---- Floods ---------------------------------------------------------------------------------

// Text line Index of a text flood: 78 printable bytes, then CR LF.
TBytes FloodTextLine(uint64_t Index);
void AppendFloodTextLine(TBytes& Out, uint64_t Index);
constexpr size_t FloodLineSize = 80;

// Datagram Index of a datagram flood, Size bytes (20 to 8192): every tenth one a HELLO, every
// tenth one (offset by five) an IMEI, the rest plain text with no keyword.
TBytes FloodDatagram(uint64_t Index, size_t Size);

// ---- Commands on standard input --------------------------------------------------------------

struct TCommand {
    enum class TKind { None, Quit, Start, Line, Send, Udp, Burst, Bad } Kind = TKind::None;
    TBytes Bytes;       // Line: text of the unsolicited line; Send/Udp: the bytes to send
    unsigned Count = 0; // Burst: requests to send
    std::string Error;  // Bad: what is wrong
};

// One line typed or piped on standard input:
//   quit | start | ring | line TEXT | send ESCAPED | hex HH.. | udp KIND | udp-send ESCAPED
//   | burst N
TCommand ParseCommand(std::string_view Line);

} // namespace devsim
