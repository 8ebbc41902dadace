#pragma once
// A scripted machine for the maintenance tick's tests: it answers the tick's
// readings and settings from its fields and records every call, in order;
// and the cases that both the tick's and the decision's tests run.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "service/MaintenanceTick.h"

namespace nimbora::fakes {

// Records every call the tick makes, in order, and answers from a script.
class Recorder : public TickSettings, public TickMachine, public ProgramLauncher {
public:
    std::vector<std::wstring> calls;
    std::map<std::wstring, std::int32_t> stored;  // settings present in the "registry"
    std::int64_t total = 8589934592;
    std::int64_t available = 1;  // due at every trigger level but 0
    double load = 0;
    std::uint64_t ticks = 10 * 60 * 1000;
    std::uint8_t acLine = 1;
    std::vector<std::wstring> launches;

    std::int32_t ReadInteger(const wchar_t* name, std::int32_t def) override {
        calls.push_back(std::wstring(L"read ") + name + L"=" + std::to_wstring(def));
        auto it = stored.find(name);
        return it == stored.end() ? def : it->second;
    }
    bool ReadBool(const wchar_t* name, bool def) override {
        calls.push_back(std::wstring(L"read ") + name + L"=" + (def ? L"true" : L"false"));
        auto it = stored.find(name);
        return it == stored.end() ? def : it->second != 0;
    }
    std::int64_t TotalPhysicalMemory() override { return calls.push_back(L"total"), total; }
    std::int64_t AvailablePhysicalMemory() override { return calls.push_back(L"available"), available; }
    double ProcessorUsage() override { return calls.push_back(L"cpu"), load; }
    std::uint64_t TickCount() override { return calls.push_back(L"ticks"), ticks; }
    std::uint8_t AcLineStatus() override { return calls.push_back(L"power"), acLine; }
    std::wstring ExecutableFolder() override { return L"C:\\Program Files\\Nimbora\\"; }
    void Open(const std::wstring& file, const std::wstring& parameters) override {
        EXPECT_EQ(file, L"C:\\Program Files\\Nimbora\\NimboraDefrag.exe");
        calls.push_back(L"launch " + parameters);
        launches.push_back(parameters);
    }

    // Runs one tick the way a running service gets there: after a tick a
    // moment earlier, with memory not yet due, that took the processor
    // sample this one's load is measured from. Only this tick is recorded.
    void RunPrimed(MaintenanceTick& tick) {
        const std::int64_t due = available;
        available = std::numeric_limits<std::int64_t>::max();
        tick.Run(true);
        available = due;
        calls.clear();
        launches.clear();
        tick.Run(true);
    }
};

// The worked examples: with no settings stored, available memory exactly at
// the trigger level starts this batch; one byte more starts none.
struct WorkedExample {
    std::int64_t total;
    std::int64_t maintainBytes;
    std::vector<std::wstring> batch;
};
inline const WorkedExample kWorkedExamples[] = {
    {8589934592, 2576980378, {L"1024", L"1024", L"1024", L"1024", L"819"}},
    {1073741824, 214748365, {L"410"}},
    {1610088447, 322017689, {L"614"}},
    {1610088448, 483026534, {L"921"}},
    {2147483648, 644245094, {L"1024", L"205"}},
    {4294967296, 1288490189, {L"1024", L"1024", L"410"}},
};

}  // namespace nimbora::fakes
