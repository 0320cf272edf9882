#include "views/axis_ticks.h"

#include <cmath>
#include <cstdio>

namespace tornavel {

std::vector<double> linear_ticks(double high) {
  double step = std::pow(10.0, std::floor(std::log10(high / 5.0)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (high <= 5.0 * step * factor * (1 + 1e-12)) {
      step *= factor;
      break;
    }
  }
  std::vector<double> ticks;
  for (int i = 0; ticks.empty() || ticks.back() < high * (1 - 1e-12); ++i) ticks.push_back(step * i);
  return ticks;
}

std::vector<double> log_ticks(double low, double high) {
  std::vector<double> decades, steps;
  for (int power = static_cast<int>(std::floor(std::log10(low))); power <= std::ceil(std::log10(high)); ++power) {
    for (const double mantissa : {1.0, 2.0, 5.0}) {
      const double value = mantissa * std::pow(10.0, power);
      if (value < low * (1 - 1e-12) || value > high * (1 + 1e-12)) continue;
      steps.push_back(value);
      if (mantissa == 1.0) decades.push_back(value);
    }
  }
  return decades.size() >= 3 ? decades : steps;
}

std::string tick_text(double value, double largest) {
  char text[32];
  if (value == 0.0) return "0";
  if (largest >= 1e6) {
    const int power = static_cast<int>(std::floor(std::log10(value) + 1e-9));
    std::snprintf(text, sizeof text, "%.0fe%d", value / std::pow(10.0, power), power);
  } else if (value >= 1e-4) {
    std::snprintf(text, sizeof text, "%.6g", value);
  } else {  // plain digits still: 0.000002
    std::snprintf(text, sizeof text, "%.*f", static_cast<int>(std::ceil(-std::log10(value))) + 1, value);
    std::string plain = text;
    while (plain.back() == '0') plain.pop_back();
    return plain;
  }
  return text;
}

}  // namespace tornavel
