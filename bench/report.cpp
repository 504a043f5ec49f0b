// The results table and its JSON form.
#include "bench/report.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

std::string FormatValue(double v) {
    char text[64];
    const double a = std::fabs(v);
    if (a != 0 && (a < 0.01 || a >= 1e7)) {
        std::snprintf(text, sizeof text, "%.4g", v);
    } else if (a < 10) {
        std::snprintf(text, sizeof text, "%.4f", v);
    } else {
        std::snprintf(text, sizeof text, "%.2f", v);
    }
    return text;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    if (!std::isfinite(v)) {
        return "null";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

} // namespace

void Report::AddAtMost(const std::string& measure, const std::string& name, double value,
                       const std::string& unit, double limit, const std::string& note) {
    Add({measure, name, value, unit, "<= " + FormatValue(limit), value <= limit, note});
}

void Report::AddAtLeast(const std::string& measure, const std::string& name, double value,
                        const std::string& unit, double limit, const std::string& note) {
    Add({measure, name, value, unit, ">= " + FormatValue(limit), value >= limit, note});
}

void Report::AddFigure(const std::string& measure, const std::string& name, double value,
                       const std::string& unit, const std::string& note) {
    Add({measure, name, value, unit, "", std::nullopt, note});
}

void Report::AddMissing(const std::string& measure, const std::string& name,
                        const std::string& why) {
    Row row{measure, name, 0, "", "", std::nullopt, why};
    row.measured = false;
    Add(row);
}

int Report::Failures() const {
    int n = 0;
    for (const Row& r : rows_) {
        if (r.pass.has_value() && !*r.pass) {
            ++n;
        }
    }
    return n;
}

std::string Report::Table() const {
    std::ostringstream out;
    char line[512];
    std::snprintf(line, sizeof line, "%-13s %-44s %12s %-5s %-9s %-4s %s\n", "measure", "figure",
                  "value", "unit", "target", "", "note");
    out << line;
    out << std::string(100, '-') << "\n";
    for (const Row& r : rows_) {
        if (r.detail) {
            continue;
        }
        const std::string value = r.measured ? FormatValue(r.value) : "n/a";
        const char* verdict = !r.pass.has_value() ? "" : (*r.pass ? "pass" : "FAIL");
        std::snprintf(line, sizeof line, "%-13s %-44s %12s %-5s %-9s %-4s %s\n", r.measure.c_str(),
                      r.name.c_str(), value.c_str(), r.unit.c_str(), r.target.c_str(), verdict,
                      r.note.c_str());
        out << line;
    }
    return out.str();
}

std::string Report::Json(const std::string& machine, int cores, const std::string& command) const {
    std::ostringstream out;
    out << "{\n  \"machine\": {\"cpu\": " << JsonString(machine) << ", \"cores\": " << cores
        << "},\n  \"command\": " << JsonString(command) << ",\n  \"failures\": " << Failures()
        << ",\n  \"figures\": [\n";
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        out << "    {\"measure\": " << JsonString(r.measure) << ", \"name\": " << JsonString(r.name)
            << ", \"value\": " << (r.measured ? JsonNumber(r.value) : "null")
            << ", \"unit\": " << JsonString(r.unit) << ", \"target\": " << JsonString(r.target)
            << ", \"pass\": " << (!r.pass.has_value() ? "null" : (*r.pass ? "true" : "false"))
            << ", \"note\": " << JsonString(r.note)
            << ", \"detail\": " << (r.detail ? "true" : "false") << "}"
            << (i + 1 < rows_.size() ? "," : "") << "\n";
    }
    out << "  ]\n}\n";
    return out.str();
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                return line.substr(line.find_first_not_of(' ', colon + 1));
            }
        }
    }
    return "unknown";
}

int OnlineCores() {
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

} // namespace bench
