// The command-line scanner reading every argument of a long line, side by side: each
// argument scanned from the line's start (as one call per argument once did) against
// one cursor that moves on from the previous argument. Rounds alternate the two; the
// table shows the first round (cold) and the median of all (warm), and their ratio.
//
// Usage: velmoran_scan_ratios [rounds] [most switches]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/command_line.h"

namespace {

using Clock = std::chrono::steady_clock;

// "prog -m -m ... -m src": the shape of a line with many switches.
std::string LineOfSwitches(std::uint32_t switches) {
  std::string line = "velmoran";
  for (std::uint32_t i = 0; i < switches; ++i) {
    line += " -m";
  }
  return line + " src";
}

// Reads arguments 1.. until they end; returns the count, so the work cannot be dropped.
template <typename ReadOne>
std::uint32_t ReadAll(ReadOne readOne) {
  std::uint32_t index = 1;
  while (readOne(index) == ArgFound) {
    ++index;
  }
  return index;
}

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const long long most = argc > 2 ? std::atoll(argv[2]) : 100000;
  std::printf("%9s  %13s %13s %9s  %13s %13s %9s\n", "switches", "rescan cold", "cursor cold",
              "ratio", "rescan warm", "cursor warm", "ratio");
  for (const std::uint32_t switches : {1000U, 10000U, 100000U}) {
    if (static_cast<long long>(switches) > most) {
      break;
    }
    const std::string line = LineOfSwitches(switches);
    std::vector<char> out(line.size() + 1);
    std::vector<double> rescan;
    std::vector<double> cursor;
    // The rescan is quadratic: fewer rounds of it at the largest size keep the run short.
    const int rescanRounds = switches >= 100000U ? 1 : rounds;
    for (int round = 0; round < rounds; ++round) {
      if (round < rescanRounds) {
        const Clock::time_point start = Clock::now();
        const std::uint32_t count = ReadAll(
            [&](std::uint32_t index) { return ScanArgument(line.c_str(), index, out.data()); });
        rescan.push_back(Seconds(start));
        if (count != switches + 2) {
          return 1;
        }
      }
      const Clock::time_point start = Clock::now();
      ArgumentCursor scan = StartArguments(line.c_str());
      const std::uint32_t count =
          ReadAll([&](std::uint32_t index) { return GetArgument(scan, index, out.data()); });
      cursor.push_back(Seconds(start));
      if (count != switches + 2) {
        return 1;
      }
    }
    std::printf("%9u  %12.6fs %12.6fs %8.0fx  %12.6fs %12.6fs %8.0fx\n", switches, rescan.front(),
                cursor.front(), rescan.front() / cursor.front(), Median(rescan), Median(cursor),
                Median(rescan) / Median(cursor));
  }
  return 0;
}
