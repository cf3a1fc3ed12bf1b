// The control commands of the simulated gateway, one line each, and their one-line answers.
//
//   latency MS            downloads block MS milliseconds before they act
//   slow MS               every outside call is slowed down by MS milliseconds (0: off)
//   fail REL DIGIT        downloads of REL answer DIGIT (1-9) and leave it a stub; 0 lifts it
//   deny REL              EPERM below REL, except for listing (stat, readdir)
//   outage REL ERRNO      ERRNO (ETIMEDOUT, EHOSTDOWN or any errno name) for every call below REL
//   clear                 drops deny, outage, fail and slow; the latency stays
//   counters              the counters as one line of JSON
//   reset                 sets the counters back to zero
//   ping                  answers "pong"
//
// REL is relative to the share root ("/" or "." is the root) and may contain spaces; it runs
// to the end of the line, or to the last word where a DIGIT or ERRNO follows. Answers are "ok",
// "pong", the JSON, or "error: <why>".
#pragma once

#include <string>
#include <string_view>

#include "Counters.h"
#include "Faults.h"

namespace pellora::gatewaysim {

class Controller {
 public:
  Controller(Faults& faults, Counters& counters) : faults_(faults), counters_(counters) {}

  std::string execute(std::string_view line);

 private:
  Faults& faults_;
  Counters& counters_;
};

}  // namespace pellora::gatewaysim
