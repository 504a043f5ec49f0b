// kestrel-vdev: plays the simulated device of a scenario on a pseudo-terminal in real time,
// so the real program can update it through its tty driver. The same bench, wire and
// device model as the in-process simulator run on the real clock: bytes the program writes
// go onto the wire the moment they arrive, and the bytes the wire delivers (the echo, the
// device's replies) go back at their times, paced at 38400 baud by the wire itself.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include "sim/scenario.h"
#include "sim/wire.h"

namespace {

// A pty carries no break. The program pulses one right after every open of the adapter, so
// an open of the tty stands for it: the device hears a break of this length then.
constexpr uint64_t OPEN_BREAK_US = 20'000;
// Longest sleep while nothing is due, so the bench's own schedule keeps moving.
constexpr uint64_t IDLE_TICK_US = 5'000;
// How often the status file is rewritten.
constexpr uint64_t STATUS_EVERY_US = 500'000;

volatile sig_atomic_t stopRequested = 0;
void OnStopSignal(int) {
    stopRequested = 1;
}

void Usage(FILE* to) {
    std::fprintf(to, "usage: kestrel-vdev [--scenario S] [--seed N] [--status FILE] [--list]\n"
                     "Opens a pseudo-terminal, prints its path and plays the scenario's device "
                     "on it until SIGINT or SIGTERM; then prints what each device holds.\n");
}

// One line per device: what it holds now.
std::string Holdings(const sim::Bench& bench) {
    std::string out;
    for (const sim::HeldFirmware& d : bench.Devices()) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "device %d%s slot %d complete %s updates %u records %u foreign %u "
                      "codeS %u->%u plugged %s\n",
                      d.device, d.behind ? " behind" : "", d.slot, d.complete ? "yes" : "no",
                      d.updates, d.recordsAccepted, d.foreignRecords, d.startCodeS, d.codeS,
                      d.plugged ? "yes" : "no");
        out += line;
    }
    out += "summary " + bench.Summary() + "\n";
    return out;
}

void WriteStatus(const std::string& path, const std::string& text) {
    if (path.empty()) {
        return;
    }
    const std::string temp = path + ".tmp";
    std::ofstream(temp) << text;
    std::rename(temp.c_str(), path.c_str());
}

void WriteAll(int fd, const uint8_t* bytes, std::size_t n) {
    while (n > 0) {
        const ssize_t k = write(fd, bytes, n);
        if (k > 0) {
            bytes += k;
            n -= static_cast<std::size_t>(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else {
            return; // the program's input queue is full: the bytes are lost, as on a line
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string scenario = "healthy";
    std::string statusPath;
    sim::BenchOptions options;
    options.trigger = sim::UnplugTrigger::DeviceSide;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--scenario" && hasValue) {
            scenario = argv[++i];
        } else if (arg.rfind("--scenario=", 0) == 0) {
            scenario = arg.substr(11);
        } else if (arg == "--seed" && hasValue) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--status" && hasValue) {
            statusPath = argv[++i];
        } else if (arg == "--list") {
            for (const std::string& name : sim::ScenarioNames()) {
                std::printf("%-14s %s\n", name.c_str(), sim::ScenarioDescription(name).c_str());
            }
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    const sim::TimeSource* time = sim::RealTime();
    std::unique_ptr<sim::Bench> bench = sim::Bench::Create(scenario, time, options);
    if (!bench) {
        std::fprintf(stderr, "kestrel-vdev: unknown scenario '%s' (--list shows them)\n",
                     scenario.c_str());
        return 2;
    }
    sim::Wire& wire = bench->GetWire();

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("kestrel-vdev: pseudo-terminal");
        return 1;
    }
    const std::string slave = ptsname(master);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Holding the slave open keeps the pty alive while the program closes and reopens it
    // between devices; raw mode keeps the line discipline from touching the bytes before the
    // program sets its own.
    const int holder = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (holder < 0 || tcgetattr(holder, &tio) != 0) {
        std::perror("kestrel-vdev: slave");
        return 1;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(holder, TCSANOW, &tio);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, slave.c_str(), IN_OPEN) < 0) {
        std::perror("kestrel-vdev: inotify");
        return 1;
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "kestrel-vdev: scenario %s on %s\n", scenario.c_str(), slave.c_str());

    uint64_t breakOffUs = sim::NEVER_US;
    uint64_t nextStatusUs = 0;
    uint8_t buf[4096];
    while (stopRequested == 0) {
        uint64_t now = time->nowUs();
        if (breakOffUs != sim::NEVER_US && now >= breakOffUs) {
            wire.HostBreak(false);
            breakOffUs = sim::NEVER_US;
        }
        wire.AdvanceTo(now);
        while (std::size_t queued = wire.HostQueued()) {
            const std::size_t n = wire.HostRead(buf, std::min(queued, sizeof buf));
            if (n == 0) {
                break;
            }
            WriteAll(master, buf, n);
        }
        if (now >= nextStatusUs) {
            WriteStatus(statusPath, Holdings(*bench));
            nextStatusUs = now + STATUS_EVERY_US;
        }

        const uint64_t due = std::min({wire.NextHostArrivalUs(), now + IDLE_TICK_US, breakOffUs});
        const uint64_t waitUs = due > now ? due - now : 0;
        timespec timeout{static_cast<time_t>(waitUs / 1'000'000u),
                         static_cast<long>(waitUs % 1'000'000u) * 1000L};
        pollfd fds[2] = {{master, POLLIN, 0}, {watch, POLLIN, 0}};
        if (ppoll(fds, 2, &timeout, &waitMask) < 0) {
            continue; // a stop signal, or EINTR
        }
        if ((fds[1].revents & POLLIN) != 0) {
            alignas(inotify_event) char events[4096];
            bool opened = false;
            ssize_t n = 0;
            while ((n = read(watch, events, sizeof events)) > 0) {
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                    opened = opened || (event->mask & IN_OPEN) != 0;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            if (opened) {
                // A freshly opened adapter has an empty receive queue.
                tcflush(holder, TCIFLUSH);
                if (breakOffUs == sim::NEVER_US) {
                    wire.HostBreak(true);
                    breakOffUs = time->nowUs() + OPEN_BREAK_US;
                }
            }
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                wire.HostWrite(buf, static_cast<std::size_t>(n));
            }
        }
    }

    const std::string held = Holdings(*bench);
    WriteStatus(statusPath, held);
    std::fputs(held.c_str(), stdout);
    std::fflush(stdout);
    close(watch);
    close(holder);
    close(master);
    return 0;
}
