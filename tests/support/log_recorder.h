// Records every status-log change with the virtual time it happened at, so tests can
// assert what the user saw and when.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/virtual_clock.h"
#include "ui/status_log.h"

namespace testsupport {

struct LogEvent {
    uint64_t atMs;
    LogOp op;
    std::string text;
};

// Resets the status log to its start state when built and when destroyed. Declare it in a
// fixture before any LogRecorder, so the recorder's observer survives the reset.
struct FreshLog {
    FreshLog() { LogReset(); }
    ~FreshLog() { LogReset(); }
    FreshLog(const FreshLog&) = delete;
    FreshLog& operator=(const FreshLog&) = delete;
};

class LogRecorder {
  public:
    LogRecorder() { LogAddObserver(&LogRecorder::Observe, this); }
    ~LogRecorder() { LogRemoveObserver(&LogRecorder::Observe, this); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    const std::vector<LogEvent>& Events() const { return events_; }
    void Clear() { events_.clear(); }

    // Texts of the appends only, in order.
    std::vector<std::string> Appends() const {
        std::vector<std::string> out;
        for (const LogEvent& e : events_) {
            if (e.op == LogOp::Append) {
                out.push_back(e.text);
            }
        }
        return out;
    }

    // Times of every event of the given kind (and text, when given).
    std::vector<uint64_t> TimesOf(LogOp op, const std::string& text = {}) const {
        std::vector<uint64_t> out;
        for (const LogEvent& e : events_) {
            if (e.op == op && (text.empty() || e.text == text)) {
                out.push_back(e.atMs);
            }
        }
        return out;
    }

    // The ten slots as they stand now.
    static std::vector<std::string> Lines() {
        StatusLog s{};
        LogSnapshot(&s);
        std::vector<std::string> out;
        for (const auto& line : s.lines) {
            out.emplace_back(line);
        }
        return out;
    }

    // The non-empty lines of the log as they stand now, top to bottom.
    static std::vector<std::string> Visible() {
        std::vector<std::string> out;
        for (const std::string& l : Lines()) {
            if (!l.empty()) {
                out.push_back(l);
            }
        }
        return out;
    }

  private:
    static void Observe(void* self, LogOp op, const char* text) {
        static_cast<LogRecorder*>(self)->events_.push_back(LogEvent{sim::VirtualNowMs(), op, text});
    }
    std::vector<LogEvent> events_;
};

} // namespace testsupport
