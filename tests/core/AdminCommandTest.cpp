// The administrator's tool against a scripted machine: set and reset with
// their checks and refusals, status with each setting's source and the
// tick's verdict, history, the installer's step, and the texts' width.
#include "admin/AdminCommand.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <regex>
#include <sstream>

#include "defrag/BatchHistory.h"

namespace nimbora {
namespace {

constexpr std::uint64_t kSecond = 10000000;
// 2026-12-11 02:14:05 UTC as a FILETIME.
constexpr std::uint64_t kNow = (UINT64_C(1796955245) + UINT64_C(11644473600)) * kSecond;

std::vector<std::uint8_t> Dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

class FakeSystem : public AdminSystem {
public:
    std::map<std::wstring, StoredSetting> registry;
    std::map<std::wstring, StoredSetting> policies;  // the policy key
    std::vector<std::pair<std::wstring, std::wstring>> batches;
    ServiceQuery service;
    MachineReadings machine;
    std::uint32_t writeError = kErrorSuccess;
    std::uint32_t registerError = kErrorSuccess;
    std::vector<std::wstring> events;

    FakeSystem() {
        service.installed = true;
        service.state = ServiceState::ssRunning;
        service.displayName = L"Nimbora Memory Service";
        service.binaryPath = L"\"C:\\Program Files\\Nimbora\\NimboraService.exe\"";
        service.account = L"LocalSystem";
        service.startType = 2;
        machine.totalBytes = 8589934592;
        machine.availableBytes = 1073741824;
        machine.processorLoad = 12.3;
        machine.acLineStatus = 1;
        machine.tickCount = 3600000;
        machine.nowUtc = kNow;
    }

