#pragma once
// The exit codes of NimboraDefrag.exe. The service reads none of them (it
// starts the program and waits for nothing); they are for whoever runs the
// program by hand, for scripts and for the tests. Every code but kExitDone
// comes with one error entry in the event log.

namespace nimbora {

// The target was met, memory was already free enough, or the count asked for
// nothing (0 or negative).
inline constexpr int kExitDone = 0;
// An unexpected failure ended the run, or memory could not be measured at all.
inline constexpr int kExitInternalError = 1;
// The argument is missing, malformed, out of range, or not alone. Nothing was
// done.
inline constexpr int kExitBadArgument = 2;
// The memory asked for is not available: the steps allowed on this machine ran
// (or were unavailable) and the target was not met. Some memory may have been
// freed; the event entry says how much and by which step.
inline constexpr int kExitNotAvailable = 3;
// Another instance of the batch held the work turn for too long. Nothing was
// done.
inline constexpr int kExitBusy = 4;

}  // namespace nimbora
