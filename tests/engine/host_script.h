// A scripted host for the engine's tests: records every message box and exit request with
// the virtual time it came at, and answers boxes from a list the test sets.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/host.h"
#include "sim/virtual_clock.h"

namespace enginetest {

struct HostCall {
    uint64_t atMs;
    std::string what; // "box" or "exit"
    std::string caption;
    std::string text;
    unsigned style;
};

class HostScript {
  public:
    HostScript() {
        current_ = this;
        InstallHost(&backend_);
    }
    ~HostScript() {
        InstallHost(nullptr);
        current_ = nullptr;
    }
    HostScript(const HostScript&) = delete;
    HostScript& operator=(const HostScript&) = delete;

    // Answers for the coming boxes, in order; a box beyond the list gets ANSWER_NONE.
    void Answer(std::initializer_list<int> answers) { answers_.assign(answers); }

    const std::vector<HostCall>& Calls() const { return calls_; }

    // Told of every call as it is made, before a box is answered.
    std::function<void(const HostCall&)> onCall;

  private:
    static int Box(const char* text, const char* caption, unsigned style) {
        current_->calls_.push_back(HostCall{sim::VirtualNowMs(), "box", caption, text, style});
        if (current_->onCall) {
            current_->onCall(current_->calls_.back());
        }
        if (current_->answers_.empty()) {
            return ANSWER_NONE;
        }
        const int answer = current_->answers_.front();
        current_->answers_.pop_front();
        return answer;
    }
    static void Exit() {
        current_->calls_.push_back(HostCall{sim::VirtualNowMs(), "exit", "", "", 0});
    }

    static inline HostScript* current_ = nullptr;
    const HostBackend backend_{&HostScript::Box, &HostScript::Exit};
    std::deque<int> answers_;
    std::vector<HostCall> calls_;
};

} // namespace enginetest