    std::optional<StoredSetting> ReadSetting(const std::wstring& name) override {
        auto it = registry.find(name);
        if (it == registry.end()) return std::nullopt;
        return it->second;
    }
    std::uint32_t WriteSetting(const std::wstring& name, std::uint32_t type,
                               const std::vector<std::uint8_t>& bytes) override {
        if (writeError != kErrorSuccess) return writeError;
        registry[name] = StoredSetting{type, bytes};
        events.push_back(L"write " + name);
        return kErrorSuccess;
    }
    std::uint32_t DeleteSetting(const std::wstring& name) override {
        if (writeError != kErrorSuccess) return writeError;
        events.push_back(L"delete " + name);
        return registry.erase(name) ? kErrorSuccess : kErrorFileNotFound;
    }
    std::optional<StoredSetting> ReadPolicy(const std::wstring& name) override {
        auto it = policies.find(name);
        if (it == policies.end()) return std::nullopt;
        return it->second;
    }
    std::vector<std::pair<std::wstring, std::wstring>> ReadBatchValues() override { return batches; }
    ServiceQuery QueryService() override { return service; }
    MachineReadings ReadMachine() override { return machine; }
    // The installer's steps act on `service` as the Service Control Manager would.
    std::uint32_t SecureProgramFolder(std::wstring&) override {
        events.push_back(L"secure");
        return kErrorSuccess;
    }
    std::uint32_t CreateServiceEntry(std::wstring& detail) override {
        events.push_back(L"create");
        if (registerError != kErrorSuccess) {
            detail = L"NimboraService.exe /install ended with code 1073";
            return registerError;
        }
        service.installed = true;
        service.state = ServiceState::ssStopped;
        service.startType = 2;
        return kErrorSuccess;
    }
    std::uint32_t UpdateServiceEntry(std::wstring&) override {
        events.push_back(L"update");
        return kErrorSuccess;
    }
    std::uint32_t SetServiceRecovery(std::wstring&) override {
        events.push_back(L"recovery");
        return kErrorSuccess;
    }
    std::uint32_t StartServiceAndWait(std::wstring&) override {
        events.push_back(L"start");
        service.state = ServiceState::ssRunning;
        return kErrorSuccess;
    }
    std::uint32_t StopServiceAndWait(std::wstring&) override {
        events.push_back(L"stop");
        service.state = ServiceState::ssStopped;
        return kErrorSuccess;
    }
    std::uint32_t UnregisterService(std::wstring&) override {
        events.push_back(L"unregister");
        service.installed = false;
        return kErrorSuccess;
    }
    std::uint32_t controlError = kErrorSuccess;
    std::uint32_t ControlService(ServiceControlAction action, std::wstring& detail) override {
        events.push_back(L"control " + std::to_wstring(static_cast<int>(action)));
        if (controlError != kErrorSuccess) detail = L"it did not reach the state asked for";
        return controlError;
    }
};

int Command(FakeSystem& system, std::vector<std::wstring> arguments, CommandOutput& output) {
    return RunAdminCommand(arguments, system, output);
}

std::size_t WidestLine(const std::wstring& text) {
    std::size_t widest = 0;
    std::wistringstream lines(text);
    for (std::wstring line; std::getline(lines, line);) widest = std::max(widest, line.size());
    return widest;
}

TEST(AdminSet, StoresCheckedValuesWithTheirTypeAndRefusesTheRest) {
    const struct {
        std::wstring name, value;
        int exit;
        std::wstring storedName;  // empty: nothing written
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {L"MemoryMaintain", L"25", kExitDone, L"MemoryMaintain", kRegDword, Dword(25)},
        {L"memoryfree", L"0", kExitDone, L"MemoryFree", kRegDword, Dword(0)},
        {L"MemoryFree", L"100", kExitDone, L"MemoryFree", kRegDword, Dword(100)},
        {L"MemoryFree", L"101", kExitUsage, L"", 0, {}},
        {L"ProcessorTrigger", L"-1", kExitUsage, L"", 0, {}},
        {L"MemoryMaintain", L"3O", kExitUsage, L"", 0, {}},
        {L"MemoryMaintain", L"", kExitUsage, L"", 0, {}},
        {L"ExecutePeriod", L"0", kExitDone, L"ExecutePeriod", kRegDword, Dword(0)},
        {L"ExecutePeriod", L"2147483647", kExitDone, L"ExecutePeriod", kRegDword, Dword(2147483647)},
        {L"ExecutePeriod", L"2147483648", kExitUsage, L"", 0, {}},
        {L"ExecutePeriod", L"-5", kExitUsage, L"", 0, {}},
        {L"BatteryCheck", L"1", kExitDone, L"BatteryCheck", kRegDword, Dword(1)},
        {L"BatteryCheck", L"2", kExitUsage, L"", 0, {}},
        {L"DefragPurgeStandby", L"1", kExitDone, L"DefragPurgeStandby", kRegDword, Dword(1)},
        {L"Language", L"French", kExitDone, L"Language", kRegSz, Utf16(L"french")},
        {L"Language", L"prtbrzl", kExitDone, L"Language", kRegSz, Utf16(L"prtbrzl")},
        {L"Language", L"german", kExitUsage, L"", 0, {}},
        {L"DefragExclude", L"game.exe;teams.exe", kExitDone, L"DefragExclude", kRegSz, Utf16(L"game.exe;teams.exe")},
        {L"MemoryKeep", L"10", kExitUsage, L"", 0, {}},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        CommandOutput output;
        EXPECT_EQ(Command(system, {L"set", c.name, c.value}, output), c.exit) << c.name << L"=" << c.value;
        if (c.storedName.empty()) {
            EXPECT_TRUE(system.registry.empty()) << c.name;
            EXPECT_NE(output.err.find(L"nimbora: "), std::wstring::npos) << c.name;
            continue;
        }
        ASSERT_EQ(system.registry.count(c.storedName), 1u) << c.name;
        EXPECT_EQ(system.registry[c.storedName].type, c.type) << c.name;
        EXPECT_EQ(system.registry[c.storedName].bytes, c.bytes) << c.name;
    }
}

TEST(AdminSet, RefusalsSayWhatIsAccepted) {
    FakeSystem system;
    CommandOutput output;
    Command(system, {L"set", L"MemoryFree", L"150"}, output);
    EXPECT_NE(output.err.find(L"0 to 100"), std::wstring::npos) << output.err;
    output = {};
    Command(system, {L"set", L"Language", L"german"}, output);
    EXPECT_NE(output.err.find(L"english, french, korean, prtbrzl, russian"), std::wstring::npos) << output.err;
    output = {};
    Command(system, {L"set", L"ExecutePeriod", L"x"}, output);
    EXPECT_NE(output.err.find(L"0 or more"), std::wstring::npos) << output.err;
}

TEST(AdminSet, LackOfAdministratorRightsIsNamed) {
    FakeSystem system;
    system.writeError = kErrorAccessDenied;
    for (const auto& args : {std::vector<std::wstring>{L"set", L"MemoryFree", L"20"},
                             std::vector<std::wstring>{L"reset", L"MemoryFree"}}) {
        CommandOutput output;
        EXPECT_EQ(Command(system, args, output), kExitNeedsAdmin);
        EXPECT_NE(output.err.find(L"administrator rights"), std::wstring::npos) << output.err;
    }
    system.writeError = 1009;  // another failure is reported with its code
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"set", L"MemoryFree", L"20"}, output), kExitFailed);
    EXPECT_NE(output.err.find(L"1009"), std::wstring::npos) << output.err;
}

