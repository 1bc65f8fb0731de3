// Resident memory of the test process, for bounds on what a workload keeps.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>

// Sanitizers keep freed memory aside and shadow what is used: resident memory tells nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TV_RESIDENT_MEMORY_BLURRED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TV_RESIDENT_MEMORY_BLURRED 1
#endif
#endif

namespace tv::test {

inline std::int64_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::int64_t size = 0;
    std::int64_t resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

}  // namespace tv::test
