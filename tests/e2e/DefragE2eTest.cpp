// The real companion started by the real service under Wine's Service Control
// Manager: one batch of real NimboraDefrag.exe instances, of which one works
// and the others hand their amounts over and exit at once; the batch's one
// event entry and its one history record; the foreground of the interactive
// desktop found by the probe the service's companion starts.
//
// Under Wine a trim empties nothing, so the worker ends with a partial
// result; how much a batch frees only Windows can show.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "defrag/BatchHistory.h"
#include "tests/e2e/NimboraFixture.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr wchar_t kSettings32[] = L"Software\\Korvex\\Nimbora";

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

int CompanionsRunning() { return ProcessesRunning(L"NimboraDefrag.exe"); }

// The text of every event entry traced since the mark, of any type.
std::vector<std::string> CompanionEntries(const TraceLog& log) {
    std::vector<std::string> entries;
    for (const std::string& line : log.Lines()) {
        const std::size_t at = line.find("eventlog:ReportEventW L\"");
        if (at == std::string::npos) continue;
        std::string text = line.substr(at + 24);
        if (!text.empty() && text.back() == '"') text.pop_back();
        if (text.find("MB needed") != std::string::npos || text.find("Asked to free") != std::string::npos ||
            text.find("Nothing was trimmed") != std::string::npos || text.find("Nothing to free") != std::string::npos ||
            text.find("NimboraDefrag") != std::string::npos)
            entries.push_back(text);
    }
    return entries;
}

std::vector<BatchRecord> HistoryRecords() {
    std::vector<BatchRecord> records;
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kSettings32) + L"\\" + kBatchesSubkey).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return records;
    for (DWORD i = 0;; ++i) {
        wchar_t name[64];
        DWORD nameLength = 64;
        wchar_t text[512];
        DWORD size = sizeof text;
        DWORD type = 0;
        if (RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS)
            break;
        if (type != REG_SZ) continue;
        std::wstring value(text, size / sizeof(wchar_t));
        while (!value.empty() && value.back() == L'\0') value.pop_back();
        if (auto r = ParseBatchRecord(std::wstring(name, nameLength), value)) records.push_back(*r);
    }
    return records;
}

class CompanionE2e : public NimboraFixture {
protected:
    void SetUp() override {
        NimboraFixture::SetUp();
        ClearCompanionKey();
        WaitOutUptimeGate();
        ASSERT_TRUE(
            CopyFileW(BuildOutput(L"NimboraDefrag.exe").c_str(), (folder_ + L"NimboraDefrag.exe").c_str(), FALSE));
        Install();
        settings_.SetDword(L"MemoryMaintain", 100);  // the memory gate passes on every tick
        settings_.SetDword(L"ProcessorLimit", 0);
        // N.B. the companion reads the 32-bit view, which the 64-bit build's
        // service does not: there too its aim is the whole memory.
        UniqueHKey key;
        const DWORD maintain = 100;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettings32, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), L"MemoryMaintain", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&maintain),
                       sizeof maintain);
    }
    void TearDown() override {
        NimboraFixture::TearDown();
        WaitUntil([] { return CompanionsRunning() == 0; }, 30s, 200ms);
        ClearCompanionKey();
    }
    // What the companion keeps in the 32-bit view: remembered trims, history.
    static void ClearCompanionKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Korvex\\Nimbora"); }

    static std::int64_t BatchMegabytes() {
        std::int64_t sum = 0;
        for (const std::wstring& launch : ExpectedBatch()) sum += std::stoll(launch);
        return sum;
    }
};