TEST(AdminReset, RemovesTheValueAndNamesTheDefault) {
    FakeSystem system;
    system.machine.totalBytes = 1073741824;  // a small machine: MemoryFree defaults to 40
    system.registry[L"MemoryFree"] = {kRegDword, Dword(75)};
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"reset", L"memoryFREE"}, output), kExitDone);
    EXPECT_EQ(system.registry.count(L"MemoryFree"), 0u);
    EXPECT_EQ(output.out, L"MemoryFree removed; the default applies: 40\n");
    output = {};
    EXPECT_EQ(Command(system, {L"reset", L"MemoryFree"}, output), kExitDone) << "already missing";
    EXPECT_EQ(Command(system, {L"reset", L"Nothing"}, output), kExitUsage);
}

TEST(AdminStatus, EachSettingShowsItsSourceAndAWrongTypeFallsBackToTheDefault) {
    FakeSystem system;
    system.registry[L"MemoryMaintain"] = {kRegSz, Utf16(L"90")};  // wrong type: 30 applies
    system.registry[L"ProcessorTrigger"] = {kRegDword, Dword(50)};
    system.registry[L"Language"] = {kRegDword, Dword(1)};
    system.registry[L"DefragExclude"] = {kRegSz, Utf16(L"")};    // empty text counts as missing
    const StatusReport report = BuildStatus(system);
    std::map<std::wstring, SettingReading> byName;
    for (const SettingReading& r : report.settings) byName[r.definition->name] = r;
    EXPECT_EQ(report.settings.size(), 15u);
    EXPECT_EQ(byName[L"MemoryMaintain"].source, SettingSource::ssWrongType);
    EXPECT_EQ(byName[L"MemoryMaintain"].number, 30);
    EXPECT_EQ(byName[L"ProcessorTrigger"].source, SettingSource::ssStored);
    EXPECT_EQ(byName[L"ProcessorTrigger"].number, 50);
    EXPECT_EQ(byName[L"MemoryFree"].source, SettingSource::ssDefault);
    EXPECT_EQ(byName[L"Language"].source, SettingSource::ssWrongType);
    EXPECT_EQ(byName[L"Language"].text, L"english");
    EXPECT_EQ(byName[L"DefragExclude"].source, SettingSource::ssDefault);
    ASSERT_TRUE(report.verdict);
    EXPECT_EQ(report.verdict->maintainBytes, 2576980378);  // 30 % of 8 GiB, as the tick computes it

    const std::wstring text = FormatStatusText(report);
    EXPECT_NE(text.find(L"MemoryMaintain       30              wrong type (REG_SZ), default used"), std::wstring::npos)
        << text;
    EXPECT_NE(text.find(L"ProcessorTrigger     50              stored"), std::wstring::npos) << text;
}

TEST(AdminStatus, ExitCodeFollowsTheServiceState) {
    const struct {
        bool installed;
        ServiceState state;
        std::uint32_t error;
        int exit;
    } cases[] = {
        {true, ServiceState::ssRunning, 0, kExitDone},
        {true, ServiceState::ssPaused, 0, kExitNotRunning},
        {true, ServiceState::ssStopped, 0, kExitNotRunning},
        {true, ServiceState::ssStartPending, 0, kExitNotRunning},
        {false, ServiceState::ssStopped, 0, kExitNotInstalled},
        {false, ServiceState::ssStopped, kErrorAccessDenied, kExitFailed},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        system.service.installed = c.installed;
        system.service.state = c.state;
        system.service.error = c.error;
        CommandOutput output;
        EXPECT_EQ(Command(system, {L"status"}, output), c.exit) << static_cast<int>(c.state);
    }
}

