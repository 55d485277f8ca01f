// The console log's bytes as others read them: UTF-8 text with this platform's line ends for
// files, and a byte search for the find box. Plain functions, no window and no threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

// Writes the Windows-1251 bytes of In to Out as UTF-8, each CR LF pair as one LF; returns the
// count written. Out needs room for three bytes per input byte and one more. The log keeps each CR
// LF pair within one append, so converting piece by piece gives the same text as converting it
// whole.
size_t LogToUtf8Into(char* Out, const char* In, size_t Size);
void AppendLogAsUtf8(std::string& Out, const char* In, size_t Size);
inline std::string LogToUtf8(std::string_view In) {
    std::string out;
    AppendLogAsUtf8(out, In.data(), In.size());
    return out;
}

// The byte that B is when case is ignored: letters of both alphabets in Windows-1251 fold to
// their capital.
unsigned char FoldCase(unsigned char B);

// Where Needle occurs in Text, as a byte offset, or npos. Forward: the first occurrence that
// starts at or after From. Backward: the last one that ends at or before From. Without
// MatchCase the letters of both alphabets match either case.
size_t FindInLog(std::string_view Text, std::string_view Needle, size_t From, bool Backward,
                 bool MatchCase);

// Writes Log as UTF-8 (as LogToUtf8) to Path without ever leaving a partly written file under
// that name: the text goes to a new file beside it, is flushed to the disk, and then takes the
// name. Done counts the log bytes written so far. On failure returns false with the system's
// reason in Error, and removes the new file.
bool SaveLogAsUtf8(std::string_view Log, const std::string& Path, std::atomic<size_t>* Done,
                   std::string& Error);
