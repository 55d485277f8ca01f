#include "ConsoleLog.h"

#include <cstring>

void AppendNormalized(std::string& Out, const char* Text, size_t Size) {
    size_t i = 0;
    while (i < Size) {
        // Copy the run without CR or LF in one go: the common case is plain text.
        size_t run = i;
        while (run < Size && Text[run] != '\r' && Text[run] != '\n')
            ++run;
        Out.append(Text + i, run - i);
        if (run == Size)
            break;
        Out.append("\r\n", 2);
        i = (Text[run] == '\r' && run + 1 < Size && Text[run + 1] == '\n') ? run + 2 : run + 1;
    }
}

void TConsoleLog::Append(const std::string& Text) {
    if (Text.empty())
        return;
    const size_t old = m_text.size();
    const size_t rows = m_rowStarts.size();
    try {
        AppendNormalized(m_text, Text.data(), Text.size());
        IndexFrom(old);
    } catch (...) {
        // The log keeps its previous text when it cannot take more.
        m_text.resize(old);
        m_rowStarts.resize(rows);
        throw;
    }
}

void TConsoleLog::AddLine(const std::string& Text) {
    if (m_text.empty() || m_text.back() == '\n')
        Append(Text + "\r\n");
    else
        Append("\r\n" + Text);
}

void TConsoleLog::SetText(const std::string& Text) {
    std::string fresh;
    AppendNormalized(fresh, Text.data(), Text.size());
    m_text.swap(fresh);
    m_rowStarts.assign(1, 0);
    ++m_generation;
    IndexFrom(0);
}

void TConsoleLog::Clear() {
    std::string().swap(m_text);
    std::vector<size_t>{0}.swap(m_rowStarts);
    ++m_generation;
}

size_t TConsoleLog::RowEnd(size_t Row) const {
    size_t end = Row + 1 < m_rowStarts.size() ? m_rowStarts[Row + 1] : m_text.size();
    if (end > m_rowStarts[Row] && m_text[end - 1] == '\n') {
        --end;
        if (end > m_rowStarts[Row] && m_text[end - 1] == '\r')
            --end;
    }
    return end;
}

void TConsoleLog::IndexFrom(size_t From) {
    // Rows already complete before From stay; the last row may grow or split.
    const char* data = m_text.data();
    const size_t size = m_text.size();
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