TEST(AdminStatus, TellsTheBatchATickWouldStart) {
    FakeSystem system;  // 1 GiB available of 8 GiB, up an hour, no batch yet
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"status"}, output), kExitDone);
    EXPECT_NE(output.out.find(L"A tick now would start 5 launches of NimboraDefrag.exe: 1024 MB x 4, 819 MB."),
              std::wstring::npos)
        << output.out;
    EXPECT_NE(output.out.find(L"period       pass   no batch since start-up, period 5 min 0 s"), std::wstring::npos)
        << output.out;

    output = {};
    Command(system, {L"status", L"--json"}, output);
    EXPECT_NE(output.out.find(L"\"acts\":true,\"launches\":[1024,1024,1024,1024,819]"), std::wstring::npos)
        << output.out;
    EXPECT_NE(output.out.find(L"{\"gate\":\"memory\",\"verdict\":\"pass\""), std::wstring::npos) << output.out;
}

TEST(AdminStatus, NamesEveryBlockingGateAndTheStoppedService) {
    FakeSystem system;
    system.service.state = ServiceState::ssStopped;
    system.machine.availableBytes = system.machine.totalBytes;  // memory not due
    system.machine.processorLoad = 97;
    system.registry[L"FullScreen"] = {kRegDword, Dword(1)};
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"status"}, output), kExitNotRunning);
    EXPECT_NE(output.out.find(L"A tick now would do nothing: blocked by memory, processor, full screen.\n"
                              L"But no tick runs: the service is not running."),
              std::wstring::npos)
        << output.out;
    EXPECT_NE(output.out.find(L"processor    block  load 97 %, highest allowed 85 %"), std::wstring::npos)
        << output.out;
}

TEST(AdminStatus, PeriodCountsFromTheNewestBatchSinceStartUp) {
    FakeSystem system;
    BatchRecord r;
    r.askedMegabytes = 100;
    r.freedMegabytes = 100;
    system.batches = {{BatchValueName(kNow - 120 * kSecond), FormatBatchRecord(r)},
                      {BatchValueName(kNow - 900 * kSecond), FormatBatchRecord(r)}};
    StatusReport report = BuildStatus(system);
    EXPECT_TRUE(report.lastRunFromHistory);
    EXPECT_EQ(report.lastRunSeconds, 3600 - 120);
    EXPECT_EQ(report.verdict->State(TickGate::tgPeriod), GateState::gsBlock);

    system.batches = {{BatchValueName(kNow - 7200 * kSecond), FormatBatchRecord(r)}};  // before start-up
    report = BuildStatus(system);
    EXPECT_FALSE(report.lastRunFromHistory);
    EXPECT_EQ(report.verdict->State(TickGate::tgPeriod), GateState::gsPass);
}

TEST(AdminStatus, TextsFitEightyColumns) {
    FakeSystem system;
    system.registry[L"MemoryMaintain"] = {kRegBinary, {1, 2, 3}};
    system.registry[L"MemoryFree"] = {kRegDword, Dword(100)};
    system.registry[L"ExecutePeriod"] = {kRegDword, Dword(2147483647)};
    system.machine.tickCount = 40ull * 86400 * 1000;
    system.machine.acLineStatus = 0;
    system.registry[L"BatteryCheck"] = {kRegDword, Dword(1)};
    for (const auto& args : {std::vector<std::wstring>{L"status"}, {L"--help"}, {L"set", L"--help"},
                             {L"status", L"--help"}, {L"history", L"--help"}}) {
        CommandOutput output;
        EXPECT_EQ(Command(system, args, output), kExitDone) << args[0];
        EXPECT_LE(WidestLine(output.out), 80u) << output.out;
    }
}

