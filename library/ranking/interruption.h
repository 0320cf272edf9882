// How a long computation is stopped from outside, as a Python caller's Ctrl-C stops it: every
// thread of the computation polls between blocks, and whatever poll() throws ends it there.
#ifndef TORNAVEL_RANKING_INTERRUPTION_H_
#define TORNAVEL_RANKING_INTERRUPTION_H_

namespace tornavel {

class interruption {
 public:
  virtual ~interruption() = default;
  // Returns, or throws to stop the computation. Called from every thread of it, often: it must
  // be cheap when nothing is to be done, and once it has thrown on one thread it must throw on
  // the others too.
  virtual void poll() = 0;
};

// Polls if there is anything to poll.
inline void poll(interruption* stop) {
  if (stop != nullptr) stop->poll();
}

}  // namespace tornavel

#endif  // TORNAVEL_RANKING_INTERRUPTION_H_
