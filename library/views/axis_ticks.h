// Round numbers for the axes and legends of the viewer's pictures.
#ifndef TORNAVEL_VIEWS_AXIS_TICKS_H_
#define TORNAVEL_VIEWS_AXIS_TICKS_H_

#include <string>
#include <vector>

namespace tornavel {

// Ticks from 0 to at least high (> 0), in steps of 1, 2 or 5 times a power of ten: the
// smallest such step that needs at most five steps.
std::vector<double> linear_ticks(double high);

// Ticks on a log axis between low and high (0 < low <= high): the powers of ten, or where
// fewer than three of them lie there, 1, 2 and 5 times the powers of ten.
std::vector<double> log_ticks(double low, double high);

// A tick's text, in one notation for all the ticks of an axis (largest: the largest of them):
// plain digits ("5000", "0.02", "0.000005") unless the largest reaches a million, then powers
// of ten with their mantissa ("2e6", "1e7", "5e5").
std::string tick_text(double value, double largest);

}  // namespace tornavel

#endif  // TORNAVEL_VIEWS_AXIS_TICKS_H_
