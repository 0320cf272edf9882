#include "views/score_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "views/axis_ticks.h"
#include "views/svg_text.h"

namespace tornavel {

namespace {

// The point of the item ranked i + 1, named in a list a line apart (at list_x, list_y) and tied
// to it by a leader line: the first items' points lie close together, where names written
// beside them would overlap.
std::string named_point(std::size_t i, double x, double y, double list_x, double list_y, const std::string& name) {
  char text[400];
  std::snprintf(text, sizeof text,
                "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"3\" fill=\"#440154\"/>\n"
                "<path d=\"M %.2f %.2f L %.2f %.2f\" stroke=\"#999\" stroke-width=\"0.75\" fill=\"none\"/>\n"
                "<text x=\"%.2f\" y=\"%.2f\" dominant-baseline=\"middle\">%zu. ",
                x, y, x, y, list_x - 4, list_y, list_x, list_y, i + 1);
  return text + xml_text(name) + "</text>\n";
}

}  // namespace

std::string score_plot_svg(const std::vector<float>& scores, const std::vector<std::string>& labels) {
  constexpr double width = 640, height = 400, left = 100, right = 20, top = 20, bottom = 50;
  const double plot_w = width - left - right, plot_h = height - top - bottom;
  double largest = 0.0, smallest_positive = 0.0;
  for (float s : scores) {
    largest = std::max(largest, static_cast<double>(s));
    if (s > 0 && (smallest_positive == 0.0 || s < smallest_positive)) smallest_positive = s;
  }
  // A log axis where the scores span two decades or more; its ends and a linear axis's top are
  // round numbers, which are the ticks.
  const bool log_scale = smallest_positive > 0.0 && largest / smallest_positive >= 100.0;
  const std::vector<double> ticks = log_scale ? log_ticks(std::pow(10.0, std::floor(std::log10(smallest_positive))),
                                                          std::pow(10.0, std::ceil(std::log10(largest))))
                                              : linear_ticks(largest > 0.0 ? largest : 1.0);
  const double low = log_scale ? std::log10(ticks.front()) : 0.0;
  const double high = log_scale ? std::log10(ticks.back()) : ticks.back();
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
  for (const double tick : ticks) {
    std::snprintf(text, sizeof text,
                  "<path d=\"M %g %g h -4\" stroke=\"black\"/><text x=\"%g\" y=\"%g\" text-anchor=\"end\" "
                  "dominant-baseline=\"middle\">%s</text>\n",
                  left, y_of(tick), left - 8, y_of(tick), tick_text(tick, ticks.back()).c_str());
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
    svg += named_point(i, x_of(i), y_of(scores[i]), left + plot_w * 0.35, top + 14.0 + 15.0 * static_cast<double>(i),
                       name);
  }
  return svg + "</svg>\n";
}

}  // namespace tornavel
