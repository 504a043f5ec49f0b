// The benchmark's results: one row per figure, printed as a table and written as JSON,
// each figure with its target and whether it met it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string measure; // "1 virtual", "2 in-process", ...
    std::string name;    // what was measured
    double value = 0;
    std::string unit;
    std::string target;       // "<= 1.01", empty: no target
    std::optional<bool> pass; // empty: no target, or not measured
    std::string note;         // how, or why it is missing
    bool measured = true;     // false: the figure could not be taken (note says why)
    bool detail = false;      // JSON only: one of many (a single image, a single size)
};

class Report {
  public:
    // A figure with an optional upper or lower limit.
    void Add(Row row) { rows_.push_back(std::move(row)); }
    void AddAtMost(const std::string& measure, const std::string& name, double value,
                   const std::string& unit, double limit, const std::string& note = "");
    void AddAtLeast(const std::string& measure, const std::string& name, double value,
                    const std::string& unit, double limit, const std::string& note = "");
    void AddFigure(const std::string& measure, const std::string& name, double value,
                   const std::string& unit, const std::string& note = "");
    void AddMissing(const std::string& measure, const std::string& name, const std::string& why);

    const std::vector<Row>& Rows() const { return rows_; }
    int Failures() const;

    // The table, as a fixed-width text.
    std::string Table() const;
    // The same figures with the machine and the command line, as JSON.
    std::string Json(const std::string& machine, int cores, const std::string& command) const;

  private:
    std::vector<Row> rows_;
};

// "Intel(R) ... @ 2.80GHz" from /proc/cpuinfo, and the number of online cores.
std::string CpuModel();
int OnlineCores();

} // namespace bench
