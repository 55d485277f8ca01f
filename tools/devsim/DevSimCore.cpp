#include "DevSimCore.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {

uint8_t RandomByteExcept(std::mt19937& Rng, uint8_t Avoid) {
    uint8_t b;
    do {
        b = static_cast<uint8_t>(Rng() & 0xFF);
    } while (b == Avoid);
    return b;
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

// ---- Packet requests -------------------------------------------------------------------------

const char* RequestKindName(TRequestKind Kind) {
    switch (Kind) {
    case TRequestKind::Kind1:
        return "kind1";
    case TRequestKind::Kind2:
        return "kind2";
    case TRequestKind::Kind3:
        return "kind3";
    case TRequestKind::Empty:
        return "empty";
    case TRequestKind::Damaged:
        return "damaged";
    case TRequestKind::Garbage:
        return "garbage";
    }
    return "?";
}

uint8_t Crc8(std::string_view Bytes) {
    // Bit by bit from the definition, not from a table: this is the second implementation the
    // console's answers are checked against. Each byte goes in least significant bit first;
    // when the bit shifted out differs from the data bit, the register is XORed with 0x8C,
    // x^8 + x^5 + x^4 + 1 with its bits reversed. Initial value 0, no final XOR.
    uint8_t crc = 0;
    for (const char c : Bytes) {
        uint8_t data = static_cast<uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ data) & 1) != 0;
            crc = static_cast<uint8_t>(crc >> 1);
            if (mix)
                crc ^= 0x8C;
            data = static_cast<uint8_t>(data >> 1);
        }
    }
    return crc;
}

TBytes MakeFrame(const TBytes& Payload) {
    const size_t len = std::min<size_t>(Payload.size(), 252);
    TBytes frame;
    frame += static_cast<char>(FrameStart);
    frame += static_cast<char>(len);
    frame.append(Payload, 0, len);
    frame += static_cast<char>(Crc8(frame));
    return frame;
}

TBytes ExpectedAnswer(const TBytes& Frame) {
    if (Frame.size() < 3 || static_cast<uint8_t>(Frame[0]) != FrameStart)
        return {};
    const size_t len = static_cast<uint8_t>(Frame[1]);
    if (Frame.size() != len + 3 || len < 2)
        return {};
    if (Crc8(std::string_view(Frame).substr(0, len + 2)) != static_cast<uint8_t>(Frame[len + 2]))
        return {};
    const uint8_t kind = static_cast<uint8_t>(Frame[3]);
    if (kind != 1 && kind != 2)
        return {};
    return MakeFrame(TBytes{Frame[2], Frame[3]});
}

TRequest MakeRequest(TRequestKind Kind, std::mt19937& Rng, unsigned ExtraMax) {
    ExtraMax = std::min(ExtraMax, 250u);
    auto extraBytes = [&](bool avoidStart) {
        TBytes extra;
        const unsigned n = ExtraMax ? Rng() % (ExtraMax + 1) : 0;
        for (unsigned k = 0; k < n; ++k)
            extra += static_cast<char>(avoidStart ? RandomByteExcept(Rng, FrameStart)
                                                  : static_cast<uint8_t>(Rng() & 0xFF));
        return extra;
    };
    auto answered = [&](uint8_t kind) {
        TBytes payload{static_cast<char>(Rng() & 0xFF), static_cast<char>(kind)};
        payload += extraBytes(false);
        TBytes frame = MakeFrame(payload);
        return TRequest{kind == 1 ? TRequestKind::Kind1 : TRequestKind::Kind2, frame,
                        ExpectedAnswer(frame)};
    };

    switch (Kind) {
    case TRequestKind::Kind1:
        return answered(1);
    case TRequestKind::Kind2:
        return answered(2);
    case TRequestKind::Kind3: {
        TBytes payload{static_cast<char>(Rng() & 0xFF), 3};
        payload += extraBytes(false);
        return TRequest{Kind, MakeFrame(payload), {}};
    }
    case TRequestKind::Empty:
        return TRequest{Kind, MakeFrame({}), {}};
    case TRequestKind::Damaged: {
        // A kind 1 or 2 request with a wrong CRC. Its bytes after the start byte are skipped
        // one at a time by the console, so none of them may look like a start byte, and its
        // length byte may not either.
        const uint8_t kind = 1 + (Rng() & 1);
        TBytes payload{static_cast<char>(RandomByteExcept(Rng, FrameStart)),
                       static_cast<char>(kind)};
        payload += extraBytes(true);
        if (payload.size() == FrameStart)
            payload.pop_back();
        TBytes frame = MakeFrame(payload);
        uint8_t& crc = reinterpret_cast<uint8_t&>(frame.back());
        const uint8_t good = crc;
        do {
            crc = static_cast<uint8_t>(good ^ (1 + Rng() % 255));
        } while (crc == FrameStart);
        return TRequest{Kind, frame, {}};
    }
    case TRequestKind::Garbage: {
        TRequest r = answered(1 + (Rng() & 1));
        TBytes garbage;
        const unsigned n = 1 + Rng() % 8;
        for (unsigned k = 0; k < n; ++k)
            garbage += static_cast<char>(RandomByteExcept(Rng, FrameStart));
        r.Kind = TRequestKind::Garbage;
        r.Bytes = garbage + r.Bytes;
        return r;
    }
    }
    return {};
}

