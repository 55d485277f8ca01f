// Reading chat(8) scripts. Where the man page is silent the choices follow what Debian's chat
// does when run (tokens, quotes, dashes, numbering of aborts); where chat quietly does
// something surprising with a mistake (an unknown escape loses its backslash, "TIMEOUT abc" is
// no timeout, a keyword without its argument is dropped) the script is refused instead.
#include "ChatScript.h"

#include <algorithm>
#include <fstream>
#include <utility>
#include <variant>

namespace {

struct TToken {
    std::string Text; // quotes removed, escapes still written
    int Line = 0;
};

struct TFail {
    int Line;
    std::string Reason;
};

std::string Hex(unsigned char c) {
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[c >> 4] + digits[c & 15];
}

// The file must be text: UTF-8 without NUL or control bytes other than blanks and line ends.
std::optional<TFail> CheckText(std::string_view Text) {
    int line = 1;
    for (size_t k = 0; k < Text.size();) {
        const auto c = static_cast<unsigned char>(Text[k]);
        if (c == '\n')
            ++line;
        if (c == 0)
            return TFail{line, "not a text file: it holds a NUL byte"};
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t' && c != '\f' && c != '\v')
            return TFail{line, "not a text file: control byte " + Hex(c)};
        if (c < 0x80) {
            ++k;
            continue;
        }
        // UTF-8: a lead byte and its continuation bytes, shortest form only.
        size_t n = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
        if (c >= 0xF5)
            n = 0;
        bool ok = n > 0;
        for (size_t j = 1; ok && j <= n; ++j)
            ok = k + j < Text.size() && (static_cast<unsigned char>(Text[k + j]) & 0xC0) == 0x80;
        if (ok && n == 2) {
            const auto c1 = static_cast<unsigned char>(Text[k + 1]);
            ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
        }
        if (ok && n == 3) {
            const auto c1 = static_cast<unsigned char>(Text[k + 1]);
            ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (!ok)
            return TFail{line, "not a text file: invalid UTF-8 at byte " + Hex(c)};
        k += n + 1;
    }
    return std::nullopt;
}

// chat's tokens: blanks separate them; a token that begins with a quote runs to the same quote
// on the same line (a backslash keeps the next byte in), any other runs to the next blank,
// quotes inside it being plain bytes. A line that begins with # is a comment.
std::variant<std::vector<TToken>, TFail> Tokenize(std::string_view Text) {
    std::vector<TToken> tokens;
    int line = 1;
    size_t k = 0;
    bool lineStart = true;
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
    };
    while (k < Text.size()) {
        const char c = Text[k];
        if (c == '\n') {
            ++line;
            ++k;
            lineStart = true;
            continue;
        }
        if (lineStart && c == '#') {
            while (k < Text.size() && Text[k] != '\n')
                ++k;
            continue;
        }
        lineStart = false;
        if (blank(c)) {
            ++k;
            continue;
        }
        TToken t;
        t.Line = line;
        if (c == '\'' || c == '"') {
            ++k;
            for (;;) {
                if (k >= Text.size() || Text[k] == '\n')
                    return TFail{line, std::string("unterminated quote: no closing ") + c +
                                           " on this line"};
                if (Text[k] == c) {
                    ++k;
                    break;
                }
                if (Text[k] == '\\' && k + 1 < Text.size() && Text[k + 1] != '\n') {
                    t.Text += Text.substr(k, 2);
                    k += 2;
                    continue;
                }
                t.Text += Text[k++];
            }
        } else {
            while (k < Text.size() && !blank(Text[k]) && Text[k] != '\n') {
                if (Text[k] == '\\' && k + 1 < Text.size() && Text[k + 1] != '\n') {
                    t.Text += Text.substr(k, 2);
                    k += 2;
                    continue;
                }
                t.Text += Text[k++];
            }
        }
        tokens.push_back(std::move(t));
    }
    return tokens;
}

enum class TWhere { Expect, Send, Say };

const char* WhereName(TWhere W) {
    return W == TWhere::Expect ? "an expect string" : W == TWhere::Send ? "a reply" : "a SAY";
}

// Decodes the escapes of one string. For a reply, the parts are cut at \d, \p and \K and a CR
// ends it unless \c does.
std::variant<TChatSend, std::string> Decode(std::string_view In, TWhere Where) {
    TChatSend out;
    out.Text = std::string(In);
    std::string bytes;
    bool noCr = false;
    auto flush = [&] {
        if (!bytes.empty())
            out.Parts.push_back({TChatSendPart::TKind::Bytes, bytes, 0});
        bytes.clear();
    };
    auto onlyInSend = [&](const std::string& Esc) -> std::optional<std::string> {
        if (Where != TWhere::Send)
            return Esc + " is not valid in " + WhereName(Where) + " (only in a reply)";
        return std::nullopt;
    };
    for (size_t k = 0; k < In.size(); ++k) {
        const char c = In[k];
        if (c == '^' && k + 1 < In.size()) {
            const char n = In[++k];
            if (!((n >= '@' && n <= '~') || n == '?'))
                return std::string("^") + n +
                       " is not a control character: ^ takes a letter or @[\\]^_?";
            const char ctl = static_cast<char>(n & 0x1F);
            if (ctl == 0 && Where != TWhere::Send)
                return std::string("^") + n + " (NUL) is not valid in " + WhereName(Where);
            bytes += ctl;
            continue;
        }
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (k + 1 >= In.size())
            return std::string("a lone backslash ends the string; write \\\\ for a backslash");
        const char e = In[++k];
        const std::string esc = std::string("\\") + e;
        if (e >= '0' && e <= '7') {
            int v = 0, n = 0;
            while (n < 3 && k < In.size() && In[k] >= '0' && In[k] <= '7') {
                v = v * 8 + (In[k] - '0');
                ++k;
                ++n;
            }
            --k;
            if (v > 0377)
                return "octal escape \\" + std::string(In.substr(k - n + 1, n)) + " is above \\377";
            if (v == 0) {
                if (auto bad = onlyInSend("\\0 (NUL)"))
                    return *bad;
            }
            bytes += static_cast<char>(v);
            continue;
        }
        switch (e) {
        case 'b':
            bytes += '\b';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 'r':
            bytes += '\r';
            break;
        case 's':
            bytes += ' ';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
            bytes += '\\';
            break;
        case '\'':
            bytes += '\'';
            break;
        case '"':
            bytes += '"';
            break;
        case '^':
            bytes += '^';
            break;
        case 'N':
            if (auto bad = onlyInSend(esc))
                return *bad;
            bytes += '\0';
            break;
        case 'q': // only hides the reply from chat's log; the bytes are the same
            if (auto bad = onlyInSend(esc))
                return *bad;
            break;
        case 'c':
            if (auto bad = onlyInSend(esc))
                return *bad;
            // chat sends a \c in the middle as a plain c: a mistake, since the man page wants
            // it last.
            if (k + 1 != In.size())
                return std::string("\\c must end the reply (it drops the CR after it)");
            noCr = true;
            break;
        case 'd':
        case 'p':
            if (auto bad = onlyInSend(esc))
                return *bad;
            flush();
            out.Parts.push_back({TChatSendPart::TKind::Delay, {}, e == 'd' ? 1000 : 100});
            break;
        case 'K':
            if (auto bad = onlyInSend(esc))
                return *bad;
            flush();
            out.Parts.push_back({TChatSendPart::TKind::Break, {}, 0});
            break;
        case 'T':
        case 'U':
            return esc + " (the telephone number given to chat with -" + e +
                   ") is not supported: write the number into the script";
        default:
            return "unknown escape " + esc + " (chat would send it as a plain " + e + ")";
        }
    }
    if (Where == TWhere::Send && !noCr)
        bytes += '\r';
    flush();
    return out;
}

std::string Bytes(const TChatSend& Send) {
    std::string all;
    for (const TChatSendPart& p : Send.Parts)
        all += p.Bytes;
    return all;
}

// A reply token: the words EOT and BREAK are special, @file is not supported.
std::variant<TChatSend, std::string> DecodeReply(const std::string& Text) {
    if (Text == "EOT")
        return TChatSend{Text, {{TChatSendPart::TKind::Bytes, "\x04", 0}}};
    if (Text == "BREAK")
        return TChatSend{Text, {{TChatSendPart::TKind::Break, {}, 0}}};
    if (!Text.empty() && Text[0] == '@')
        return std::string("sending a file's contents (@file) is not supported");
    return Decode(Text, TWhere::Send);
}

const char* const Keywords[] = {"ABORT",   "CLR_ABORT", "REPORT", "CLR_REPORT",
                                "TIMEOUT", "SAY",       "ECHO",   "HANGUP"};

std::string Upper(std::string S) {
    for (char& c : S)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return S;
}

std::optional<TChatStep::TKind> KeywordKind(const std::string& T) {
    using K = TChatStep::TKind;
    static const std::pair<const char*, K> kinds[] = {
        {"ABORT", K::Abort},     {"CLR_ABORT", K::ClrAbort},
        {"REPORT", K::Report},   {"CLR_REPORT", K::ClrReport},
        {"TIMEOUT", K::Timeout}, {"SAY", K::Say},
        {"ECHO", K::Echo},       {"HANGUP", K::Hangup}};
    for (const auto& [name, kind] : kinds)
        if (T == name)
            return kind;
    return std::nullopt;
}

// chat's keywords are upper case and any other token is an expect string; a keyword in the
// wrong case, or a CLR_ word chat does not have, is a typing mistake that chat would wait on.
std::optional<std::string> LooksLikeKeyword(const std::string& T) {
    const std::string up = Upper(T);
    for (const char* k : Keywords)
        if (up == k && T != k)
            return "unknown keyword " + T + ": keywords are upper case (" + k + ")";
    if (up.rfind("CLR_", 0) == 0 && !KeywordKind(T))
        return "unknown keyword " + T + " (chat has CLR_ABORT and CLR_REPORT)";
    return std::nullopt;
}

std::optional<TFail> ParseTokens(const std::vector<TToken>& Tokens, TChatScript& Script) {
    using K = TChatStep::TKind;
    for (size_t k = 0; k < Tokens.size();) {
        const TToken& t = Tokens[k];
        TChatStep step;
        step.Line = t.Line;
        step.Written = t.Text;
        if (auto kind = KeywordKind(t.Text)) {
            step.Kind = *kind;
            if (k + 1 >= Tokens.size())
                return TFail{t.Line, t.Text + " needs a value after it"};
            const TToken& arg = Tokens[k + 1];
            step.Written += " " + arg.Text;
            k += 2;
            switch (*kind) {
            case K::Timeout: {
                const std::string& v = arg.Text;
                bool digits = !v.empty() && v.size() <= 6;
                for (char c : v)
                    digits = digits && c >= '0' && c <= '9';
                // chat reads "TIMEOUT abc" as 0, and 0 as its initial 45 s.
                if (!digits)
                    return TFail{arg.Line, "TIMEOUT takes a whole number of seconds (0: the "
                                           "initial 45), not " +
                                               v};
                step.Seconds = std::stoi(v);
                break;
            }
            case K::Echo:
            case K::Hangup:
                if (arg.Text != "ON" && arg.Text != "OFF")
                    return TFail{arg.Line, t.Text + " takes ON or OFF, not " + arg.Text};
                step.On = arg.Text == "ON";
                break;
            default: {
                auto d = Decode(arg.Text, *kind == K::Say ? TWhere::Say : TWhere::Expect);
                if (auto* bad = std::get_if<std::string>(&d))
                    return TFail{arg.Line, *bad};
                step.Text = Bytes(std::get<TChatSend>(d));
                if (step.Text.empty() && *kind != K::Say)
                    return TFail{arg.Line, t.Text + " needs a string that is not empty"};
            }
            }
            Script.Steps.push_back(std::move(step));
            continue;
        }
        if (auto bad = LooksLikeKeyword(t.Text))
            return TFail{t.Line, *bad};
        // Dashes separate sub-expectations even inside quotes, as chat reads them.
        std::vector<std::string> pieces;
        size_t from = 0;
        for (;;) {
            const size_t dash = t.Text.find('-', from);
            pieces.push_back(t.Text.substr(from, dash - from));
            if (dash == std::string::npos)
                break;
            from = dash + 1;
        }
        // "a-s" ends on a reply: after s nothing more is awaited.
        if (pieces.size() % 2 == 0)
            pieces.emplace_back();
        for (size_t p = 0; p < pieces.size(); ++p) {
            if (p % 2 == 0) {
                auto d = Decode(pieces[p], TWhere::Expect);
                if (auto* bad = std::get_if<std::string>(&d))
                    return TFail{t.Line, *bad};
                step.Expects.push_back(Bytes(std::get<TChatSend>(d)));
            } else {
                auto d = DecodeReply(pieces[p]);
                if (auto* bad = std::get_if<std::string>(&d))
                    return TFail{t.Line, *bad};
                step.SubSends.push_back(std::get<TChatSend>(std::move(d)));
            }
        }
        k += 1;
        if (k < Tokens.size()) {
            const TToken& r = Tokens[k];
            step.Written += " " + r.Text;
            auto d = DecodeReply(r.Text);
            if (auto* bad = std::get_if<std::string>(&d))
                return TFail{r.Line, *bad};
            step.Reply = std::get<TChatSend>(std::move(d));
            k += 1;
        }
        Script.Steps.push_back(std::move(step));
    }
    return std::nullopt;
}

// chat holds at most 50 ABORT and 50 REPORT strings and ends with 2 on one more, wherever it
// comes: a script that would get there is refused before anything is sent.
constexpr size_t MaxStrings = 50;

std::optional<TFail> CheckStringCounts(const TChatScript& Script) {
    using K = TChatStep::TKind;
    std::vector<std::string> aborts, reports;
    for (const TChatStep& s : Script.Steps) {
        auto& list = s.Kind == K::Abort || s.Kind == K::ClrAbort ? aborts : reports;
        if (s.Kind == K::Abort || s.Kind == K::Report) {
            list.push_back(s.Text);
            if (list.size() > MaxStrings)
                return TFail{s.Line, "more than " + std::to_string(MaxStrings) + " " +
                                         (s.Kind == K::Abort ? "ABORT" : "REPORT") +
                                         " strings at once (chat's limit)"};
        } else if (s.Kind == K::ClrAbort || s.Kind == K::ClrReport)
            list.erase(std::remove(list.begin(), list.end(), s.Text), list.end());
    }
    return std::nullopt;
}

} // namespace

