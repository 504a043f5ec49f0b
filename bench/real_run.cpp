// Real-time runs in child processes, timed from the lines they print.
#include "bench/real_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/child.h"
#include "bench/stall_watch.h"
#include "bench/virtual_run.h"

namespace bench {

namespace {

constexpr double WALL_RATIO_LIMIT = 1.03;
constexpr double CPU_SHARE_LIMIT = 0.02;
constexpr double RSS_LIMIT_MB = 8;
constexpr double UPDATE_TIMEOUT_S = 120;
constexpr char START_LINE[] = "USB adapter o.k.";
constexpr char DONE_LINE[] = "Update done o.k.";

// The stalls the watch saw, with when they came, so that a lost attempt in a transcript
// can be matched with one.
void AddStalls(Report* report, const std::string& measure, StallWatch* watch) {
    watch->Stop();
    std::string note;
    if (watch->Count() > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "worst %.0f ms; at", watch->WorstMs());
        note = text;
        for (const double at : watch->AtMs()) {
            std::snprintf(text, sizeof text, " %.1f", at / 1000);
            note += text;
        }
        note += " s of the run";
    }
    report->AddFigure(measure, "machine stalls of 30 ms or more", watch->Count(), "", note);
}

bool Executable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

bool Has(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

// What one real-time update gave.
struct RealUpdate {
    bool ok = false;
    std::string error;
    double wallS = 0; // start line to done line
    double cpuS = 0;  // CPU over the same span
    long maxRssKb = 0;
    double totalCpuS = 0; // the whole life of the process
};

// Reads the program's lines until the update is done, sampling its CPU time at the start
// and done lines, then stops it.
RealUpdate TimeUpdate(Child* child, const std::string& transcriptPath) {
    RealUpdate r;
    std::ofstream transcript(transcriptPath);
    std::string line;
    bool timedOut = false;
    double startS = -1;
    double startCpu = 0;
    const double deadline = MonotonicS() + UPDATE_TIMEOUT_S;
    while (MonotonicS() < deadline && child->ReadLine(&line, deadline - MonotonicS(), &timedOut)) {
        transcript << line << "\n";
        if (startS < 0 && Has(line, START_LINE)) {
            startS = MonotonicS();
            startCpu = child->CpuSeconds();
        } else if (startS >= 0 && Has(line, DONE_LINE)) {
            r.wallS = MonotonicS() - startS;
            r.cpuS = child->CpuSeconds() - startCpu;
            r.ok = true;
            break;
        }
    }
    child->Stop();
    r.maxRssKb = child->MaxRssKb();
    r.totalCpuS = child->TotalCpuSeconds();
    if (!r.ok) {
        r.error = timedOut || MonotonicS() >= deadline ? "no update within 120 s"
                  : startS < 0                         ? "program ended before its adapter line"
                                                       : "program ended before the update was done";
        if (!line.empty()) {
            r.error += " (last line: " + line + ")";
        }
    }
    return r;
}

void AddFigures(Report* report, const std::string& measure, const RealUpdate& r, double virtualS) {
    if (!r.ok) {
        char cpu[64];
        std::snprintf(cpu, sizeof cpu, "; %.2f s CPU in all", r.totalCpuS);
        report->AddMissing(measure, "wall / virtual", r.error + cpu);
        return;
    }
    char note[96];
    std::snprintf(note, sizeof note, "%.3f s wall, %.3f s virtual", r.wallS, virtualS);
    report->AddAtMost(measure, "wall / virtual", r.wallS / virtualS, "", WALL_RATIO_LIMIT, note);
    std::snprintf(note, sizeof note, "%.3f s CPU over the update", r.cpuS);
    report->AddAtMost(measure, "CPU, share of one core", r.cpuS / r.wallS * 100, "%",
                      CPU_SHARE_LIMIT * 100, note);
    report->AddAtMost(measure, "peak RSS of the program", static_cast<double>(r.maxRssKb) / 1024,
                      "MB", RSS_LIMIT_MB, "ru_maxrss");
}

// The virtual-time span of the same update, from the program's own transcript: the
// milliseconds before its adapter line and its done line.
bool VirtualSpan(const std::vector<std::string>& argv, double* seconds, std::string* error) {
    Child child;
    if (!child.Start(argv)) {
        *error = "cannot start " + argv[0];
        return false;
    }
    std::string line;
    bool timedOut = false;
    long startMs = -1;
    while (child.ReadLine(&line, UPDATE_TIMEOUT_S, &timedOut)) {
        const long ms = std::strtol(line.c_str(), nullptr, 10);
        if (startMs < 0 && Has(line, START_LINE)) {
            startMs = ms;
        } else if (startMs >= 0 && Has(line, " append ") && Has(line, DONE_LINE)) {
            *seconds = static_cast<double>(ms - startMs) / 1000;
            child.Stop();
            return true;
        }
    }
    child.Stop();
    *error = "no update in the virtual-time transcript";
    return false;
}

// 3: the terminal program through its tty driver against the virtual device on a pty.
void MeasurePty(Report* report, const std::string& bin, const std::string& out, double virtualS) {
    const std::string kestrel = bin + "/ui/console/kestrel";
    const std::string vdev = bin + "/tools/vdev/kestrel-vdev";
    if (!Executable(vdev)) {
        report->AddMissing("3 pty", "wall / virtual", vdev + " not built");
        return;
    }
    Child device;
    std::string port;
    bool timedOut = false;
    if (!device.Start({vdev, "--scenario", "healthy"}) || !device.ReadLine(&port, 10, &timedOut) ||
        port.rfind("/dev/", 0) != 0) {
        report->AddMissing("3 pty", "wall / virtual", "kestrel-vdev gave no pty (" + port + ")");
        return;
    }
    std::fprintf(stderr, "kestrel-bench: real time, kestrel --port %s (about %.0f s)...\n",
                 port.c_str(), virtualS);
    Child child;
    if (!child.Start({kestrel, "--port", port})) {
        report->AddMissing("3 pty", "wall / virtual", "cannot start " + kestrel);
        return;
    }
    const double deviceCpuStart = device.CpuSeconds();
    StallWatch watch;
    AddFigures(report, "3 pty", TimeUpdate(&child, out + "/pty.transcript"), virtualS);
    AddStalls(report, "3 pty", &watch);
    const double deviceCpu = device.CpuSeconds() - deviceCpuStart;
    device.Stop();
    report->AddFigure("3 pty", "CPU of kestrel-vdev, same span", deviceCpu, "s",
                      "the simulated device; no target");
}

// 4: kestrel.exe under Wine with the test-only FTD2XX.dll, timed by its windows: from the
// main window to the question after the update.
void MeasureWine(Report* report, const std::string& bin, double virtualS) {
    const std::string win32 = bin + "/../win32";
    if (!Executable("/usr/bin/python3") ||
        access((win32 + "/ui/win32/kestrel.exe").c_str(), R_OK) != 0 ||
        access((win32 + "/sim/dll/FTD2XX.dll").c_str(), R_OK) != 0 ||
        access((win32 + "/tests/win32/kestrel-probe.exe").c_str(), R_OK) != 0) {
        report->AddMissing("4 wine", "wall / virtual",
                           "build/win32 not built (needs the mingw-w64 cross compiler and Wine)");
        return;
    }
    std::fprintf(stderr, "kestrel-bench: real time, kestrel.exe under Wine (about %.0f s)...\n",
                 virtualS);
    StallWatch watch;
    Child child;
    if (!child.Start(
            {"/usr/bin/python3", std::string(KESTREL_SOURCE_DIR) + "/bench/wine_time.py", win32})) {
        report->AddMissing("4 wine", "wall / virtual", "cannot start bench/wine_time.py");
        return;
    }
    std::string line;
    std::string answer;
    bool timedOut = false;
    while (child.ReadLine(&line, 300, &timedOut)) {
        if (line.rfind("wall_s=", 0) == 0 || line.rfind("error=", 0) == 0) {
            answer = line;
        }
    }
    child.Stop();
    double wallS = 0;
    double periodS = 0;
    if (std::sscanf(answer.c_str(), "wall_s=%lf period_s=%lf", &wallS, &periodS) != 2) {
        report->AddMissing("4 wine", "wall / virtual",
                           answer.empty() ? "no answer from bench/wine_time.py" : answer);
        return;
    }
    char note[128];
    std::snprintf(note, sizeof note, "%.3f s wall, %.3f s virtual; windows polled every %.2f s",
                  wallS, virtualS, periodS);
    report->AddFigure("4 wine", "wall / virtual", wallS / virtualS, "", note);
    AddStalls(report, "4 wine", &watch);
}

} // namespace

void MeasureRealTime(Report* report, const std::string& bin, const std::string& out) {
    const std::string kestrel = bin + "/ui/console/kestrel";
    if (!Executable(kestrel)) {
        report->AddMissing("2 in-process", "wall / virtual", kestrel + " not built");
        report->AddMissing("3 pty", "wall / virtual", kestrel + " not built");
        return;
    }
    double virtualS = 0;
    std::string error;
    if (!VirtualSpan({kestrel, "--simulate=healthy", "--virtual-time"}, &virtualS, &error)) {
        report->AddMissing("2 in-process", "wall / virtual", error);
        return;
    }

    // 2: the terminal program with its own simulated bench on the real clock.
    std::fprintf(stderr, "kestrel-bench: real time, kestrel --simulate (about %.0f s)...\n",
                 virtualS);
    {
        Child child;
        if (!child.Start({kestrel, "--simulate=healthy"})) {
            report->AddMissing("2 in-process", "wall / virtual", "cannot start " + kestrel);
        } else {
            StallWatch watch;
            AddFigures(report, "2 in-process", TimeUpdate(&child, out + "/in-process.transcript"),
                       virtualS);
            AddStalls(report, "2 in-process", &watch);
        }
    }
    MeasurePty(report, bin, out, virtualS);
    // The simulated FTD2XX.dll cannot read the program's log, so its bench lets a device go
    // when it hears the disconnection pings: the same update, with its own tail.
    const ScenarioRun dll = RunScenario("healthy", nullptr, false, true);
    MeasureWine(report, bin, static_cast<double>(dll.firstQuestionUs) / 1e6);
}

} // namespace bench