TEST(AdminHistory, NewestFirstWithUnreadableRecordsCounted) {
    FakeSystem system;
    BatchRecord older;
    older.askedMegabytes = 3072;
    older.freedMegabytes = 2950;
    older.trimmedProcesses = 12;
    older.flushed = true;
    older.elapsedMs = 850;
    BatchRecord newer;
    newer.askedMegabytes = 1024;
    newer.freedMegabytes = 300;
    newer.purgedMegabytes = 200;
    newer.elapsedMs = 12345;
    newer.outcome = BatchOutcome::boPartial;
    system.batches = {{BatchValueName(kNow - 600 * kSecond), FormatBatchRecord(older)},
                      {L"garbage", L"asked=1"},
                      {BatchValueName(kNow), FormatBatchRecord(newer)}};
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"history"}, output), kExitDone);
    EXPECT_EQ(output.out,
              L"Started (UTC)        Asked MB Freed MB    Time Outcome  How\n"
              L"2026-12-11 02:14:05      1024      300  12.3 s partial  purged 200 MB\n"
              L"2026-12-11 02:04:05      3072     2950   0.8 s met      trimmed 12, flushed\n"  // 8.5 tenths: half to even
              L"1 unreadable record(s) skipped.\n");
    output = {};
    Command(system, {L"history", L"--json"}, output);
    EXPECT_EQ(output.out.find(L"{\"batches\":[{\"started\":\"2026-12-11T02:14:05Z\""), 0u) << output.out;
    EXPECT_NE(output.out.find(L"\"outcome\":\"partial\"}"), std::wstring::npos);
    EXPECT_NE(output.out.find(L"\"skipped\":1}"), std::wstring::npos);

    system.batches.clear();
    output = {};
    EXPECT_EQ(Command(system, {L"history"}, output), kExitDone);
    EXPECT_EQ(output.out, L"No batch recorded yet.\n");
}

TEST(AdminHistory, UtcTextOfFileTimes) {
    EXPECT_EQ(UtcText(0), L"1601-01-01 00:00:00");
    EXPECT_EQ(UtcText(kNow), L"2026-12-11 02:14:05");
    EXPECT_EQ(UtcText((UINT64_C(1709208000) + UINT64_C(11644473600)) * kSecond), L"2024-02-29 12:00:00");
    EXPECT_EQ(UtcText(UINT64_C(11644473600) * kSecond - 1), L"1969-12-31 23:59:59");
}

TEST(AdminServiceInstall, ChecksEveryValueBeforeWritingThenRegisters) {
    FakeSystem system;
    system.service.installed = false;
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"service-install", L"MemoryMaintain=25", L"MemoryFree=", L"Language=french"}, output),
              kExitDone);
    EXPECT_EQ(system.events, (std::vector<std::wstring>{L"write MemoryMaintain", L"write Language", L"secure", L"create",
                                                        L"recovery", L"start"}));

    FakeSystem refused;
    EXPECT_EQ(Command(refused, {L"service-install", L"MemoryMaintain=25", L"Language=klingon"}, output), kExitUsage);
    EXPECT_TRUE(refused.events.empty());

    FakeSystem failing;
    failing.service.installed = false;
    failing.registerError = 1073;
    output = {};
    EXPECT_EQ(Command(failing, {L"service-install"}, output), kExitFailed);
    EXPECT_NE(output.err.find(L"1073"), std::wstring::npos) << output.err;
    EXPECT_EQ(failing.events, (std::vector<std::wstring>{L"secure", L"create"}));

    FakeSystem removing;
    EXPECT_EQ(Command(removing, {L"service-remove"}, output), kExitDone);
    EXPECT_EQ(removing.events, std::vector<std::wstring>{L"unregister"});
}

// A repair or upgrade finds the service registered: it is changed in place
// (never re-created, which would lose the administrator's start type,
// recovery actions and permissions, nor given the installer's recovery
// actions again), and a disabled service is never started.
TEST(AdminServiceInstall, RegisteredServiceIsChangedInPlaceAndADisabledOneStaysStopped) {
    struct Case {
        const char* what;
        bool installed;
        ServiceState state;
        std::uint32_t startType;
        std::vector<std::wstring> events;
    };
    const Case cases[] = {
        {"new", false, ServiceState::ssStopped, 2, {L"secure", L"create", L"recovery", L"start"}},
        {"stopped, automatic", true, ServiceState::ssStopped, 2, {L"secure", L"update", L"start"}},
        {"stopped, on demand", true, ServiceState::ssStopped, 3, {L"secure", L"update", L"start"}},
        {"stopped, disabled", true, ServiceState::ssStopped, kStartDisabled, {L"secure", L"update"}},
        {"running", true, ServiceState::ssRunning, 2, {L"secure", L"update"}},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        system.service.installed = c.installed;
        system.service.state = c.state;
        system.service.startType = c.startType;
        CommandOutput output;
        EXPECT_EQ(Command(system, {L"service-install"}, output), kExitDone) << c.what;
        EXPECT_EQ(system.events, c.events) << c.what;
    }
}

