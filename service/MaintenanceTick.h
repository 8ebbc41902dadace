#pragma once
// The once-a-second maintenance tick: reads the settings and the machine's
// state, lets TickDecision apply the memory gate, the five gates and the period
// between batches, and starts the defragmenter once per 1024 MB to free.
//
// Portable: everything the tick asks of the platform goes through the three
// small interfaces below, so a test can record exactly what the tick did.

#include <cstdint>
#include <string>

namespace nimbora {

// Settings under the settings key. Each call reads afresh; `defaultValue` is
// returned when the value is missing or unreadable.
class TickSettings {
public:
    virtual ~TickSettings() = default;
    virtual std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) = 0;
    virtual bool ReadBool(const wchar_t* name, bool defaultValue) = 0;
};

// The machine as the tick sees it.
class TickMachine {
public:
    virtual ~TickMachine() = default;
    // Byte counts; 0 when the reading fails.
    virtual std::int64_t TotalPhysicalMemory() = 0;
    virtual std::int64_t AvailablePhysicalMemory() = 0;
    // Processor load in percent since the previous sample; 0 for the first.
    virtual double ProcessorUsage() = 0;
    // Milliseconds since the machine started; does not wrap.
    virtual std::uint64_t TickCount() = 0;
    // ACLineStatus: 0 offline (on battery), 1 online, 255 unknown. A failed
    // query must report 255: an unreadable status never blocks.
    virtual std::uint8_t AcLineStatus() = 0;
    // Folder of the running executable, with its trailing delimiter.
    virtual std::wstring ExecutableFolder() = 0;
};

// Starts a program through the shell and returns at once.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    virtual void Open(const std::wstring& file, const std::wstring& parameters) = 0;
};

inline constexpr wchar_t kDefragmenterFileName[] = L"NimboraDefrag.exe";
inline constexpr std::int64_t kMegabytesPerLaunch = 1024;

class MaintenanceTick {
public:
    MaintenanceTick(TickSettings& settings, TickMachine& machine, ProgramLauncher& launcher) noexcept
        : settings_(settings), machine_(machine), launcher_(launcher) {}

    // One timer event. Does nothing until `serviceStarted`, nor while
    // another tick is still running on the same thread (a launch can run a
    // modal loop that delivers timer events); never throws: any failure ends
    // the tick, keeping what it had already done.
    void Run(bool serviceStarted) noexcept;

    // Uptime second at which the last batch began; 0 before the first.
    std::int32_t LastRunSeconds() const noexcept { return lastRunSeconds_; }

    // The longest interval over which a processor sample still counts as the
    // current load. A longer one (the first sample, a pause, an owner thread
    // that was busy) only starts a new interval: the gate then waits a tick.
    static constexpr std::uint64_t kCurrentLoadMilliseconds = 2500;

private:
    void Act();

    TickSettings& settings_;
    TickMachine& machine_;
    ProgramLauncher& launcher_;
    std::int32_t lastRunSeconds_ = 0;
    bool running_ = false;
    // Tick count of the previous processor sample; 0 before the first.
    std::uint64_t lastSampleTicks_ = 0;
};

// The parameter of one launch while `remainingMegabytes` of the batch are
// still to be freed: 1024 while at least that much remains, else the rest as
// plain decimal (0 and negative counts included).
std::wstring LaunchParameter(std::int64_t remainingMegabytes);

}  // namespace nimbora
