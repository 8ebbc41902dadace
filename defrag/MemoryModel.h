#pragma once
// A model of how Windows accounts physical memory, after Microsoft's
// description of the page lists and working sets, for running the planner
// off the platform:
//
//   - free and zeroed pages: unused;
//   - standby pages: clean pages no working set holds any more (the cache),
//     by priority; a trim puts pages at normal priority, the low-priority
//     part holds what prefetching and low-priority readers left. A standby
//     page is taken (repurposed) for a new allocation once free and zeroed
//     pages are gone, low priority first;
//   - modified pages: dirty pages no working set holds, waiting to be written.
//     The modified page writer writes them (they become standby) once the
//     list grows past its threshold, at the disk's pace; with memory
//     compression (Windows 10 and later) the store manager compresses them
//     instead into the compression store, which counts as in use;
//   - working sets: each process's private clean and dirty pages, and the
//     shared pages (images, mapped files) of a segment it maps, which stay in
//     use while any working set still holds them;
//   - refaults: a process touches again some of the pages trimmed from it;
//     a page still on standby or modified comes back at once (a soft fault),
//     one repurposed since is read from disk into a new page (a hard fault).
//
// Available memory is free + zeroed + standby. Every page is counted in
// exactly one place: Total() never changes but by Allocate and Release.

#include <cstdint>
#include <string>
#include <vector>

#include "defrag/Planner.h"

namespace nimbora {

struct ModelProcess {
    std::uint32_t id = 0;
    std::wstring name;
    std::uint32_t session = 1;
    std::int64_t clean = 0;  // private bytes in the working set
    std::int64_t dirty = 0;
    bool busy = false;       // uses processor time while sampled
    bool refuses = false;    // cannot be opened for trimming
    std::uint64_t created = 1;
    std::uint32_t parentId = 0;
    int segment = 0;             // the shared segment it maps; 0 for none
    std::int64_t touchPerSecond = 0;  // bytes of its trimmed pages it touches again each second

    // Kept by the model.
    bool holdsSegment = true;    // the segment's pages are in its working set
    std::int64_t outStandby = 0;   // trimmed clean pages still on standby
    std::int64_t outModified = 0;  // trimmed dirty pages on the modified list or in the store
    std::int64_t outGone = 0;      // trimmed pages repurposed since: a touch is a hard fault
};

struct ModelSegment {
    int id = 0;
    std::int64_t bytes = 0;  // in use while a holder holds it, standby once none does
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
    std::int64_t store = 0;               // the compression store: in use
    std::vector<ModelProcess> processes;
    std::vector<ModelSegment> segments;
    DesktopState desktops;                // empty and not listed: every session protected
    std::uint32_t self = 9999;
    bool listFails = false;
    bool readFails = false;
    bool modifiedKnown = true;            // the page lists can be read (the profile privilege)
    std::uint64_t trimCostMs = 2;

    // The modified page writer: starts above `writerStart` bytes on the list,
    // writes at `writerBytesPerSecond` down to `writerStop`.
    std::int64_t writerStart = 400ll << 20;
    std::int64_t writerStop = 200ll << 20;
    std::int64_t writerBytesPerSecond = 50ll << 20;
    // Memory compression: modified pages go to the store at this ratio
    // (original bytes per stored byte) instead of being written.
    bool compression = false;
    std::int64_t compressionRatio = 3;

    // What happened, for tests and figures.
    std::uint64_t clock = 0;
    int trims = 0;
    std::vector<std::uint32_t> trimmedIds;
    std::int64_t written = 0;      // bytes the writer and the flush wrote
    std::int64_t compressed = 0;   // original bytes the store took
    std::int64_t purged = 0;       // bytes the purge turned from standby to free
    std::int64_t softFaults = 0;   // bytes touched back from standby, modified or the store
    std::int64_t hardFaults = 0;   // bytes read back from disk
    std::int64_t unmet = 0;        // bytes an allocation could not get
    std::vector<MemoryCommand> commands;

    std::int64_t Total() const noexcept;
    std::int64_t Available() const noexcept { return free + zeroed + standby + standbyLowPriority; }

    // Makes the process `id` the foreground of its session (which becomes a
    // listed, active, known desktop).
    void SetForeground(std::uint32_t session, std::uint32_t id);
    // A process grows by `bytes` of private pages (clean when `clean`): taken
    // from free and zeroed pages, then from standby (repurposed), low priority
    // first. What cannot be had is counted in `unmet`.
    void Allocate(std::uint32_t id, std::int64_t bytes, bool clean = false);
    // A process frees `bytes` of its private pages (dirty first) to the free list.
    void Release(std::uint32_t id, std::int64_t bytes);
    // Runs the writer, the store manager and the refaults for `milliseconds`.
    void Advance(std::uint64_t milliseconds);

    MemoryReading Read() override;
    std::optional<std::vector<ProcessInfo>> Processes() override;
    DesktopState Desktops() override { return desktops; }
    std::uint32_t CurrentProcessId() override { return self; }
    TrimOutcome Trim(const ProcessInfo& process) override;
    ActionStatus Run(MemoryCommand command) override;
    void Pause(std::uint64_t milliseconds) override { Advance(milliseconds); }
    std::uint64_t Milliseconds() override { return clock; }

private:
    ModelProcess* Find(std::uint32_t id);
    std::int64_t SegmentBytes(int segment) const noexcept;
    bool SegmentHeld(int segment) const noexcept;
    // Takes up to `bytes` of new pages; returns what it got.
    std::int64_t TakePages(std::int64_t bytes);
    void Write(std::int64_t bytes);
    void Touch(ModelProcess& p, std::int64_t bytes);

    bool writing_ = false;
};

// A desktop of `totalMb` with `availableMb` available: the user's session 1
// holds a foreground browser (process 1000), a busy compiler, the shell and
// `idle` idle background programs (ids from 2000) whose working sets are one
// third dirty, each touching 64 KB of its trimmed pages a second again; a
// database service (1200) runs in session 0.
MemoryModel DesktopModel(std::int64_t totalMb, std::int64_t availableMb, int idle);

}  // namespace nimbora
