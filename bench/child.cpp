// Child processes for the real-time measurements.
#include "bench/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

double MonotonicS() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Child::~Child() {
    Stop();
}

bool Child::Start(const std::vector<std::string>& argv) {
    int fds[2];
    if (argv.empty() || pipe(fds) != 0) {
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid_ == 0) {
        // Own process group, so that Stop reaches helpers the program starts.
        setpgid(0, 0);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            close(devNull);
        }
        execv(args[0], args.data());
        std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
    reaped_ = false;
    return true;
}

bool Child::ReadLine(std::string* line, double timeoutS, bool* timedOut) {
    *timedOut = false;
    const double deadline = MonotonicS() + timeoutS;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            pending_.erase(0, end + 1);
            return true;
        }
        if (fd_ < 0) {
            return false;
        }
        const double left = deadline - MonotonicS();
        if (left <= 0) {
            *timedOut = true;
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got <= 0) {
            close(fd_);
            fd_ = -1;
            if (!pending_.empty()) {
                *line = pending_;
                pending_.clear();
                return true;
            }
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

double Child::CpuSeconds() const {
    if (pid_ <= 0 || reaped_) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    if (!std::getline(in, text)) {
        return -1;
    }
    // Fields after the command name, which is in parentheses and may hold blanks:
    // state is field 3, utime field 14, stime field 15.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Child::Stop() {
    if (pid_ <= 0 || reaped_) {
        return;
    }
    int status = 0;
    rusage usage{};
    pid_t done = wait4(pid_, &status, WNOHANG, &usage);
    if (done == 0) {
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && done == 0; ++i) {
            usleep(20000);
            done = wait4(pid_, &status, WNOHANG, &usage);
        }
        if (done == 0) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            done = wait4(pid_, &status, 0, &usage);
        }
    }
    reaped_ = true;
    waitStatus_ = status;
    maxRssKb_ = usage.ru_maxrss;
    totalCpuS_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

} // namespace bench
