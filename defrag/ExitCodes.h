#pragma once
// The exit codes of NimboraDefrag.exe. The service reads none of them (it
// starts the program and waits for nothing); they are for whoever runs the
// program by hand, for scripts and for the tests. The worker of a batch writes
// the batch's one event-log entry (information, warning or error); any other
// instance writes an error entry for codes 1, 2 and 4 only.

namespace nimbora {

// The batch's goal was met (or memory was already free enough, or a
// full-screen program held the batch back), the amount was handed over to the
// batch's worker, the batch had already done its work (a late instance, one
// beyond the batch's cap, or one that found the physical memory changed under
// the batch: no entry), or the count asked for nothing (0 or negative).
inline constexpr int kExitDone = 0;
// An unexpected failure ended the run, memory could not be measured when the
// batch began, or DefragExclude is not a text (nothing trimmed).
inline constexpr int kExitInternalError = 1;
// The argument is missing, malformed, out of range, or not alone. Nothing was
// done.
inline constexpr int kExitBadArgument = 2;
// A partial result: the steps allowed ran out before the goal (only dirty
// pages, busy or protected processes were left). The warning entry says how
// much was freed.
inline constexpr int kExitPartial = 3;
// Coordination was refused or could not be had: the private namespace cannot
// be entered, the batch's objects exist under another owner or cannot be
// created, the record's lock stayed held, or the shared record is not sane
// while a worker runs. Nothing was done; the error entry is written at most
// once per ExecutePeriod (at least a minute).
inline constexpr int kExitBusy = 4;

}  // namespace nimbora