// The stop before files are replaced, and its rollback: the start, which
// leaves a disabled or missing service alone.
TEST(AdminServiceInstall, StopAndItsRollbackStartRespectADisabledService) {
    FakeSystem system;
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"service-stop"}, output), kExitDone);
    EXPECT_EQ(Command(system, {L"service-start"}, output), kExitDone);
    EXPECT_EQ(system.events, (std::vector<std::wstring>{L"stop", L"start"}));

    FakeSystem disabled;
    disabled.service.state = ServiceState::ssStopped;
    disabled.service.startType = kStartDisabled;
    EXPECT_EQ(Command(disabled, {L"service-start"}, output), kExitDone);
    FakeSystem missing;
    missing.service.installed = false;
    EXPECT_EQ(Command(missing, {L"service-start"}, output), kExitDone);
    EXPECT_TRUE(disabled.events.empty() && missing.events.empty());

    FakeSystem refused;
    refused.service.installed = false;
    refused.service.error = kErrorAccessDenied;
    output = {};
    EXPECT_EQ(Command(refused, {L"service-install"}, output), kExitNeedsAdmin);
    EXPECT_EQ(refused.events, std::vector<std::wstring>{L"secure"});
    EXPECT_EQ(Command(refused, {L"service-start", L"now"}, output), kExitUsage);
}

// A policy value of the right type overrides the stored one in status, in the
// tick's verdict and against set; one of another type is no policy; policy
// reaches only the settings the service reads.
TEST(AdminPolicy, PolicyValueWinsAndSetRefusesWhatPolicyControls) {
    FakeSystem system;
    system.registry[L"MemoryMaintain"] = StoredSetting{4, Dword(5)};
    system.policies[L"MemoryMaintain"] = StoredSetting{4, Dword(100)};
    system.registry[L"MemoryFree"] = StoredSetting{4, Dword(7)};
    system.policies[L"MemoryFree"] = StoredSetting{1, Utf16(L"50")};
    system.policies[L"DefragExclude"] = StoredSetting{1, Utf16(L"game.exe")};
    system.policies[L"ProcessorLimit"] = StoredSetting{4, Dword(0)};

    const StatusReport report = BuildStatus(system);
    std::map<std::wstring, SettingReading> byName;
    for (const SettingReading& r : report.settings) byName[r.definition->name] = r;
    EXPECT_EQ(byName[L"MemoryMaintain"].source, SettingSource::ssPolicy);
    EXPECT_EQ(byName[L"MemoryMaintain"].number, 100);
    EXPECT_EQ(byName[L"MemoryFree"].source, SettingSource::ssStored);
    EXPECT_EQ(byName[L"MemoryFree"].number, 7);
    EXPECT_EQ(byName[L"DefragExclude"].source, SettingSource::ssDefault);
    EXPECT_EQ(byName[L"ProcessorLimit"].number, 0);
    // 1 GB available of 8 GB is due only at the policy's 100 %, not the stored 5 %.
    ASSERT_TRUE(report.verdict.has_value());
    EXPECT_EQ(report.verdict->State(TickGate::tgMemory), GateState::gsPass);
    EXPECT_EQ(report.verdict->State(TickGate::tgProcessor), GateState::gsOff);

    const std::wstring json = FormatStatusJson(report);
    EXPECT_NE(json.find(L"{\"name\":\"MemoryMaintain\",\"value\":100,\"source\":\"policy\"}"), std::wstring::npos)
        << json;
    EXPECT_NE(FormatStatusText(report).find(L"HKLM\\Software\\Policies\\Korvex\\Nimbora"), std::wstring::npos);

    CommandOutput output;
    EXPECT_EQ(Command(system, {L"set", L"MemoryMaintain", L"30"}, output), kExitByPolicy);
    EXPECT_NE(output.err.find(L"policy"), std::wstring::npos) << output.err;
    EXPECT_EQ(Command(system, {L"set", L"MemoryFree", L"30"}, output), kExitDone);
    EXPECT_EQ(Command(system, {L"set", L"DefragExclude", L"x.exe"}, output), kExitDone);
    EXPECT_EQ(system.events, (std::vector<std::wstring>{L"write MemoryFree", L"write DefragExclude"}));
}

