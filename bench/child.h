// A program under measurement in a child process: its output read line by line through a
// pipe and time-stamped as it arrives, its CPU time sampled from /proc at chosen lines,
// its peak resident set taken from wait4 when it ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// Seconds on the monotonic clock.
double MonotonicS();

class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] with stdout and stderr on a pipe (so the program sees no terminal).
    bool Start(const std::vector<std::string>& argv);

    // The next line of output, without its line end. False at end of output or when
    // timeoutS passes first (then *timedOut is set).
    bool ReadLine(std::string* line, double timeoutS, bool* timedOut);

    // User plus system CPU seconds the process has used so far, all threads; -1 once gone.
    double CpuSeconds() const;

    // Ends the process (SIGTERM, then SIGKILL after a grace period) if it still runs, and
    // reaps it. Safe to call twice.
    void Stop();

    // After Stop: peak resident set in KiB, CPU seconds in all, and the wait status.
    long MaxRssKb() const { return maxRssKb_; }
    double TotalCpuSeconds() const { return totalCpuS_; }
    int WaitStatus() const { return waitStatus_; }
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string pending_;
    bool reaped_ = false;
    long maxRssKb_ = 0;
    double totalCpuS_ = 0;
    int waitStatus_ = 0;
};

} // namespace bench
