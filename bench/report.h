// The benchmark's results: a table for people, then one line per figure for comparing runs.
#ifndef QZ_BENCH_REPORT_H_
#define QZ_BENCH_REPORT_H_

#include <optional>
#include <string>
#include <vector>

namespace qz::bench {

struct Row {
  std::string name;  // stable identifier, e.g. "fanout_idle_n128"
  std::string what;  // one phrase for the table
  double value = 0;
  std::string unit;
  int decimals = 1;
  std::optional<double> raw;    // the raw baseline's value, same unit
  std::string versus = "raw";   // which baseline `raw` holds, for the one-line form
  std::optional<double> ratio;  // higher is better, 1.0 = as fast as raw
  std::string target;           // e.g. "ratio >= 0.8"; empty when there is none
  std::optional<bool> met;
  bool skipped = false;  // value not measured; note says why
  std::string note;
};

class Report {
 public:
  void Add(Row row) { rows_.push_back(std::move(row)); }
  // A line printed under the table (what limits a figure, how it was measured, ...).
  void Note(std::string line) { notes_.push_back(std::move(line)); }
  // The table, the notes, then "NAME: VALUE UNIT (ratio R vs raw)" lines.
  void Print() const;

 private:
  std::vector<Row> rows_;
  std::vector<std::string> notes_;
};

}  // namespace qz::bench

#endif  // QZ_BENCH_REPORT_H_
