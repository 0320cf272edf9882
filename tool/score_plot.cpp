#include "tool/score_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tool/svg_text.h"

namespace tornavel {

std::string score_plot_svg(const std::vector<float>& scores, const std::vector<std::string>& labels) {
  constexpr double width = 640, height = 400, left = 100, right = 20, top = 20, bottom = 50;
  const double plot_w = width - left - right, plot_h = height - top - bottom;
  double largest = 0.0, smallest_positive = 0.0;
  for (float s : scores) {
    largest = std::max(largest, static_cast<double>(s));
    if (s > 0 && (smallest_positive == 0.0 || s < smallest_positive)) smallest_positive = s;
  }
  const bool log_scale = smallest_positive > 0.0 && largest / smallest_positive >= 100.0;
  const double low = log_scale ? std::floor(std::log10(smallest_positive)) : 0.0;
  const double high = log_scale ? std::ceil(std::log10(largest)) : (largest > 0.0 ? largest : 1.0);
  const auto y_of = [&](double score) {
    const double v = log_scale ? (score > 0.0 ? std::log10(score) : low) : std::max(score, 0.0);
    return top + plot_h * (1.0 - (v - low) / (high - low > 0.0 ? high - low : 1.0));
  };
  const std::size_t n = scores.size();
  const auto x_of = [&](std::size_t rank) {  // rank from 0
    return left + plot_w * (n > 1 ? static_cast<double>(rank) / static_cast<double>(n - 1) : 0.5);
  };
  char text[300];
  std::string svg;
  svg += svg_start(width, height, "font-family=\"sans-serif\" font-size=\"11\"");
  std::snprintf(text, sizeof text,
                "<path d=\"M %g %g V %g H %g\" fill=\"none\" stroke=\"black\"/>\n", left, top, top + plot_h,
                left + plot_w);
  svg += text;
  // Ticks: each decade on a log axis, five steps on a linear one; the first, middle and last rank.
  const int steps = log_scale ? static_cast<int>(high - low) : 4;
  for (int i = 0; i <= steps; ++i) {
    const double v = low + (high - low) * i / std::max(steps, 1);
    const double score = log_scale ? std::pow(10.0, v) : v;
    std::snprintf(text, sizeof text,
                  score >= 1e4 ? "<text x=\"%g\" y=\"%g\" text-anchor=\"end\" dominant-baseline=\"middle\">%.0f</text>\n"
                               : "<text x=\"%g\" y=\"%g\" text-anchor=\"end\" dominant-baseline=\"middle\">%.3g</text>\n",
                  left - 6, y_of(score), score);
    svg += text;
  }
  for (std::size_t rank : {std::size_t{0}, n / 2, n > 0 ? n - 1 : 0}) {
    std::snprintf(text, sizeof text, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">%zu</text>\n",
                  x_of(rank), top + plot_h + 16, rank + 1);
    svg += text;
  }
  std::snprintf(text, sizeof text,
                "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">rank</text>\n"
                "<text x=\"16\" y=\"%g\" text-anchor=\"middle\" transform=\"rotate(-90 16 %g)\">score, "
                "ln of the multinomial coefficient%s</text>\n",
                left + plot_w / 2, height - 10, top + plot_h / 2, top + plot_h / 2,
                log_scale ? " (log scale)" : "");
  svg += text;
  std::string points;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "%s%.2f,%.2f", i == 0 ? "" : " ", x_of(i), y_of(scores[i]));
    points += text;
  }
  svg += "<polyline fill=\"none\" stroke=\"#21908d\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(n, 5); ++i) {
    const std::string name = i < labels.size() && !labels[i].empty() ? labels[i] : "#" + std::to_string(i + 1);
    std::snprintf(text, sizeof text, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"3\" fill=\"#440154\"/>\n"
                                     "<text x=\"%.2f\" y=\"%.2f\">",
                  x_of(i), y_of(scores[i]), x_of(i) + 6, y_of(scores[i]) - 6);
    svg += text + xml_text(name) + "</text>\n";
  }
  return svg + "</svg>\n";
}

}  // namespace tornavel