TEST_F(CompanionE2e, OneBatchOfRealCompanionsHasOneWorkerOneEntryAndOneRecord) {
    TraceLog log(L"NIMBORA_SERVICES_LOG_WIN");
    if (!log.Available()) GTEST_SKIP() << "services log not captured";
    const std::size_t launches = ExpectedBatch().size();
    const std::int64_t asked = BatchMegabytes();

    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    ASSERT_TRUE(WaitUntil([] { return CompanionsRunning() > 0; }, 15s, 20ms)) << "no companion started";
    const Clock::time_point first = Clock::now();

    // Sample until none has run for a while.
    int most = 0;
    Clock::time_point lastSeveral = first, lastAny = first, quietSince = first;
    for (;;) {
        const int running = CompanionsRunning();
        const Clock::time_point now = Clock::now();
        most = std::max(most, running);
        if (running > 1) lastSeveral = now;
        if (running > 0) lastAny = now, quietSince = now;
        if (now - quietSince > 2s || now - first > 90s) break;
        Sleep(50);
    }
    EXPECT_EQ(CompanionsRunning(), 0) << "a companion outlived the batch";
    // "A few seconds": the hand-overs of a batch end at once; only the worker
    // (and its short-lived desktop probe) may run on.
    // N.B. through qemu-user a 32-bit process takes seconds to start.
    const long long few = sizeof(void*) == 4 ? 30000 : 10000;
    EXPECT_LT(Ms(lastSeveral - first), few) << "more than one companion ran long after the launches";

    ASSERT_TRUE(WaitUntil([&] { return !CompanionEntries(log).empty(); }, 10s, 200ms)) << "no entry";
    Sleep(1000);
    const std::vector<std::string> entries = CompanionEntries(log);
    const std::vector<BatchRecord> records = HistoryRecords();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(entries.size(), records.size()) << "one entry per batch";
    std::int64_t recorded = 0;
    for (const BatchRecord& r : records) {
        recorded += r.askedMegabytes;
        EXPECT_NE(r.outcome, BatchOutcome::boFailed);
    }
    // Every launch's amount reaches the one worker, on both builds.
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(recorded, asked);
    EXPECT_NE(entries[0].find("(asked for up to " + std::to_string(asked) + " MB)"), std::string::npos) << entries[0];
    EXPECT_NE(entries[0].find(", only part could be freed"), std::string::npos) << entries[0];

    std::printf("companion: real service, batch of %zu real companions (%lld MB): at most %d running at once; more "
                "than one for %lld ms after the first appeared, the last ended after %lld ms; %zu batch(es), %zu "
                "entries, %lld MB recorded as asked. Under Wine the trims free nothing: only Windows shows the gain.\n",
                launches, static_cast<long long>(asked), most, Ms(lastSeveral - first), Ms(lastAny - first),
                records.size(), entries.size(), static_cast<long long>(recorded));
    std::printf("companion: entry: %s\n", entries[0].substr(0, 300).c_str());
}

TEST_F(CompanionE2e, TheDesktopIsProbedFromTheServicesCompanion) {
    TraceLog log(L"NIMBORA_SERVICES_LOG_WIN");
    if (!log.Available()) GTEST_SKIP() << "services log not captured";
    const std::wstring pidFile = folder_ + L"foreground.pid";
    DeleteFileW(pidFile.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring command = L"\"" + BuildOutput(L"ForegroundWindow.exe") + L"\" \"" + pidFile + L"\" 60";
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    const UniqueHandleObject window(info.hProcess), thread(info.hThread);
    ASSERT_TRUE(WaitUntil([&] { return !ReadTextFile(pidFile).empty(); }, 20s, 100ms));
    const std::wstring pid = ReadTextFile(pidFile);
    if (pid.find(L"behind") != std::wstring::npos) {
        TerminateProcess(window.get(), 0);
        GTEST_SKIP() << "the window did not come to the foreground on this display";
    }

    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    const bool entered = WaitUntil([&] { return !CompanionEntries(log).empty(); }, 60s, 200ms);
    TerminateProcess(window.get(), 0);
    ASSERT_TRUE(entered) << "no entry";
    const std::vector<std::string> entries = CompanionEntries(log);
    // N.B. a probe that failed leaves its session alone and the entry says
    // so; the entry names no program (every user can read the log).
    EXPECT_NE(entries[0].find("MB needed"), std::string::npos) << entries[0] << ": the batch did not get to the desktops";
    EXPECT_EQ(entries[0].find("could not be determined"), std::string::npos) << entries[0];
    EXPECT_EQ(entries[0].find("ForegroundWindow"), std::string::npos) << entries[0];
    std::printf("companion: the desktop with the foreground window of process %ls probed from the service's "
                "companion\n",
                pid.c_str());
}

}  // namespace
}  // namespace nimbora::e2e
