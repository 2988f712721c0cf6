// Invariant checks of the fuzz targets: a broken invariant prints what broke
// and aborts, which libFuzzer reports as a crash with the input that did it.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kvx::fuzz {

inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void RequireFinite(double value, const char* what) { Require(std::isfinite(value), what); }

// printf renders an infinity or NaN as "inf"/"nan" (any case, perhaps signed).
inline bool LooksNonFinite(std::string_view text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    char lower[3];
    for (std::size_t k = 0; k < 3; ++k) {
      const char c = text[i + k];
      lower[k] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view window(lower, 3);
    if (window == "inf" || window == "nan") return true;
  }
  return false;
}

}  // namespace kvx::fuzz