std::vector<TRequestKind> PlanRequests(const TRequestMix& Mix, std::mt19937& Rng) {
    std::vector<TRequestKind> plan;
    for (unsigned k = 0; k < Mix.Normal; ++k)
        plan.push_back((Rng() & 1) ? TRequestKind::Kind2 : TRequestKind::Kind1);
    plan.insert(plan.end(), Mix.Kind3, TRequestKind::Kind3);
    plan.insert(plan.end(), Mix.Empty, TRequestKind::Empty);
    plan.insert(plan.end(), Mix.Damaged, TRequestKind::Damaged);
    plan.insert(plan.end(), Mix.Garbage, TRequestKind::Garbage);
    // Fisher-Yates with the generator's own output, so a seed gives the same plan everywhere.
    for (size_t i = plan.size(); i > 1; --i)
        std::swap(plan[i - 1], plan[Rng() % i]);
    return plan;
}

void TAnswerCheck::Expect(TBytes Answer) {
    m_expected = std::move(Answer);
    m_got.clear();
}

size_t TAnswerCheck::Feed(std::string_view Data) {
    size_t take = Data.size();
    if (!m_expected.empty())
        take = std::min(take, m_expected.size() - std::min(m_got.size(), m_expected.size()));
    m_got.append(Data.substr(0, take));
    return take;
}

TAnswerCheck::TVerdict TAnswerCheck::Verdict() const {
    if (m_expected.empty())
        return m_got.empty() ? TVerdict::Ok : TVerdict::Wrong;
    if (m_got.empty())
        return TVerdict::Missing;
    return m_got == m_expected ? TVerdict::Ok : TVerdict::Wrong;
}

// ---- Modem ----------------------------------------------------------------------------------

TBytes ModemLine(std::string_view Text) {
    return "\r\n" + TBytes(Text) + "\r\n";
}

namespace {

// Where the command begins: the first "AT" in any letter case, or npos.
size_t FindAt(const TBytes& Line) {
    for (size_t k = 0; k + 1 < Line.size(); ++k)
        if (Upper(Line[k]) == 'A' && Upper(Line[k + 1]) == 'T')
            return k;
    return TBytes::npos;
}

// The echo setting a command line leaves: En among its basic commands ("ATE0", "AT&FE1V1").
// A dial command takes the rest of the line as its number and an extended one (+...) as its
// argument, so an E there is not an echo command.
bool EchoAfter(std::string_view Body, bool Echo) {
    for (size_t k = 0; k < Body.size(); ++k) {
        const char c = Upper(Body[k]);
        if (c == 'D' || c == '+')
            break;
        if (c == '&') {
            ++k; // &F, &C1...: the letter after & is not a command of its own
            continue;
        }
        if (c == 'E') {
            // A command without its number means 0, as ATE is ATE0.
            const bool digit = k + 1 < Body.size() && Body[k + 1] >= '0' && Body[k + 1] <= '9';
            Echo = digit && Body[k + 1] != '0';
            if (digit)
                ++k;
        }
    }
    return Echo;
}

} // namespace

