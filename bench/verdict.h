// The verdict line every benchmark ends with, the same in each so that
// bench/run_all.sh can gather them into one table:
//   RESULT <name> figure=<x> floor=<y> unit=<u> ratio=<figure/floor> bound=<b> verdict=<ok|OVER>
// The floor is measured in the same run (the least any program could spend
// on the same work), so a noisy machine moves both alike.
#pragma once

#include <cstdio>

namespace kvx::bench {

// Within when figure <= bound x floor.
inline bool Verdict(const char* name, double figure, double floor, const char* unit, double bound = 2.0) {
  const double ratio = floor > 0.0 ? figure / floor : 0.0;
  const bool ok = floor > 0.0 && ratio <= bound;
  std::printf("RESULT %s figure=%.4g floor=%.4g unit=%s ratio=%.2f bound=%.2fx verdict=%s\n", name, figure, floor, unit,
              ratio, bound, ok ? "ok" : "OVER");
  std::fflush(stdout);
  return ok;
}

// Within when figure <= limit (in the figure's unit), for a figure whose
// bound is absolute (a stop within 50 ms); the floor is printed beside it.
inline bool VerdictWithin(const char* name, double figure, double floor, const char* unit, double limit) {
  const double ratio = floor > 0.0 ? figure / floor : 0.0;
  const bool ok = figure <= limit;
  std::printf("RESULT %s figure=%.4g floor=%.4g unit=%s ratio=%.2f bound=<=%g%s verdict=%s\n", name, figure, floor, unit,
              ratio, limit, unit, ok ? "ok" : "OVER");
  std::fflush(stdout);
  return ok;
}

}  // namespace kvx::bench
