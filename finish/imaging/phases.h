// What each step of a run costs, for tuning: with QUILLORE_FINISH_PHASES set in the
// environment, every call of notePhase writes one line to standard error with the
// wall, user and system time, the minor page faults since the previous call and the
// peak resident memory so far. Without it, notePhase does nothing.
#pragma once

namespace finish {

void notePhase(const char* name);

}  // namespace finish
