// A watch on the machine itself while a real-time run goes on: a thread that sleeps 1 ms
// at a time and counts the wake-ups that come STALL_MS or more late. On a virtual machine
// the whole guest can stop for tens of milliseconds (every process at once, real-time
// priority or not), and a stall that falls into a full record's echo wait fails that
// attempt: the write returns with 256 bytes (66.7 ms) still to go and the echo must be
// read within 100 ms of that. The benchmark prints the count beside its real-time figures;
// the end-to-end tests use it to tell a slow machine from a slow program.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bench {

constexpr double STALL_MS = 30;
// What one failed record attempt adds to an update: the write of a full record, the echo
// wait, the reply time-out, the pause and the retry pause (541 + 100 + 1500 + 20 + 200 ms).
constexpr double FAILED_ATTEMPT_MS = 2361;

class StallWatch {
  public:
    StallWatch() : thread_([this] { Run(); }) {}
    ~StallWatch() { Stop(); }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }
    // Read after Stop.
    int Count() const { return count_; }
    double WorstMs() const { return worstMs_; }
    // When each stall began, in milliseconds since the watch started (the first 16).
    const std::vector<double>& AtMs() const { return atMs_; }

  private:
    void Run() {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point start = Clock::now();
        while (!stop_) {
            const Clock::time_point before = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const double lateMs =
                std::chrono::duration<double, std::milli>(Clock::now() - before).count() - 1;
            if (lateMs >= STALL_MS) {
                count_ += 1;
                worstMs_ = std::max(worstMs_, lateMs);
                if (atMs_.size() < 16) {
                    atMs_.push_back(
                        std::chrono::duration<double, std::milli>(before - start).count());
                }
            }
        }
    }

    std::atomic<bool> stop_{false};
    int count_ = 0;
    double worstMs_ = 0;
    std::vector<double> atMs_;
    std::thread thread_; // last: starts once the rest is set
};

} // namespace bench
