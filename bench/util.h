// Small helpers shared by the benchmarks: clocks, descriptor limits, statistics, and what the
// kernel says about this process and this network namespace.
#ifndef QZ_BENCH_UTIL_H_
#define QZ_BENCH_UTIL_H_

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "qz/status.h"

namespace qz::bench {

// A failure for a system call that set errno: what, and the system's words for errno.
Status Errno(const std::string& what);

// 127.0.0.1:port, the only address the benchmarks use.
sockaddr_in Loopback(uint16_t port);

// CLOCK_MONOTONIC in nanoseconds; comparable across the threads and processes of one machine.
int64_t NowNs();

// The CPU time of a clock such as CLOCK_THREAD_CPUTIME_ID, in nanoseconds.
int64_t CpuNs(clockid_t clock);

// Raises RLIMIT_NOFILE to its hard limit; returns the limit now in force.
uint64_t RaiseDescriptorLimit();

// Median and p-th percentile (0..100, nearest rank) of samples; 0 for none.
double Median(std::vector<double> samples);
double Percentile(std::vector<double> samples, double p);

// VmRSS of this process in KiB, or -1.
int64_t ResidentKib();

// Rows of this network namespace's TCP table (/proc/net/tcp and tcp6).
struct TcpTableSummary {
  int64_t rows = 0;
  int64_t time_wait = 0;
  int64_t syn_sent = 0;
  int64_t time_wait_in_bound_range = 0;  // TIME_WAIT rows with a local port 9000..32767
};
TcpTableSummary ReadTcpTableSummary();

// Blocks until fd is readable or timeout_ms passes (-1: no limit); false on timeout.
bool WaitReadable(int fd, int timeout_ms);

// Runs program with args (same network namespace, same environment) and returns its standard
// output; a failure when it cannot start or does not exit with 0.
Result<std::string> RunAndCapture(const std::string& program, const std::vector<std::string>& args);

// "1.23" style text with the given number of decimals.
std::string Fixed(double value, int decimals);
// The values as Fixed text with one decimal, joined by '/': "1.2/3.4".
std::string SlashList(const std::vector<double>& values);

}  // namespace qz::bench

#endif  // QZ_BENCH_UTIL_H_
