#pragma once
// A model of how Windows accounts physical memory, after Microsoft's
// description of the page lists, for running the planner off the platform:
//
//   - free and zeroed pages: unused;
//   - standby pages: clean pages no process maps any more (the cache), each
//     list by priority; a trim puts pages at normal priority, the low-priority
//     part holds what prefetching and low-priority readers left;
//   - modified pages: dirty pages no process maps, waiting to be written;
//   - working sets: each process's clean and dirty resident pages.
//
// Trimming a working set moves its clean pages to standby and its dirty ones
// to modified; flushing writes the modified list, which then becomes
// standby; purging moves standby pages to free. Available memory is free +
// zeroed + standby. Every page is counted in exactly one place.

#include <cstdint>
#include <string>
#include <vector>

#include "defrag/Planner.h"

namespace nimbora {

struct ModelProcess {
    std::uint32_t id = 0;
    std::wstring name;
    std::uint32_t session = 1;
    std::int64_t clean = 0;  // bytes in the working set
    std::int64_t dirty = 0;
    bool busy = false;       // uses processor time while sampled
    bool refuses = false;    // cannot be opened for trimming
    std::uint64_t created = 1;
};

class MemoryModel final : public MemoryActions {
public:
    // Lists in bytes; `other` is what the kernel and drivers hold, never moved.
    std::int64_t free = 0;
    std::int64_t zeroed = 0;
    std::int64_t standby = 0;             // normal priority
    std::int64_t standbyLowPriority = 0;
    std::int64_t modified = 0;
    std::int64_t other = 0;
    std::vector<ModelProcess> processes;
    ForegroundInfo foreground{true, 0, 1};
    std::uint32_t self = 9999;
    bool listFails = false;
    bool readFails = false;
    std::uint64_t trimCostMs = 2;

    // What happened, for tests and figures.
    std::uint64_t clock = 0;
    int trims = 0;
    std::vector<std::uint32_t> trimmedIds;
    std::int64_t written = 0;      // bytes the flush wrote
    std::int64_t purged = 0;       // bytes the purge turned from standby to free
    std::vector<MemoryCommand> commands;

    std::int64_t Total() const noexcept;
    std::int64_t Available() const noexcept { return free + zeroed + standby + standbyLowPriority; }

    MemoryReading Read() override;
    std::optional<std::vector<ProcessInfo>> Processes() override;
    ForegroundInfo Foreground() override { return foreground; }
    std::uint32_t CurrentProcessId() override { return self; }
    TrimOutcome Trim(const ProcessInfo& process) override;
    ActionStatus Run(MemoryCommand command) override;
    void Pause(std::uint64_t milliseconds) override { clock += milliseconds; }
    std::uint64_t Milliseconds() override { return clock; }
};

}  // namespace nimbora
