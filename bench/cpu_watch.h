#pragma once
// CPU time beyond the process total, for the benchmarks that say where time goes: how idle the
// machine was, another Linux process's CPU time (the phones, the wineserver), and this process's
// threads by name.
// Thread: any; nothing is kept between calls.
#include <map>
#include <string>

namespace bench {

// How long the machine's cores were idle, from the kernel's /proc/stat (under Wine through its Z:
// drive), in USER_HZ ticks (100 a second): what is left of a window's core-seconds was spent on
// anything, this program, the phones and whatever else runs. The idle and iowait counts are
// measured; the busy counts beside them are only sampled at the tick and miss short bursts of
// work, such as a picture's, so they are not used.
struct MachineIdle {
  bool valid = false;
  unsigned long long ticks = 0;
};
MachineIdle ReadMachineIdle();

// The kernel's one-minute load average (/proc/loadavg); negative when it cannot be read.
double ReadLoadAverage();

// The kernel's count of another Linux process's CPU seconds (/proc/PID/stat). Under Wine the file
// is opened by the wineserver on the program's behalf (so "self" there would be the wineserver):
// only ever ask for a process by its number. Negative when it cannot be read.
double KernelCpuSeconds(const std::string& pid);

// This process's threads by their id: name (empty when the thread has none) and CPU seconds so
// far. Natively from /proc/self/task (a thread created by a named one, such as FFmpeg's workers,
// inherits its name); under Windows from a thread snapshot with GetThreadTimes and
// GetThreadDescription.
struct ThreadTime {
  std::string name;
  double seconds = 0;
};
using ThreadTimes = std::map<unsigned long, ThreadTime>;
ThreadTimes ReadThreadTimes();

// What each name's threads used between two readings (a thread that began meanwhile counts from
// zero; one that ended is lost with its time), and how many threads bore it.
struct NamedCpu {
  double seconds = 0;
  int threads = 0;
};
std::map<std::string, NamedCpu> CpuByThreadName(const ThreadTimes& before, const ThreadTimes& after);

}  // namespace bench
