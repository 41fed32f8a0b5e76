#ifndef BRENVOX_OUTCOME_H
#define BRENVOX_OUTCOME_H

#include <string>
#include <utility>

// How a step of the run ended: on to the next step, or stopped with the line
// that says why.
class Outcome {
  public:
    Outcome() = default;
    static Outcome stop(std::string line) { return Outcome(std::move(line)); }

    bool stopped() const { return isStopped; }
    const std::string& errorLine() const { return line; }

  private:
    explicit Outcome(std::string why) : isStopped(true), line(std::move(why)) {}

    bool isStopped = false;
    std::string line;
};

#endif