// status --json for scripts: the same fields in every case, null when
// unknown; identifiers for states and start types; a refused query of the
// Service Control Manager is an error (exit 1), never "not installed".
TEST(AdminStatusJson, EveryFieldInEveryCaseAndErrorsAsErrors) {
    struct Case {
        const char* what;
        bool installed;
        std::uint32_t error;
        ServiceState state;
        int exitCode;
        std::vector<std::wstring> expected;  // fragments of the document
    };
    const std::vector<std::wstring> stopped = {L"\"installed\":true", L"\"state\":\"stopped\"", L"\"processId\":null",
                                               L"\"running\":false", L"\"error\":null}"};
    const Case cases[] = {
        {"query refused", false, kErrorAccessDenied, ServiceState::ssStopped, kExitFailed,
         {L"\"installed\":null", L"\"state\":null", L"\"displayName\":null", L"\"startType\":null",
          L"\"running\":null", L"\"error\":{\"code\":5,\"message\":\"querying the Service Control Manager failed"}},
        {"not installed", false, kErrorSuccess, ServiceState::ssStopped, kExitNotInstalled,
         {L"\"installed\":false", L"\"state\":\"notInstalled\"", L"\"processId\":null", L"\"account\":null",
          L"\"error\":null}"}},
        {"stopped", true, kErrorSuccess, ServiceState::ssStopped, kExitNotRunning, stopped},
        {"starting", true, kErrorSuccess, ServiceState::ssStartPending, kExitNotRunning, {L"\"state\":\"starting\""}},
        {"stopping", true, kErrorSuccess, ServiceState::ssStopPending, kExitNotRunning, {L"\"state\":\"stopping\""}},
        {"running", true, kErrorSuccess, ServiceState::ssRunning, kExitDone,
         {L"\"state\":\"running\"", L"\"processId\":384", L"\"startType\":\"automatic\"", L"\"running\":true"}},
        {"continuing", true, kErrorSuccess, ServiceState::ssContinuePending, kExitNotRunning,
         {L"\"state\":\"continuing\""}},
        {"pausing", true, kErrorSuccess, ServiceState::ssPausePending, kExitNotRunning, {L"\"state\":\"pausing\""}},
        {"paused", true, kErrorSuccess, ServiceState::ssPaused, kExitNotRunning, {L"\"state\":\"paused\""}},
    };
    const wchar_t* const fields[] = {
        L"{\"schemaVersion\":1,\"service\":{\"installed\":", L",\"state\":", L",\"processId\":",
        L",\"displayName\":", L",\"startType\":", L",\"account\":", L",\"binaryPath\":", L",\"running\":",
        L"\"machine\":{\"totalBytes\":", L",\"availableBytes\":", L",\"triggerBytes\":", L",\"triggerPercent\":",
        L",\"processorLoadPercent\":", L",\"powerLine\":", L",\"uptimeSeconds\":", L"\"settings\":[",
        L"\"gates\":[", L"{\"gate\":\"fullScreen\",\"verdict\":", L"\"tick\":{\"serviceRunning\":",
        L",\"lastRunFromHistory\":", L",\"acts\":", L",\"launches\":", L",\"summary\":", L",\"error\":"};
    for (const Case& c : cases) {
        FakeSystem system;
        system.service.installed = c.installed;
        system.service.error = c.error;
        system.service.state = c.state;
        system.service.processId = c.state == ServiceState::ssRunning ? 384 : 0;
        if (!c.installed) system.service.displayName.clear();
        CommandOutput output;
        EXPECT_EQ(Command(system, {L"status", L"--json"}, output), c.exitCode) << c.what;
        for (const wchar_t* field : fields)
            EXPECT_NE(output.out.find(field), std::wstring::npos) << c.what << ": no " << std::string(field, field + std::wcslen(field));
        for (const std::wstring& fragment : c.expected)
            EXPECT_NE(output.out.find(fragment), std::wstring::npos)
                << c.what << ": no " << std::string(fragment.begin(), fragment.end()) << " in "
                << std::string(output.out.begin(), output.out.end());
    }
}

