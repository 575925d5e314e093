// tfr_compare_bakes CACHE_A CACHE_B [--total T] [--field F]: the GPU check's comparison of two bakes
// of one scene. Prints one line per frame and a verdict; exit 0 within the tolerance, 1 beyond it
// or when the bakes cannot be compared, 2 for a wrong command line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/gpu/bake_compare.h"

namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "tfr_compare_bakes: %s\nusage: tfr_compare_bakes CACHE_A CACHE_B [--total T] [--field F]\n", why);
  return 2;
}

bool ParseFraction(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && value >= 0.0 && value <= 1.0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tf::gpucheck;
  BakeTolerance tolerance;
  std::string folders[2];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--total" || arg == "--field") {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      if (!ParseFraction(argv[++i], arg == "--total" ? tolerance.total : tolerance.field))
        return Usage((arg + " takes a fraction from 0 to 1").c_str());
    } else if (arg.starts_with("-")) {
      return Usage(("unknown option " + arg).c_str());
    } else if (count < 2) {
      folders[count++] = arg;
    } else {
      return Usage("more than two cache folders");
    }
  }
  if (count != 2) return Usage("two cache folders are needed");

  const BakeComparison c = CompareBakes(folders[0], folders[1]);
  if (!c.problem.empty()) {
    std::printf("bakes differ: %s\n", c.problem.c_str());
    return 1;
  }
  double worstTotal = 0, worstField = 0;
  for (const FrameDifference& d : c.frames) {
    if (!d.problem.empty()) {
      std::printf("frame %4d: %s\n", d.frame, d.problem.c_str());
      continue;
    }
    std::printf("frame %4d: totals %.2e (%s), cells %.2e (%s)\n", d.frame, d.total, ChannelName(d.totalChannel),
                d.field, ChannelName(d.fieldChannel));
    worstTotal = std::max(worstTotal, d.total), worstField = std::max(worstField, d.field);
  }
  const bool ok = c.Within(tolerance);
  std::printf("%s: %zu frames, largest difference of totals %.2e (allowed %.2e), of cells %.2e (allowed %.2e)\n",
              ok ? "bakes agree" : "bakes differ", c.frames.size(), worstTotal, tolerance.total, worstField,
              tolerance.field);
  return ok ? 0 : 1;
}
