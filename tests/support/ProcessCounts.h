// What a process holds, for tests that look for leaks over many cycles: open descriptors,
// threads, and resident memory.
#pragma once

#include <cstddef>
#include <dirent.h>
#include <fstream>
#include <string>
#include <unistd.h>

// Entries of a /proc folder of this process, "." and ".." left out.
inline int ProcEntries(const char* Dir) {
    DIR* d = ::opendir(Dir);
    if (!d)
        return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n;
}

// Open descriptors, not counting the one that reads the list.
inline int OpenDescriptors() {
    return ProcEntries("/proc/self/fd") - 1;
}

inline int Threads() {
    return ProcEntries("/proc/self/task");
}

inline size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// The memory checkers keep freed blocks in quarantine and shadow every byte, so resident
// memory says nothing about leaks under them; their own leak check does.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool UnderMemoryChecker = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool UnderMemoryChecker = true;
#else
constexpr bool UnderMemoryChecker = false;
#endif
#else
constexpr bool UnderMemoryChecker = false;
#endif
