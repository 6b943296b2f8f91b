#include "base/search/open_lists.hpp"

namespace quendral {

// This file is compiled with -ffp-contract=off (base/CMakeLists.txt): four separate roundings.
double blend_priority(double weight, double g, double h) noexcept {
  const double g_share = 1.0 - weight;
  const double g_part = g_share * g;
  const double h_part = h * weight;
  return g_part + h_part;
}

}  // namespace quendral
