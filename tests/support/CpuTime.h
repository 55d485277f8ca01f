// The processor time this process has used, for tests and benchmarks that look for a thread
// spinning where it should wait.
#pragma once

#include <sys/resource.h>

// This process, all threads, user and system, in seconds.
inline double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
