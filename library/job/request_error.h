// A request a job cannot carry out as made: options that contradict each other or name what
// cannot be, found before anything is read or written. The programs call it a wrong command
// line; the message names the options as their command lines do.
#ifndef TORNAVEL_JOB_REQUEST_ERROR_H_
#define TORNAVEL_JOB_REQUEST_ERROR_H_

#include <stdexcept>

namespace tornavel {

class request_error : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace tornavel

#endif  // TORNAVEL_JOB_REQUEST_ERROR_H_
