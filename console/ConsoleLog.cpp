#include "ConsoleLog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

size_t NormalizeInto(char* Out, const char* Text, size_t Size) {
    char* o = Out;
    size_t i = 0;
    while (i < Size) {
        // Copy the run without CR or LF in one go: the common case is plain text.
        size_t run = i;
        while (run < Size && Text[run] != '\r' && Text[run] != '\n')
            ++run;
        std::memcpy(o, Text + i, run - i);
        o += run - i;
        if (run == Size)
            break;
        *o++ = '\r';
        *o++ = '\n';
        i = (Text[run] == '\r' && run + 1 < Size && Text[run + 1] == '\n') ? run + 2 : run + 1;
    }
    return static_cast<size_t>(o - Out);
}

void AppendNormalized(std::string& Out, const char* Text, size_t Size) {
    const size_t old = Out.size();
    Out.resize(old + 2 * Size);
    Out.resize(old + NormalizeInto(Out.data() + old, Text, Size));
}

struct TConsoleLog::TSharedBlock {
    char* Data;
    ~TSharedBlock() { std::free(Data); }
};

TConsoleLog::~TConsoleLog() {
    ReleaseBlock();
}

void TConsoleLog::ReleaseBlock() {
    if (m_shared)
        m_shared.reset(); // the last holder frees it
    else
        std::free(m_data);
    m_data = nullptr;
}

std::shared_ptr<const char> TConsoleLog::Share() {
    if (!m_shared)
        m_shared.reset(new TSharedBlock{m_data}); // not a temporary: that would free the block
    return std::shared_ptr<const char>(m_shared, m_data);
}

void TConsoleLog::Reserve(size_t More) {
    if (m_size + More <= m_capacity)
        return;
    const size_t capacity = std::max({m_capacity * 2, m_size + More, size_t(65536)});
    if (m_shared && m_shared.use_count() > 1) {
        // Someone still reads the block: it stays where it is, and the log moves on.
        char* fresh = static_cast<char*>(std::malloc(capacity));
        if (!fresh)
            throw std::bad_alloc();
        if (m_size > 0)
            std::memcpy(fresh, m_data, m_size);
        m_shared.reset();
        m_data = fresh;
        m_capacity = capacity;
        return;
    }
    if (m_shared) {
        m_shared->Data = nullptr; // no one else holds it: the block is the log's again
        m_shared.reset();
    }
    char* grown = static_cast<char*>(std::realloc(m_data, capacity));
    if (!grown)
        throw std::bad_alloc();
    m_data = grown;
    m_capacity = capacity;
}

void TConsoleLog::Append(const std::string& Text) {
    if (Text.empty())
        return;
    const size_t old = m_size;
    const size_t rows = m_rowStarts.size();
    Reserve(2 * Text.size());
    m_size += NormalizeInto(m_data + m_size, Text.data(), Text.size());
    try {
        IndexFrom(old);
    } catch (...) {
        // The log keeps its previous text when it cannot take more.
        m_size = old;
        m_rowStarts.resize(rows);
        throw;
    }
}

void TConsoleLog::AddLine(const std::string& Text) {
    if (m_size == 0 || m_data[m_size - 1] == '\n')
        Append(Text + "\r\n");
    else
        Append("\r\n" + Text);
}

void TConsoleLog::SetText(const std::string& Text) {
    Clear();
    Append(Text);
}

void TConsoleLog::Clear() {
    ReleaseBlock();
    m_size = m_capacity = 0;
    std::vector<size_t>{0}.swap(m_rowStarts);
    ++m_generation;
}

size_t TConsoleLog::RowEnd(size_t Row) const {
    size_t end = Row + 1 < m_rowStarts.size() ? m_rowStarts[Row + 1] : m_size;
    if (end > m_rowStarts[Row] && m_data[end - 1] == '\n') {
        --end;
        if (end > m_rowStarts[Row] && m_data[end - 1] == '\r')
            --end;
    }
    return end;
}

size_t TConsoleLog::RowOf(size_t Offset) const {
    const auto after = std::upper_bound(m_rowStarts.begin(), m_rowStarts.end(), Offset);
    return static_cast<size_t>(after - m_rowStarts.begin()) - 1;
}

void TConsoleLog::IndexFrom(size_t From) {
    // Rows already complete before From stay; the last row may grow or split.
    const char* data = m_data;
    const size_t size = m_size;
    size_t rowStart = m_rowStarts.back();
    size_t i = From;
    while (i < size) {
        const size_t limit = rowStart + MaxRowBytes;
        const size_t stop = limit < size ? limit : size;
        const void* lf = i < stop ? std::memchr(data + i, '\n', stop - i) : nullptr;
        if (lf) {
            rowStart = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
            m_rowStarts.push_back(rowStart);
            i = rowStart;
        } else if (stop == limit) {
            // Never split a CR LF pair: a stored CR is always followed by its LF.
            rowStart = (data[limit - 1] == '\r') ? limit + 1 : limit;
            m_rowStarts.push_back(rowStart);
            i = rowStart;
        } else {
            break;
        }
    }
}
