#include "report.h"

#include <algorithm>
#include <cstdio>

#include "util.h"

namespace qz::bench {
namespace {

std::string Value(const Row& r) {
  if (r.skipped) return "skipped";
  return Fixed(r.value, r.decimals) + " " + r.unit;
}

std::string Raw(const Row& r) { return r.raw ? Fixed(*r.raw, r.decimals) + " " + r.unit : "-"; }
// Small ratios keep their significant digits: 0.0042 says more than 0.00.
std::string RatioText(double ratio) { return Fixed(ratio, ratio < 0.095 ? 4 : 2); }
std::string Ratio(const Row& r) { return r.ratio ? RatioText(*r.ratio) : "-"; }
std::string Met(const Row& r) {
  if (r.target.empty()) return "";
  if (!r.met) return "n/a";
  return *r.met ? "yes" : "NO";
}

}  // namespace

void Report::Print() const {
  const std::vector<std::string> head = {"figure", "component", "raw", "ratio", "target", "met"};
  std::vector<std::vector<std::string>> cells;
  for (const Row& r : rows_) {
    cells.push_back({r.what, Value(r), Raw(r), Ratio(r), r.target, Met(r)});
  }
  std::vector<size_t> width(head.size());
  for (size_t c = 0; c < head.size(); ++c) {
    width[c] = head[c].size();
    for (const auto& line : cells) width[c] = std::max(width[c], line[c].size());
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    for (size_t c = 0; c < line.size(); ++c) {
      std::printf(c == 0 ? "%-*s" : "  %*s", static_cast<int>(width[c]), line[c].c_str());
    }
    std::printf("\n");
  };
  std::printf("\n");
  print_line(head);
  size_t total = 0;
  for (size_t w : width) total += w + 2;
  std::printf("%s\n", std::string(total - 2, '-').c_str());
  for (const auto& line : cells) print_line(line);
  std::printf("\n");
  for (const Row& r : rows_) {
    if (!r.note.empty()) std::printf("  %s: %s\n", r.name.c_str(), r.note.c_str());
  }
  for (const std::string& n : notes_) std::printf("  %s\n", n.c_str());
  std::printf("\n");
  for (const Row& r : rows_) {
    if (r.skipped) {
      std::printf("%s: skipped\n", r.name.c_str());
    } else if (r.ratio) {
      std::printf("%s: %s %s (ratio %s vs %s)\n", r.name.c_str(),
                  Fixed(r.value, r.decimals).c_str(), r.unit.c_str(), RatioText(*r.ratio).c_str(),
                  r.versus.c_str());
    } else {
      std::printf("%s: %s %s\n", r.name.c_str(), Fixed(r.value, r.decimals).c_str(),
                  r.unit.c_str());
    }
  }
  std::fflush(stdout);
}

}  // namespace qz::bench
