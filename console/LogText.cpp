#include "LogText.h"

#include "Cp1251.h"

#include <QFileInfo>
#include <QSaveFile>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
// Each byte's UTF-8 form in the low bytes of a word, and its length: one store per byte.
struct TUtf8Table {
    uint32_t Bytes[256];
    unsigned char Size[256];
};

TUtf8Table MakeUtf8Table() {
    TUtf8Table t{};
    for (int b = 0; b < 256; ++b) {
        const char16_t c = Cp1251ToChar(static_cast<unsigned char>(b)).unicode();
        unsigned char u[4] = {};
        if (c < 0x80) {
            u[0] = static_cast<unsigned char>(c);
            t.Size[b] = 1;
        } else if (c < 0x800) {
            u[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            u[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            t.Size[b] = 2;
        } else {
            u[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            u[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            u[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            t.Size[b] = 3;
        }
        std::memcpy(&t.Bytes[b], u, 4);
    }
    return t;
}
const TUtf8Table Utf8 = MakeUtf8Table();

std::array<unsigned char, 256> MakeFoldTable() {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 256; ++b) {
        const QChar upper = Cp1251ToChar(static_cast<unsigned char>(b)).toUpper();
        const std::string back = QStringToCp1251(QString(upper));
        // A capital outside the code page (there is none today) leaves the byte as it is.
        t[b] = (back.size() == 1 && back[0] != '?') ? static_cast<unsigned char>(back[0])
                                                    : static_cast<unsigned char>(b);
    }
    return t;
}
const std::array<unsigned char, 256> Fold = MakeFoldTable();

// The other case of each byte, or the byte itself: the candidates for one needle byte.
std::array<unsigned char, 256> MakeOtherCase() {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 256; ++b)
        t[b] = static_cast<unsigned char>(b);
    for (int b = 0; b < 256; ++b)
        if (Fold[b] != b)
            t[Fold[b]] = static_cast<unsigned char>(b), t[b] = Fold[b];
    return t;
}
const std::array<unsigned char, 256> OtherCase = MakeOtherCase();

bool MatchAt(const char* At, std::string_view Needle, bool MatchCase) {
    if (MatchCase)
        return std::memcmp(At, Needle.data(), Needle.size()) == 0;
    for (size_t j = 0; j < Needle.size(); ++j)
        if (Fold[static_cast<unsigned char>(At[j])] != Fold[static_cast<unsigned char>(Needle[j])])
            return false;
    return true;
}

// The starts in [Begin, Begin + 16) where both the needle's first and last byte (in either
// case) stand at their places, as a bit mask; the bytes at Begin + 15 + Last must exist.
struct TCandidates {
    unsigned char First[2], Last[2];
    size_t LastAt;

#if defined(__SSE2__)
    unsigned Mask(const char* P) const {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
        const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + LastAt));
        const __m128i f = _mm_or_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(char(First[0]))),
                                       _mm_cmpeq_epi8(a, _mm_set1_epi8(char(First[1]))));
        const __m128i l = _mm_or_si128(_mm_cmpeq_epi8(z, _mm_set1_epi8(char(Last[0]))),
                                       _mm_cmpeq_epi8(z, _mm_set1_epi8(char(Last[1]))));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(f, l)));
    }
#else
    unsigned Mask(const char* P) const {
        unsigned m = 0;
        for (int i = 0; i < 16; ++i) {
            const unsigned char a = P[i], z = P[i + LastAt];
            if ((a == First[0] || a == First[1]) && (z == Last[0] || z == Last[1]))
                m |= 1u << i;
        }
        return m;
    }
#endif
    bool At(const char* P) const {
        const unsigned char a = P[0], z = P[LastAt];
        return (a == First[0] || a == First[1]) && (z == Last[0] || z == Last[1]);
    }
};
} // namespace

size_t LogToUtf8Into(char* Out, const char* In, size_t Size) {
    char* o = Out;
    size_t i = 0;
    while (i < Size) {
        // Eight bytes of plain ASCII without a CR are copied as they are.
        if (i + 8 <= Size) {
            uint64_t w;
            std::memcpy(&w, In + i, 8);
            const uint64_t cr = w ^ 0x0D0D0D0D0D0D0D0DULL;
            const bool hasCr = ((cr - 0x0101010101010101ULL) & ~cr & 0x8080808080808080ULL) != 0;
            if (!hasCr && (w & 0x8080808080808080ULL) == 0) {
                std::memcpy(o, &w, 8);
                o += 8;
                i += 8;
                continue;
            }
        }
        const unsigned char b = static_cast<unsigned char>(In[i++]);
        if (b == '\r' && i < Size && In[i] == '\n')
            continue;                      // this platform ends a line with LF alone
        std::memcpy(o, &Utf8.Bytes[b], 4); // the spare bytes are overwritten by what follows
        o += Utf8.Size[b];
    }
    return static_cast<size_t>(o - Out);
}

