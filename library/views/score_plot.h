// The scores of a ranking as a plot, for seeing where they fall off.
#ifndef TORNAVEL_VIEWS_SCORE_PLOT_H_
#define TORNAVEL_VIEWS_SCORE_PLOT_H_

#include <string>
#include <vector>

namespace tornavel {

// An SVG plot of scores (in rank order, highest first) against their ranks, with labelled axes;
// the score axis is logarithmic where the positive scores span two decades or more (scores of
// 0 or less then sit on the axis). The first few points are named after their labels (in rank
// order; empty for none, then by index).
std::string score_plot_svg(const std::vector<float>& scores, const std::vector<std::string>& labels);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_SCORE_PLOT_H_
