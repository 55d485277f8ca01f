// The console log's text: single bytes, CR LF line breaks, no size limit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Writes Text to Out with every lone CR and every lone LF made a CR LF pair, and returns the
// count written (at most twice Size). A CR at the end of Text counts as lone: the log it goes
// into never ends in a lone CR, so appending piece by piece gives the same text as normalising
// the old text and the piece as a whole.
size_t NormalizeInto(char* Out, const char* Text, size_t Size);
void AppendNormalized(std::string& Out, const char* Text, size_t Size);

class TConsoleLog {
public:
    TConsoleLog() = default;
    ~TConsoleLog();
    TConsoleLog(const TConsoleLog&) = delete;
    TConsoleLog& operator=(const TConsoleLog&) = delete;

    // Rows of the view index: a row ends after each LF, and a row longer than this is split
    // so that no view work ever depends on the length of one line.
    static constexpr size_t MaxRowBytes = 4096;

    void Append(const std::string& Text);
    void AddLine(const std::string& Text);
    void SetText(const std::string& Text);
    std::string_view Text() const { return {m_data, m_size}; }
    // The text as it is now, for another thread: the bytes stay as they are, and alive, for
    // as long as the pointer is held, whatever the log does meanwhile. Costs no copy until the
    // log must grow while the pointer is held.
    std::shared_ptr<const char> Share();
    void Clear();

    bool Empty() const { return m_size == 0; }
    size_t Size() const { return m_size; }
    // Rows for the view; there is always at least one (the row the next text goes to).
    size_t RowCount() const { return m_rowStarts.size(); }
    size_t RowStart(size_t Row) const { return m_rowStarts[Row]; }
    // The row that holds byte Offset (the last row for the end of the text).
    size_t RowOf(size_t Offset) const;
    // End of the row's visible text: its line break is left out.
    size_t RowEnd(size_t Row) const;
    // Bumped on every change that is not an append, so the view knows to start over.
    uint64_t Generation() const { return m_generation; }

private:
    void IndexFrom(size_t From);
    void Reserve(size_t More);
    // The text lives in a block of its own that grows by realloc: past the allocator's mapping
    // threshold that moves pages instead of copying them, so a log of 100 MB grows without the
    // pauses of copying it.
    char* m_data = nullptr;
    size_t m_size = 0, m_capacity = 0;
    // Set while the block has been shared: then the block is the share's to free.
    struct TSharedBlock;
    std::shared_ptr<TSharedBlock> m_shared;
    void ReleaseBlock();
    std::vector<size_t> m_rowStarts{0};
    uint64_t m_generation = 0;
};