TBytes TModem::Feed(std::string_view Chunk, std::vector<TLine>& Lines) {
    TBytes answers;
    for (char c : Chunk) {
        // Only the bytes of a command line come back: a request frame that reaches the modem
        // after a burst (a late answer from the console, which repeats the request) must not
        // return as a frame, or console and modem would answer each other for ever.
        if (m_echo && ((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\b'))
            answers += c;
        switch (c) {
        case '\r': {
            std::string answer;
            const size_t at = FindAt(m_line);
            if (m_overlong)
                answer = "ERROR";
            else if (m_line.empty())
                answer = m_answerEmpty ? "ERROR" : "";
            else if (at != TBytes::npos) {
                answer = "OK";
                m_echo = EchoAfter(std::string_view(m_line).substr(at + 2), m_echo);
            } else
                answer = "ERROR";
            if (answer == "OK")
                ++m_ok;
            else if (answer == "ERROR")
                ++m_error;
            else
                ++m_ignored;
            if (!answer.empty())
                answers += ModemLine(answer);
            Lines.push_back({m_line, answer});
            m_line.clear();
            m_overlong = false;
            break;
        }
        case '\n':
            break;
        case '\b':
            if (!m_line.empty())
                m_line.pop_back();
            break;
        default:
            if (m_line.size() < m_maxLine)
                m_line += c;
            else
                m_overlong = true;
        }
    }
    return answers;
}

// ---- Round-trip statistics ------------------------------------------------------------------

std::vector<double> TRttStats::Sorted() const {
    std::vector<double> s = m_samples;
    std::sort(s.begin(), s.end());
    return s;
}

double TRttStats::Median() const {
    if (m_samples.empty())
        return 0;
    const std::vector<double> s = Sorted();
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

double TRttStats::Percentile(double P) const {
    if (m_samples.empty())
        return 0;
    const std::vector<double> s = Sorted();
    // The small allowance keeps 99.9 % of 1000 at rank 999 despite 0.999 * 1000 > 999 in
    // binary floating point.
    const double rank = std::ceil(P / 100.0 * static_cast<double>(s.size()) - 1e-9);
    const size_t r = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(s.size())));
    return s[r - 1];
}

double TRttStats::Max() const {
    return m_samples.empty() ? 0 : *std::max_element(m_samples.begin(), m_samples.end());
}

// ---- Byte text ------------------------------------------------------------------------------

std::optional<TBytes> ParseEscaped(std::string_view Text) {
    TBytes out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] != '\\') {
            out += Text[i];
            continue;
        }
        if (++i == Text.size())
            return std::nullopt;
        switch (Text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'e':
            out += '\x1b';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            if (i + 2 >= Text.size())
                return std::nullopt;
            const int hi = HexDigit(Text[i + 1]), lo = HexDigit(Text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::optional<TBytes> ParseHex(std::string_view Text) {
    TBytes out;
    size_t i = 0;
    while (i < Text.size()) {
        if (Text[i] == ' ' || Text[i] == '\t') {
            ++i;
            continue;
        }
        if (i + 1 >= Text.size())
            return std::nullopt;
        const int hi = HexDigit(Text[i]), lo = HexDigit(Text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::string JsonString(std::string_view Bytes) {
    std::string out = "\"";
    for (char ch : Bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

void TJsonObject::Key(std::string_view Key) {
    if (!m_body.empty())
        m_body += ',';
    m_body += JsonString(Key);
    m_body += ':';
}

TJsonObject& TJsonObject::Add(std::string_view K, std::string_view Bytes) {
    Key(K);
    m_body += JsonString(Bytes);
    return *this;
}

TJsonObject& TJsonObject::Add(std::string_view K, long long Value) {
    Key(K);
    m_body += std::to_string(Value);
    return *this;
}

TJsonObject& TJsonObject::Add(std::string_view K, unsigned long long Value) {
    Key(K);
    m_body += std::to_string(Value);
    return *this;
}

TJsonObject& TJsonObject::Add(std::string_view K, double Value, int Decimals) {
    Key(K);
    if (!std::isfinite(Value)) {
        m_body += "null";
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", Decimals, Value);
        m_body += buf;
    }
    return *this;
}

TJsonObject& TJsonObject::Add(std::string_view K, bool Value) {
    Key(K);
    m_body += Value ? "true" : "false";
    return *this;
}

TJsonObject& TJsonObject::AddNull(std::string_view K) {
    Key(K);
    m_body += "null";
    return *this;
}

TJsonObject& TJsonObject::AddRaw(std::string_view K, std::string_view Json) {
    Key(K);
    m_body += Json;
    return *this;
}

// ---- UDP ------------------------------------------------------------------------------------

std::optional<TBytes> DatagramFor(std::string_view Kind) {
    if (Kind == "hello")
        return TBytes("HELLO from tevro-devsim");
    if (Kind == "ssi")
        return TBytes("SSI 250011234567890");
    if (Kind == "imei")
        return TBytes("IMEI 356938035643809");
    if (Kind == "act")
        return TBytes("ACT 1 tevro-devsim activation");
    if (Kind == "text")
        return TBytes("status: temp 21C, vbat 4.10V");
    return std::nullopt;
}

bool ContainsKeyword(std::string_view Bytes, std::string_view Keyword) {
    std::string upper(Bytes);
    for (char& c : upper)
        c = Upper(c);
    return upper.find(Keyword) != std::string::npos;
}

std::optional<std::string> RefuseTarget(std::string_view Host) {
    if (Host == "127.0.0.1")
        return std::nullopt;
    return "refusing to send to \"" + std::string(Host) +
           "\": tevro-devsim sends datagrams only to 127.0.0.1";
}

// ---- Floods ---------------------------------------------------------------------------------

void AppendFloodTextLine(TBytes& Out, uint64_t Index) {
    // "line NNNNNNNNNNNN " then 60 characters of a rotating alphabet, then CR LF; made by hand
    // because a flood makes about a million of them a second.
    static constexpr char fill[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr size_t fillSize = 62;
    char line[FloodLineSize];
    std::memcpy(line, "line ", 5);
    uint64_t n = Index;
    for (int k = 16; k >= 5; --k) {
        line[k] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    line[17] = ' ';
    std::memcpy(line + 18, fill + Index % fillSize, FloodLineSize - 20);
    line[78] = '\r';
    line[79] = '\n';
    Out.append(line, FloodLineSize);
}

TBytes FloodTextLine(uint64_t Index) {
    TBytes line;
    AppendFloodTextLine(line, Index);
    return line;
}

TBytes FloodDatagram(uint64_t Index, size_t Size) {
    Size = std::clamp<size_t>(Size, 20, 8192);
    char head[40];
    const char* prefix = Index % 10 == 0 ? "HELLO" : Index % 10 == 5 ? "IMEI" : "data";
    std::snprintf(head, sizeof head, "%s #%llu ", prefix, static_cast<unsigned long long>(Index));
    TBytes d(head);
    for (size_t k = 0; d.size() < Size; ++k)
        d += static_cast<char>('0' + k % 10);
    d.resize(Size);
    return d;
}

// ---- Commands on standard input --------------------------------------------------------------

TCommand ParseCommand(std::string_view Line) {
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n'))
        Line.remove_suffix(1);
    const size_t sp = Line.find(' ');
    const std::string_view word = Line.substr(0, sp);
    const std::string_view arg = sp == std::string_view::npos ? "" : Line.substr(sp + 1);
    TCommand cmd;
    auto bad = [&](std::string text) {
        cmd.Kind = TCommand::TKind::Bad;
        cmd.Error = std::move(text);
        return cmd;
    };
    auto bytes = [&](TCommand::TKind kind, std::optional<TBytes> b, const char* what) {
        if (!b)
            return bad(std::string("bad ") + what + ": " + std::string(arg));
        cmd.Kind = kind;
        cmd.Bytes = std::move(*b);
        return cmd;
    };
    if (word.empty() || word[0] == '#')
        return cmd;
    if (word == "quit" || word == "exit") {
        cmd.Kind = TCommand::TKind::Quit;
        return cmd;
    }
    if (word == "start") {
        cmd.Kind = TCommand::TKind::Start;
        return cmd;
    }
    if (word == "ring")
        return bytes(TCommand::TKind::Line, TBytes("RING"), "line");
    if (word == "line")
        return bytes(TCommand::TKind::Line, ParseEscaped(arg), "escaped text");
    if (word == "send")
        return bytes(TCommand::TKind::Send, ParseEscaped(arg), "escaped text");
    if (word == "hex")
        return bytes(TCommand::TKind::Send, ParseHex(arg), "hex bytes");
    if (word == "udp")
        return bytes(TCommand::TKind::Udp, DatagramFor(arg), "datagram kind");
    if (word == "udp-send")
        return bytes(TCommand::TKind::Udp, ParseEscaped(arg), "escaped text");
    if (word == "burst") {
        // The text must outlive the end pointer that strtoul leaves inside it.
        const std::string text(arg);
        char* end = nullptr;
        const unsigned long n = std::strtoul(text.c_str(), &end, 10);
        if (arg.empty() || *end || arg[0] == '-' || n < 1 || n > 1'000'000)
            return bad("burst wants a count from 1 to 1000000, not \"" + std::string(arg) + "\"");
        cmd.Kind = TCommand::TKind::Burst;
        cmd.Count = static_cast<unsigned>(n);
        return cmd;
    }
    return bad("unknown command: " + std::string(word));
}

} // namespace devsim