TEST(AdminCommandLine, VersionIsOneLineWithThreeNumbers) {
    FakeSystem system;
    CommandOutput output;
    EXPECT_EQ(Command(system, {L"--version"}, output), kExitDone);
    const std::string text(output.out.begin(), output.out.end());
    EXPECT_TRUE(std::regex_match(text, std::regex("nimbora [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << text;
}

TEST(AdminCommandLine, UnknownCommandsAndOptionsAreRefused) {
    const std::vector<std::wstring> refused[] = {
        {}, {L"restart"}, {L"status", L"--xml"}, {L"set", L"MemoryFree"}, {L"reset"}, {L"history", L"x"}};
    for (const auto& args : refused) {
        FakeSystem system;
        CommandOutput output;
        EXPECT_EQ(Command(system, args, output), kExitUsage) << (args.empty() ? L"(none)" : args[0]);
        EXPECT_FALSE(output.err.empty());
    }
}

TEST(AdminControl, EachCommandAsksForItsStateOnce) {
    const struct {
        const wchar_t* command;
        ServiceState from;
        const wchar_t* event;  // nothing when the service is already there
        std::wstring out;
    } cases[] = {
        {L"start", ServiceState::ssStopped, L"control 0", L"Service started.\n"},
        {L"stop", ServiceState::ssRunning, L"control 1", L"Service stopped.\n"},
        {L"STOP", ServiceState::ssPaused, L"control 1", L"Service stopped.\n"},
        {L"pause", ServiceState::ssRunning, L"control 2", L"Service paused: no maintenance until it is continued.\n"},
        {L"continue", ServiceState::ssPaused, L"control 3", L"Service continued: maintenance resumes.\n"},
        {L"start", ServiceState::ssRunning, nullptr, L"The service is already running.\n"},
        {L"pause", ServiceState::ssPaused, nullptr, L"The service is already paused.\n"},
        {L"stop", ServiceState::ssStopped, nullptr, L"The service is already stopped.\n"},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        system.service.state = c.from;
        CommandOutput output;
        EXPECT_EQ(Command(system, {c.command}, output), kExitDone) << c.command;
        EXPECT_EQ(output.out, c.out) << c.command;
        EXPECT_EQ(system.events, c.event ? std::vector<std::wstring>{c.event} : std::vector<std::wstring>{}) << c.command;
    }
}

TEST(AdminControl, RefusalsAndFailuresHaveTheirExitCodes) {
    const struct {
        std::vector<std::wstring> words;
        bool installed;
        std::uint32_t queryError, controlError;
        int code;
        std::wstring err;
    } cases[] = {
        {{L"pause", L"now"}, true, 0, 0, kExitUsage, L"nimbora: pause takes no arguments; see nimbora pause --help.\n"},
        {{L"start"}, false, 0, 0, kExitNotInstalled, L"nimbora: the service Nimbora is not installed.\n"},
        {{L"start"}, false, 1722, 0, kExitFailed, L"nimbora: querying the service failed with system error 1722.\n"},
        {{L"pause"}, true, 0, 5, kExitNeedsAdmin,
         L"nimbora: pausing the service (it did not reach the state asked for) needs administrator rights; run it "
         L"from an elevated command prompt.\n"},
        {{L"continue"}, true, 0, 1062, kExitFailed,
         L"nimbora: continuing the service (it did not reach the state asked for) failed with system error 1062.\n"},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        system.service.installed = c.installed;
        system.service.error = c.queryError;
        system.service.state = ServiceState::ssStopped;
        if (c.words[0] == L"continue" || c.words[0] == L"pause") system.service.state = ServiceState::ssRunning;
        if (c.words[0] == L"continue") system.service.state = ServiceState::ssStopped;
        system.controlError = c.controlError;
        CommandOutput output;
        EXPECT_EQ(Command(system, c.words, output), c.code) << c.words[0];
        EXPECT_EQ(output.err, c.err) << c.words[0];
        EXPECT_TRUE(output.out.empty()) << c.words[0];
    }
}

TEST(AdminControl, HelpNamesTheExitCodes) {
    for (const wchar_t* command : {L"start", L"stop", L"pause", L"continue"}) {
        FakeSystem system;
        CommandOutput output;
        EXPECT_EQ(Command(system, {command, L"--help"}, output), kExitDone);
        EXPECT_EQ(output.out.rfind(L"Usage: nimbora " + std::wstring(command) + L"\n", 0), 0u) << output.out;
        EXPECT_NE(output.out.find(L"5 administrator rights needed"), std::wstring::npos) << command;
        EXPECT_TRUE(system.events.empty());
        EXPECT_LE(WidestLine(output.out), 80u);
    }
}

TEST(AdminJson, StringsAreEscapedToAscii) {
    EXPECT_EQ(JsonString(L"a\"b\\c"), L"\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(L"\n\x00e9"), L"\"\\u000A\\u00E9\"");
}

}  // namespace
}  // namespace nimbora
