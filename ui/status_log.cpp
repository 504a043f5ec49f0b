// The status log's storage and its three writers. One short lock guards every write and
// every snapshot, so the painter on the main thread never reads a slot while the worker
// writes it; the repaint request and the observers are called outside the lock.
#include "ui/status_log.h"

#include <cstring>
#include <mutex>

namespace {
constexpr int MAX_OBSERVERS = 4;

struct Observer {
    LogObserver fn;
    void* context;
};

StatusLog theLog{};
std::mutex logLock;
void (*repaintRequest)() = nullptr;
Observer observers[MAX_OBSERVERS]{};

// Tells the repaint request and the observers about a change that has been made.
void Announce(LogOp op, const char* text) {
    void (*repaint)() = nullptr;
    Observer current[MAX_OBSERVERS];
    {
        std::lock_guard<std::mutex> guard(logLock);
        repaint = repaintRequest;
        std::memcpy(current, observers, sizeof current);
    }
    for (const Observer& o : current) {
        if (o.fn != nullptr) {
            o.fn(o.context, op, text);
        }
    }
    if (repaint != nullptr) {
        repaint();
    }
}

bool TooLong(const char* text) {
    return std::strlen(text) >= LOG_LINE_BYTES;
}

void Store(int slot, const char* text) {
    std::memcpy(theLog.lines[slot], text, std::strlen(text) + 1);
}
} // namespace

void LogAppend(const char* text) {
    if (TooLong(text)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(logLock);
        if (theLog.scrolling) {
            for (int k = 1; k < LOG_LINE_COUNT; ++k) {
                std::memcpy(theLog.lines[k - 1], theLog.lines[k], LOG_LINE_BYTES);
            }
        }
        if (theLog.lineCount < LOG_LINE_COUNT - 1) {
            Store(theLog.lineCount, text);
            ++theLog.lineCount;
        } else {
            Store(LOG_LINE_COUNT - 1, text);
            theLog.scrolling = true;
        }
    }
    Announce(LogOp::Append, text);
}

void LogSetLive(const char* text) {
    if (TooLong(text)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(logLock);
        Store(theLog.lineCount, text);
    }
    Announce(LogOp::Live, text);
}

void LogClear() {
    {
        std::lock_guard<std::mutex> guard(logLock);
        for (char* line : theLog.lines) {
            line[0] = '\0';
        }
        theLog.lineCount = 0;
        theLog.scrolling = false;
    }
    Announce(LogOp::Clear, "");
}

void LogInstallRepaint(void (*requestRepaint)()) {
    std::lock_guard<std::mutex> guard(logLock);
    repaintRequest = requestRepaint;
}

void LogSnapshot(StatusLog* out) {
    std::lock_guard<std::mutex> guard(logLock);
    *out = theLog;
}

bool LogAddObserver(LogObserver observer, void* context) {
    std::lock_guard<std::mutex> guard(logLock);
    for (Observer& o : observers) {
        if (o.fn == nullptr) {
            o = Observer{observer, context};
            return true;
        }
    }
    return false;
}

void LogRemoveObserver(LogObserver observer, void* context) {
    std::lock_guard<std::mutex> guard(logLock);
    for (Observer& o : observers) {
        if (o.fn == observer && o.context == context) {
            o = Observer{nullptr, nullptr};
        }
    }
}

void LogReset() {
    std::lock_guard<std::mutex> guard(logLock);
    theLog = StatusLog{};
    repaintRequest = nullptr;
    for (Observer& o : observers) {
        o = Observer{nullptr, nullptr};
    }
}