std::string TChatScriptError::Text() const {
    return File + ":" + std::to_string(Line) + ": " + Reason;
}

TChatParse ParseChatScript(std::string_view Text, const std::string& Name) {
    TChatParse result;
    auto fail = [&](int Line, std::string Reason) {
        result.Error = TChatScriptError{Name, Line, std::move(Reason)};
        return result;
    };
    if (Text.size() > ChatScriptMaxBytes)
        return fail(0, "too large for a script: " + std::to_string(Text.size()) +
                           " bytes, the limit is " + std::to_string(ChatScriptMaxBytes));
    if (auto bad = CheckText(Text))
        return fail(bad->Line, bad->Reason);
    auto tokens = Tokenize(Text);
    if (auto* bad = std::get_if<TFail>(&tokens))
        return fail(bad->Line, bad->Reason);
    TChatScript script;
    script.Name = Name;
    if (auto bad = ParseTokens(std::get<std::vector<TToken>>(tokens), script))
        return fail(bad->Line, bad->Reason);
    if (auto bad = CheckStringCounts(script))
        return fail(bad->Line, bad->Reason);
    if (script.Steps.empty())
        return fail(0, "the script is empty");
    result.Script = std::move(script);
    return result;
}

TChatParse LoadChatScript(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        TChatParse r;
        r.Error = TChatScriptError{Path, 0, "cannot be read"};
        return r;
    }
    // One byte more than the limit tells a file at the limit from a larger one.
    std::string text(ChatScriptMaxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > ChatScriptMaxBytes) {
        TChatParse r;
        r.Error = TChatScriptError{Path, 0,
                                   "too large for a script: more than " +
                                       std::to_string(ChatScriptMaxBytes) + " bytes"};
        return r;
    }
    return ParseChatScript(text, Path);
}
