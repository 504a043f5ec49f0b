// The terminal on POSIX systems: whether standard output is a terminal, its width, the
// key echo and cursor while the screen is drawn, Ctrl-C, and the worker thread.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ui/console/console.h"

namespace {

constexpr int READ_POLL_MS = 50;

volatile sig_atomic_t interrupted = 0;
bool savedValid = false;
termios saved{};

void OnInterrupt(int) {
    interrupted = 1;
}

void WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void SetEcho(bool on) {
    if (!savedValid) {
        return;
    }
    termios t = saved;
    if (!on) {
        t.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
}

} // namespace

namespace terminal {

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int Columns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 80;
}

void Prepare() {
    if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0) {
        savedValid = true;
        SetEcho(false);
    }
    Write("\x1b[?25l");
}

void Restore() {
    if (savedValid) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

void CatchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a blocking read returns, and the program notices
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

bool Interrupted() {
    return interrupted != 0;
}

void StartWorker(void (*fn)()) {
    sigset_t block;
    sigset_t old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread(fn).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool ReadLine(std::string* line, bool (*keepWaiting)()) {
    line->clear();
    SetEcho(true);
    bool got = false;
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&p, 1, READ_POLL_MS);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            if (!keepWaiting()) {
                break;
            }
            continue;
        }
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (!keepWaiting()) {
                break;
            }
            continue;
        }
        if (n <= 0) {
            break; // end of input
        }
        got = true;
        if (c == '\n') {
            break;
        }
        if (c != '\r') {
            *line += c;
        }
    }
    SetEcho(false);
    return got;
}

void Write(const std::string& text) {
    WriteAll(STDOUT_FILENO, text.data(), text.size());
}

void Exit(int code) {
    std::fflush(stdout);
    std::_Exit(code);
}

} // namespace terminal