void AppendLogAsUtf8(std::string& Out, const char* In, size_t Size) {
    const size_t old = Out.size();
    Out.resize(old + 3 * Size + 1); // room for the last byte's whole word
    Out.resize(old + LogToUtf8Into(Out.data() + old, In, Size));
}

unsigned char FoldCase(unsigned char B) {
    return Fold[B];
}

size_t FindInLog(std::string_view Text, std::string_view Needle, size_t From, bool Backward,
                 bool MatchCase) {
    const size_t n = Text.size(), m = Needle.size();
    if (m == 0 || m > n)
        return std::string_view::npos;
    const unsigned char f = Needle.front(), l = Needle.back();
    const TCandidates c{
        {f, MatchCase ? f : OtherCase[f]}, {l, MatchCase ? l : OtherCase[l]}, m - 1};
    const char* t = Text.data();
    const size_t lastStart = n - m; // the last offset a match can start at
    if (!Backward) {
        size_t i = From;
        // Blocks of 16 starts while the block's last bytes lie inside the text.
        for (; i + 16 <= lastStart + 1; i += 16) {
            for (unsigned mask = c.Mask(t + i); mask; mask &= mask - 1) {
                const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
                if (MatchAt(t + at, Needle, MatchCase))
                    return at;
            }
        }
        for (; i <= lastStart; ++i)
            if (c.At(t + i) && MatchAt(t + i, Needle, MatchCase))
                return i;
        return std::string_view::npos;
    }
    if (From < m)
        return std::string_view::npos;
    // Starts from End down to 0, where End is the last start whose match ends by From.
    size_t end = std::min(From - m, lastStart) + 1; // one past
    while (end >= 16) {
        const size_t i = end - 16;
        for (unsigned mask = c.Mask(t + i); mask; mask &= ~(1u << (31 - __builtin_clz(mask)))) {
            const size_t at = i + static_cast<size_t>(31 - __builtin_clz(mask));
            if (MatchAt(t + at, Needle, MatchCase))
                return at;
        }
        end = i;
    }
    while (end-- > 0)
        if (c.At(t + end) && MatchAt(t + end, Needle, MatchCase))
            return end;
    return std::string_view::npos;
}

bool SaveLogAsUtf8(std::string_view Log, const std::string& Path, std::atomic<size_t>* Done,
                   std::string& Error) {
    // An error is the system's text for the errno of the call that failed, read before anything
    // else can change it: the toolkit's text for it may be translated. Only a refusal of the
    // toolkit's own, with no failed call behind it, keeps the toolkit's words. Leaving without
    // commit() discards the new file.
    const QString path = QString::fromStdString(Path);
    QSaveFile file(path);
    auto fail = [&](int E) {
        Error = E != 0 ? std::system_category().message(E) : file.errorString().toStdString();
        return false;
    };
    // The toolkit refuses a folder under the name in words of its own; renaming a file onto it
    // fails with this errno.
    if (QFileInfo(path).isDir())
        return fail(EISDIR);
    // The new file lies in the same folder and takes the name only at commit(): after a crash
    // the name holds the old file or the whole new one.
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(errno);

    constexpr size_t Chunk = 4u << 20;
    std::unique_ptr<char[]> buf(new char[3 * (Chunk + 1) + 1]); // a chunk may take one more byte
    size_t pos = 0;
    while (pos < Log.size()) {
        size_t n = std::min(Chunk, Log.size() - pos);
        // Keep a CR LF pair in one chunk, so that it becomes one LF.
        if (pos + n < Log.size() && Log[pos + n - 1] == '\r')
            ++n;
        const size_t out = LogToUtf8Into(buf.get(), Log.data() + pos, n);
        // Unbuffered: a piece goes to the file in one call, and a failure shows at that call.
        for (size_t written = 0; written < out;) {
            errno = 0;
            const qint64 w = file.write(buf.get() + written, static_cast<qint64>(out - written));
            if (w <= 0)
                return fail(errno);
            written += static_cast<size_t>(w);
        }
        pos += n;
        if (Done)
            Done->store(pos, std::memory_order_relaxed);
    }
    // On the disk before it takes the name. commit() syncs too but goes on when that fails, and a
    // write the disk refuses late (a full quota, a network file system) shows only here.
    if (::fdatasync(file.handle()) != 0)
        return fail(errno);
    errno = 0;
    if (!file.commit())
        return fail(errno);
    return true;
}
