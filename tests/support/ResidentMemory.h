// What the test process holds in memory, for the long runs that bound it.
#pragma once

#include <unistd.h>

#include <fstream>

namespace TestSupport
{

// The resident memory /proc gives for this process, in KiB.
inline long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace TestSupport
