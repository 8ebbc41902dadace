#include "admin/AdminCommand.h"

#include <algorithm>

#include "probes/Rounding.h"
#include "service/MaintenanceTick.h"
#include "settings/CaptionTable.h"
#include "settings/PolicyLayer.h"
#include "settings/SettingsKeys.h"
#include "svchost/Exception.h"
#include "svchost/Messages.h"

namespace nimbora {

namespace {

constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000;

const wchar_t kSettingsPlace[] = L"HKLM\\Software\\Korvex\\Nimbora (32-bit view)";
const wchar_t kPolicyPlace[] = L"HKLM\\Software\\Policies\\Korvex\\Nimbora";

std::optional<RegistryData> Data(const std::optional<StoredSetting>& stored) {
    if (!stored) return std::nullopt;
    return RegistryData{stored->type, stored->bytes};
}

// The tick's view of the settings, answered from the tool's machine through
// the same layers and decoders the service's registry reads use.
class StoredTickSettings final : public TickSettings {
public:
    explicit StoredTickSettings(AdminSystem& system) : system_(system) {}
    std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) override {
        const std::optional<StoredSetting> policy = system_.ReadPolicy(name);
        const std::optional<StoredSetting> stored = system_.ReadSetting(name);
        return ChooseInteger(Data(policy), Data(stored), defaultValue).value;
    }
    bool ReadBool(const wchar_t* name, bool defaultValue) override {
        return ReadInteger(name, defaultValue ? 1 : 0) != 0;
    }

private:
    AdminSystem& system_;
};

std::wstring Padded(std::wstring text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

std::wstring RightAligned(const std::wstring& text, std::size_t width) {
    return text.size() < width ? std::wstring(width - text.size(), L' ') + text : text;
}

std::wstring Megabytes(std::int64_t bytes) { return DecimalText(BytesToMegabytes(bytes)) + L" MB"; }

// One decimal place, rounded as the system rounds.
std::wstring OneDecimal(Real value) {
    const std::int64_t tenths = Round(value * 10.0L);
    const std::int64_t whole = tenths / 10;
    const std::int64_t tenth = (tenths < 0 ? -tenths : tenths) % 10;
    return (tenths < 0 && whole == 0 ? L"-" : L"") + DecimalText(whole) + L"." + DecimalText(tenth);
}

std::wstring DurationText(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t days = seconds / 86400;
    const std::int64_t hours = seconds / 3600 % 24;
    const std::int64_t minutes = seconds / 60 % 60;
    if (days > 0) return DecimalText(days) + L" d " + DecimalText(hours) + L" h";
    if (hours > 0) return DecimalText(hours) + L" h " + DecimalText(minutes) + L" min";
    if (minutes > 0) return DecimalText(minutes) + L" min " + DecimalText(seconds % 60) + L" s";
    return DecimalText(seconds) + L" s";
}

const wchar_t* StateName(const ServiceQuery& service) {
    if (!service.installed) return L"not installed";
    switch (service.state) {
        case ServiceState::ssStopped: return L"stopped";
        case ServiceState::ssStartPending: return L"starting";
        case ServiceState::ssStopPending: return L"stopping";
        case ServiceState::ssRunning: return L"running";
        case ServiceState::ssContinuePending: return L"continuing";
        case ServiceState::ssPausePending: return L"pausing";
        case ServiceState::ssPaused: return L"paused";
    }
    return L"unknown";
}

// Identifiers for scripts (status --json): one word each, the state names
// but for the one of two words.
const wchar_t* StateId(const ServiceQuery& service) { return service.installed ? StateName(service) : L"notInstalled"; }

const wchar_t* StartTypeId(std::uint32_t startType) {
    switch (startType) {
        case 0: return L"boot";
        case 1: return L"system";
        case 2: return L"automatic";
        case 3: return L"demand";
        case 4: return L"disabled";
    }
    return L"unknown";
}

const wchar_t* StartTypeName(std::uint32_t startType) {
    switch (startType) {
        case 0: return L"boot";
        case 1: return L"system";
        case 2: return L"automatic";
        case 3: return L"on demand";
        case 4: return L"disabled";
    }
    return L"unknown";
}

const wchar_t* PowerLineName(std::uint8_t status) {
    switch (status) {
        case 0: return L"offline (battery)";
        case 1: return L"online";
    }
    return L"unknown";
}

const wchar_t* GateName(TickGate gate) {
    switch (gate) {
        case TickGate::tgMemory: return L"memory";
        case TickGate::tgProcessor: return L"processor";
        case TickGate::tgBattery: return L"battery";
        case TickGate::tgFullScreen: return L"full screen";
        case TickGate::tgEnabled: return L"enabled";
        case TickGate::tgUptime: return L"uptime";
        case TickGate::tgPeriod: return L"period";
    }
    return L"";
}

const wchar_t* GateId(TickGate gate) {
    return gate == TickGate::tgFullScreen ? L"fullScreen" : GateName(gate);
}

const wchar_t* GateStateName(GateState state) {
    switch (state) {
        case GateState::gsPass: return L"pass";
        case GateState::gsBlock: return L"block";
        case GateState::gsOff: return L"off";
    }
    return L"";
}

const SettingReading& Reading(const StatusReport& report, const wchar_t* name) {
    for (const SettingReading& r : report.settings)
        if (r.definition->name == std::wstring_view(name)) return r;
    throw Exception(L"no setting " + std::wstring(name));
}

std::wstring Flag(const StatusReport& report, const wchar_t* name) {
    return std::wstring(name) + L" " + DecimalText(Reading(report, name).number);
}

// Why each gate decided as it did, in a few words.
std::wstring GateDetail(const StatusReport& report, const TickVerdict& v, TickGate gate) {
    const MachineReadings& m = report.machine;
    const bool off = v.State(gate) == GateState::gsOff;
    switch (gate) {
        case TickGate::tgMemory:
            return Megabytes(m.availableBytes) + L" available, trigger level " + Megabytes(v.maintainBytes);
        case TickGate::tgProcessor:
            if (off) return Flag(report, kProcessorLimit);
            return L"load " + DecimalText(Round(m.processorLoad)) + L" %, highest allowed " +
                   DecimalText(Reading(report, kProcessorTrigger).number) + L" %";
        case TickGate::tgBattery:
            if (off) return Flag(report, kBatteryCheck);
            return std::wstring(L"power line ") + PowerLineName(m.acLineStatus);
        case TickGate::tgFullScreen:
            return off ? Flag(report, kFullScreenCheck) : Flag(report, kFullScreen);
        case TickGate::tgEnabled:
            return Flag(report, kLoadNimbora) + L", " + Flag(report, kDefragMemory);
        case TickGate::tgUptime:
            return L"up " + DurationText(v.uptimeSeconds) + L", 5 min needed";
        case TickGate::tgPeriod:
            return (report.lastRunFromHistory ? DurationText(v.sinceLastRunSeconds) + L" since the last batch"
                                              : std::wstring(L"no batch since start-up")) +
                   L", period " + DurationText(v.periodSeconds);
    }
    return {};
}

// The batch's launch parameters, shortened when long: "1024 MB x 4, 819 MB".
std::wstring BatchText(std::int64_t freeMegabytes) {
    const std::int64_t count = LaunchCount(freeMegabytes);
    const std::wstring last = LaunchParameter(freeMegabytes - (count - 1) * kMegabytesPerLaunch);
    std::wstring text = count == 1 ? L"1 launch of " : DecimalText(count) + L" launches of ";
    text += kDefragmenterFileName;
    text += L": ";
    if (count > 1) text += DecimalText(kMegabytesPerLaunch) + L" MB x " + DecimalText(count - 1) + L", ";
    return text + last + L" MB";
}

std::wstring WhatATickWouldDo(const StatusReport& report) {
    if (!report.verdict) return L"do nothing: its arithmetic overflows with these settings.";
    const TickVerdict& v = *report.verdict;
    if (v.acts) return L"start " + BatchText(v.freeMegabytes) + L".";
    std::wstring blocking;
    for (const GateVerdict& g : v.gates) {
        if (g.state != GateState::gsBlock) continue;
        blocking += (blocking.empty() ? L"" : L", ") + std::wstring(GateName(g.gate));
    }
    return L"do nothing: blocked by " + blocking + L".";
}

std::wstring JsonNumber(std::int64_t value) { return DecimalText(value); }
constexpr wchar_t kNull[] = L"null";
std::wstring JsonBool(bool value) { return value ? L"true" : L"false"; }

std::wstring Field(const wchar_t* name, const std::wstring& json, bool last = false) {
    return JsonString(name) + L":" + json + (last ? L"" : L",");
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, std::int64_t& year, unsigned& month, unsigned& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

std::wstring TwoDigits(std::int64_t value) { return (value < 10 ? L"0" : L"") + DecimalText(value); }

std::wstring HelpText(const std::wstring& command) {
    if (command == L"status")
        return L"Usage: nimbora status [--json]\n\n"
               L"Shows the service's state, the machine's readings (memory, processor load\n"
               L"over one second, power line, uptime), every setting with its value and where\n"
               L"it comes from (policy, stored, default, or stored with a wrong type), each\n"
               L"gate's verdict in the order the service's tick applies them, and what a tick\n"
               L"would do now. The period gate counts from the companion's newest batch record.\n\n"
               L"Exit code: 0 the service runs, 3 installed but not running, 4 not installed.\n";
    if (command == L"set" || command == L"reset") {
        std::wstring text =
            L"Usage: nimbora set NAME VALUE\n"
            L"       nimbora reset NAME\n\n"
            L"Stores one setting, or removes it so that its default applies, in the\n"
            L"registry view the service reads:\n"
            L"  " + std::wstring(kSettingsPlace) + L"\n"
            L"Both need administrator rights. The service reads its settings every second;\n"
            L"Language is read when the service is registered (nimbora service-install).\n\n"
            L"NAME                 VALUE\n";
        for (const SettingDefinition& d : SettingDefinitions())
            text += L"  " + Padded(d.name, 19) + AcceptedValues(d) + L"\n";
        return text;
    }
    if (command == L"start" || command == L"stop" || command == L"pause" || command == L"continue") {
        const wchar_t* what = command == L"start"  ? L"Starts the service and waits until it runs."
                              : command == L"stop" ? L"Stops the service and waits until it has stopped."
                              : command == L"pause"
                                  ? L"Pauses the service: no maintenance until it is continued. Waits until it\n"
                                    L"reports paused."
                                  : L"Continues a paused service: maintenance resumes. Waits until it runs.";
        return L"Usage: nimbora " + command + L"\n\n" + what +
               L"\nNeeds administrator rights. A service already in that state is left alone.\n\n"
               L"Exit code: 0 done, 1 failed, 2 bad command line, 4 the service is not\n"
               L"installed, 5 administrator rights needed.\n";
    }
    if (command == L"history")
        return L"Usage: nimbora history [--json]\n\n"
               L"Lists the companion's last batches, newest first: when each began (UTC), the\n"
               L"megabytes asked and freed, how long it took, its outcome and how the memory\n"
               L"was freed (processes trimmed, modified list flushed, standby purged).\n";
    return L"Usage: nimbora COMMAND [ARGUMENTS]\n\n"
           L"Looks at and configures the Nimbora memory service on this machine.\n\n"
           L"Commands:\n"
           L"  status [--json]    the service's state, readings, settings, each gate's\n"
           L"                     verdict and what a tick would do now\n"
           L"  set NAME VALUE     store one setting (administrator rights needed)\n"
           L"  reset NAME         remove one setting so that its default applies\n"
           L"  history [--json]   the companion's last batches, newest first\n"
           L"  start, stop        start or stop the service (administrator rights needed)\n"
           L"  pause, continue    pause or resume maintenance (administrator rights needed)\n"
           L"  service-install    register the service, or update its registration in\n"
           L"                     place (program, names from Language), and start it\n"
           L"                     unless it is disabled (administrator rights needed)\n"
           L"  help [COMMAND]     this text, or one command's (also --help)\n"
           L"  --version          the tool's version\n\n"
           L"Exit codes: 0 done, 1 failed, 2 bad command line or value, 3 the service is\n"
           L"not running, 4 the service is not installed, 5 administrator rights needed,\n"
           L"6 the setting is controlled by policy.\n";
}

bool IsHelpWord(const std::wstring& word) { return word == L"--help" || word == L"-h" || word == L"/?"; }

int Refuse(CommandOutput& output, const std::wstring& message) {
    output.err += L"nimbora: " + message + L"\n";
    return kExitUsage;
}

int WriteFailure(CommandOutput& output, std::uint32_t error, const std::wstring& what) {
    if (error == kErrorAccessDenied) {
        output.err += L"nimbora: " + what +
                      L" needs administrator rights; run it from an elevated command prompt.\n";
        return kExitNeedsAdmin;
    }
    output.err += L"nimbora: " + what + L" failed with system error " + DecimalText(error) + L".\n";
    return kExitFailed;
}

int RunStatus(bool json, AdminSystem& system, CommandOutput& output) {
    const StatusReport report = BuildStatus(system);
    output.out += json ? FormatStatusJson(report) : FormatStatusText(report);
    return StatusExitCode(report.service);
}

int RunHistory(bool json, AdminSystem& system, CommandOutput& output) {
    std::size_t skipped = 0;
    const std::vector<BatchRecord> records = ReadHistory(system, skipped);
    output.out += json ? FormatHistoryJson(records, skipped) : FormatHistoryText(records, skipped);
    return kExitDone;
}

int RunSet(const std::wstring& name, const std::wstring& value, AdminSystem& system, CommandOutput& output) {
    const SettingDefinition* definition = FindSetting(name);
    if (definition == nullptr) return Refuse(output, L"unknown setting \"" + name + L"\"; see nimbora set --help.");
    std::wstring problem;
    const std::optional<EncodedValue> encoded = EncodeSetting(*definition, value, problem);
    if (!encoded) return Refuse(output, problem);
    if (PolicyApplies(*definition)) {
        const std::optional<StoredSetting> policy = system.ReadPolicy(definition->name);
        if (ChooseInteger(Data(policy), std::nullopt, 0).layer == SettingLayer::slPolicy) {
            output.err += L"nimbora: " + std::wstring(definition->name) + L" is set by policy (" + kPolicyPlace +
                          L"); the service would not use a stored value.\n";
            return kExitByPolicy;
        }
    }
    const std::uint32_t error = system.WriteSetting(definition->name, encoded->type, encoded->bytes);
    if (error != kErrorSuccess) return WriteFailure(output, error, L"writing " + std::wstring(definition->name));
    const SettingReading now = ClassifySetting(*definition, RegistryData{encoded->type, encoded->bytes}, 0);
    output.out += std::wstring(definition->name) + L" = " + SettingValueText(now) + L" (" +
                  RegistryTypeName(encoded->type) + L")\n";
    if (definition->name == std::wstring_view(kLanguage))
        output.out += L"The service takes its name and description from it when it is registered;\n"
                      L"apply it now with: nimbora service-install\n";
    return kExitDone;
}

int RunReset(const std::wstring& name, AdminSystem& system, CommandOutput& output) {
    const SettingDefinition* definition = FindSetting(name);
    if (definition == nullptr) return Refuse(output, L"unknown setting \"" + name + L"\"; see nimbora set --help.");
    const std::uint32_t error = system.DeleteSetting(definition->name);
    if (error != kErrorSuccess && error != kErrorFileNotFound)
        return WriteFailure(output, error, L"removing " + std::wstring(definition->name));
    const std::int64_t total = system.ReadMachine().totalBytes;
    const SettingReading now = ClassifySetting(*definition, std::nullopt, total);
    output.out += std::wstring(definition->name) + L" removed; the default applies: " + SettingValueText(now) + L"\n";
    return kExitDone;
}

// Starts the service unless it is disabled or runs already; nothing to do
// when it is not installed (the rollback of a stop on a removed service).
int RunServiceStart(AdminSystem& system, CommandOutput& output) {
    const ServiceQuery service = system.QueryService();
    if (service.error != kErrorSuccess) return WriteFailure(output, service.error, L"querying the service");
    if (!service.installed) {
        output.out += L"Service not installed.\n";
        return kExitDone;
    }
    if (service.startType == kStartDisabled) {
        output.out += L"Service disabled: left stopped.\n";
        return kExitDone;
    }
    if (service.state == ServiceState::ssRunning) {
        output.out += L"Service running.\n";
        return kExitDone;
    }
    std::wstring detail;
    const std::uint32_t error = system.StartServiceAndWait(detail);
    if (error != kErrorSuccess) return WriteFailure(output, error, L"starting the service (" + detail + L")");
    output.out += L"Service started.\n";
    return kExitDone;
}

// The installer's step: NAME=VALUE pairs (an empty value leaves the setting
// alone), all checked before anything is written, then the registration.
int RunServiceInstall(const std::vector<std::wstring>& pairs, AdminSystem& system, CommandOutput& output) {
    struct Pending {
        const SettingDefinition* definition;
        EncodedValue value;
    };
    std::vector<Pending> pending;
    for (const std::wstring& pair : pairs) {
        const std::size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos) return Refuse(output, L"expected NAME=VALUE, not \"" + pair + L"\".");
        const std::wstring name = pair.substr(0, equals);
        const std::wstring value = pair.substr(equals + 1);
        const SettingDefinition* definition = FindSetting(name);
        if (definition == nullptr) return Refuse(output, L"unknown setting \"" + name + L"\".");
        if (value.empty()) continue;
        std::wstring problem;
        std::optional<EncodedValue> encoded = EncodeSetting(*definition, value, problem);
        if (!encoded) return Refuse(output, problem);
        pending.push_back({definition, std::move(*encoded)});
    }
    for (const Pending& p : pending) {
        const std::uint32_t error = system.WriteSetting(p.definition->name, p.value.type, p.value.bytes);
        if (error != kErrorSuccess) return WriteFailure(output, error, L"writing " + std::wstring(p.definition->name));
    }
    std::wstring detail;
    // N.B. before the service runs from it: INSTALLDIR may be any folder, and
    // one under a writable parent would let users replace a LocalSystem program.
    if (const std::uint32_t error = system.SecureProgramFolder(detail); error != kErrorSuccess)
        return WriteFailure(output, error, L"securing the program folder (" + detail + L")");
    const ServiceQuery service = system.QueryService();
    if (service.error != kErrorSuccess) return WriteFailure(output, service.error, L"querying the service");
    if (!service.installed) {
        if (const std::uint32_t error = system.CreateServiceEntry(detail); error != kErrorSuccess)
            return WriteFailure(output, error, L"registering the service (" + detail + L")");
        if (const std::uint32_t error = system.SetServiceRecovery(detail); error != kErrorSuccess)
            return WriteFailure(output, error, L"setting the service's recovery (" + detail + L")");
        output.out += L"Service registered.\n";
    } else {
        // N.B. changed in place, never re-created: the administrator's start
        // type, recovery actions and permissions survive a repair or upgrade.
        if (const std::uint32_t error = system.UpdateServiceEntry(detail); error != kErrorSuccess)
            return WriteFailure(output, error, L"updating the service's registration (" + detail + L")");
        output.out += L"Service registration updated.\n";
    }
    return RunServiceStart(system, output);
}

int RunServiceStop(AdminSystem& system, CommandOutput& output) {
    std::wstring detail;
    const std::uint32_t error = system.StopServiceAndWait(detail);
    if (error != kErrorSuccess) return WriteFailure(output, error, L"stopping the service (" + detail + L")");
    output.out += L"Service stopped.\n";
    return kExitDone;
}

int RunServiceRemove(AdminSystem& system, CommandOutput& output) {
    std::wstring detail;
    const std::uint32_t error = system.UnregisterService(detail);
    if (error != kErrorSuccess) return WriteFailure(output, error, L"removing the service (" + detail + L")");
    output.out += L"Service removed.\n";
    return kExitDone;
}

struct ControlCommand {
    const wchar_t* word;
    ServiceControlAction action;
    ServiceState target;       // the state the command leads to
    const wchar_t* doing;      // "starting the service"
    const wchar_t* done;       // "Service started."
};

constexpr ControlCommand kControlCommands[] = {
    {L"start", ServiceControlAction::caStart, ServiceState::ssRunning, L"starting the service", L"Service started."},
    {L"stop", ServiceControlAction::caStop, ServiceState::ssStopped, L"stopping the service", L"Service stopped."},
    {L"pause", ServiceControlAction::caPause, ServiceState::ssPaused, L"pausing the service",
     L"Service paused: no maintenance until it is continued."},
    {L"continue", ServiceControlAction::caContinue, ServiceState::ssRunning, L"continuing the service",
     L"Service continued: maintenance resumes."},
};

const ControlCommand* FindControlCommand(const std::wstring& word) {
    for (const ControlCommand& c : kControlCommands)
        if (word == c.word) return &c;
    return nullptr;
}

int RunControl(const ControlCommand& command, AdminSystem& system, CommandOutput& output) {
    const ServiceQuery service = system.QueryService();
    if (!service.installed) {
        if (service.error != kErrorSuccess) return WriteFailure(output, service.error, L"querying the service");
        output.err += L"nimbora: the service Nimbora is not installed.\n";
        return kExitNotInstalled;
    }
    if (service.state == command.target) {
        output.out += std::wstring(L"The service is already ") + StateName(service) + L".\n";
        return kExitDone;
    }
    std::wstring detail;
    const std::uint32_t error = system.ControlService(command.action, detail);
    if (error != kErrorSuccess)
        return WriteFailure(output, error, std::wstring(command.doing) + (detail.empty() ? L"" : L" (" + detail + L")"));
    output.out += std::wstring(command.done) + L"\n";
    return kExitDone;
}

}  // namespace

std::wstring JsonString(std::wstring_view text) {
    std::wstring json = L"\"";
    for (const wchar_t c : text) {
        const auto unit = static_cast<std::uint32_t>(c);
        if (c == L'"' || c == L'\\') {
            json += L'\\';
            json += c;
        } else if (unit >= 0x20 && unit < 0x7F) {
            json += c;
        } else {
            json += L"\\u" + HexText(unit & 0xFFFF, 4);
        }
    }
    return json + L"\"";
}

std::wstring UtcText(std::uint64_t fileTime) {
    const auto seconds = static_cast<std::int64_t>(fileTime / kFileTimeUnitsPerSecond) - INT64_C(11644473600);
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    return DecimalText(year) + L"-" + TwoDigits(month) + L"-" + TwoDigits(day) + L" " + TwoDigits(inDay / 3600) +
           L":" + TwoDigits(inDay / 60 % 60) + L":" + TwoDigits(inDay % 60);
}

int StatusExitCode(const ServiceQuery& service) {
    if (!service.installed) return service.error == kErrorSuccess ? kExitNotInstalled : kExitFailed;
    return service.state == ServiceState::ssRunning ? kExitDone : kExitNotRunning;
}

StatusReport BuildStatus(AdminSystem& system) {
    StatusReport report;
    report.service = system.QueryService();
    report.machine = system.ReadMachine();
    const MachineReadings& m = report.machine;
    // N.B. the policies are read before the copies they point into go.
    std::vector<std::optional<StoredSetting>> found;
    for (const SettingDefinition& d : SettingDefinitions()) {
        found.push_back(system.ReadSetting(d.name));
        found.push_back(PolicyApplies(d) ? system.ReadPolicy(d.name) : std::nullopt);
    }
    std::size_t i = 0;
    for (const SettingDefinition& d : SettingDefinitions()) {
        report.settings.push_back(ClassifySetting(d, Data(found[i]), m.totalBytes, Data(found[i + 1])));
        i += 2;
    }

    // The period counts from the newest batch the companion recorded since
    // the machine started; the service's own memory of it is not readable.
    std::size_t skipped = 0;
    const std::vector<BatchRecord> history = ReadHistory(system, skipped);
    const std::int32_t uptime = SecondsFromTicks(m.tickCount);
    if (!history.empty() && history.front().startedUtc <= m.nowUtc) {
        const auto ago = static_cast<std::int64_t>((m.nowUtc - history.front().startedUtc) / kFileTimeUnitsPerSecond);
        if (ago <= uptime) {
            report.lastRunSeconds = static_cast<std::int32_t>(uptime - ago);
            report.lastRunFromHistory = true;
        }
    }

    StoredTickSettings tickSettings(system);
    const TickSettingValues values = ReadTickSettings(tickSettings, m.totalBytes);
    const TickReadings readings{m.totalBytes, m.availableBytes, m.tickCount, m.processorLoad, m.acLineStatus};
    try {
        report.verdict = DecideTick(values, readings, report.lastRunSeconds);
    } catch (const EMathError&) {
        report.verdict.reset();
    }
    return report;
}

std::wstring FormatStatusText(const StatusReport& report) {
    const ServiceQuery& s = report.service;
    const MachineReadings& m = report.machine;
    std::wstring t = L"Service Nimbora: " + std::wstring(StateName(s));
    if (s.installed && s.processId != 0) t += L" (process " + DecimalText(s.processId) + L")";
    if (!s.installed && s.error != kErrorSuccess) t += L" (query failed: system error " + DecimalText(s.error) + L")";
    t += L"\n";
    if (s.installed) {
        t += L"  Display name     " + s.displayName + L"\n";
        t += L"  Start            " + std::wstring(StartTypeName(s.startType)) + L", as " + s.account + L"\n";
        t += L"  Program          " + s.binaryPath + L"\n";
    }

    t += L"\nMachine\n";
    const Real share = m.totalBytes > 0 ? static_cast<Real>(m.availableBytes) * 100.0L / static_cast<Real>(m.totalBytes)
                                        : 0.0L;
    t += L"  Memory           " + Megabytes(m.totalBytes) + L" total, " + Megabytes(m.availableBytes) +
         L" available (" + OneDecimal(share) + L" %)\n";
    if (report.verdict)
        t += L"  Trigger level    " + Megabytes(report.verdict->maintainBytes) + L" (" +
             DecimalText(Reading(report, kMemoryMaintain).number) + L" % of the total), " +
             DecimalText(report.verdict->maintainBytes) + L" bytes\n";
    t += L"  Processor load   " + OneDecimal(static_cast<Real>(m.processorLoad)) + L" % over one second\n";
    t += L"  Power line       " + std::wstring(PowerLineName(m.acLineStatus)) + L"\n";
    t += L"  Uptime           " + DurationText(SecondsFromTicks(m.tickCount)) + L"\n";

    t += L"\nSettings in " + std::wstring(kSettingsPlace) + L"\n";
    if (std::any_of(report.settings.begin(), report.settings.end(),
                    [](const SettingReading& r) { return r.source == SettingSource::ssPolicy; }))
        t += L"  (policy: set in " + std::wstring(kPolicyPlace) + L")\n";
    for (const SettingReading& r : report.settings) {
        std::wstring source = SettingSourceName(r.source);
        if (r.source == SettingSource::ssWrongType)
            source = L"wrong type (" + RegistryTypeName(r.storedType) + L"), default used";
        t += L"  " + Padded(r.definition->name, 21) + Padded(SettingValueText(r), 16) + source + L"\n";
    }

    t += L"\nGates, in the order the tick applies them\n";
    if (report.verdict) {
        for (const GateVerdict& g : report.verdict->gates)
            t += L"  " + Padded(GateName(g.gate), 13) + Padded(GateStateName(g.state), 7) +
                 GateDetail(report, *report.verdict, g.gate) + L"\n";
    } else {
        t += L"  the arithmetic overflows with these settings; the tick ends silently\n";
    }

    t += L"\nA tick now would " + WhatATickWouldDo(report) + L"\n";
    if (!s.installed || s.state != ServiceState::ssRunning) t += L"But no tick runs: the service is not running.\n";
    return t;
}

std::wstring FormatStatusJson(const StatusReport& report) {
    const ServiceQuery& s = report.service;
    const MachineReadings& m = report.machine;
    // N.B. a failed query of the Service Control Manager says nothing about the
    // service: its fields are null and the failure is the "error" object.
    const bool known = s.installed || s.error == kErrorSuccess;
    const bool present = s.installed;
    const auto text = [&](const std::wstring& value) { return present ? JsonString(value) : std::wstring(kNull); };
    std::wstring j = L"{" + Field(L"schemaVersion", JsonNumber(kStatusSchemaVersion));
    j += JsonString(L"service") + L":{" + Field(L"installed", known ? JsonBool(s.installed) : kNull) +
         Field(L"state", known ? JsonString(StateId(s)) : kNull) +
         Field(L"processId", present && s.processId != 0 ? JsonNumber(s.processId) : kNull) +
         Field(L"displayName", text(s.displayName)) +
         Field(L"startType", present ? JsonString(StartTypeId(s.startType)) : kNull) +
         Field(L"account", text(s.account)) + Field(L"binaryPath", text(s.binaryPath)) +
         Field(L"running", known ? JsonBool(s.installed && s.state == ServiceState::ssRunning) : kNull, true) + L"},";

    j += JsonString(L"machine") + L":{" + Field(L"totalBytes", JsonNumber(m.totalBytes)) +
         Field(L"availableBytes", JsonNumber(m.availableBytes)) +
         Field(L"triggerBytes", report.verdict ? JsonNumber(report.verdict->maintainBytes) : kNull) +
         Field(L"triggerPercent", JsonNumber(Reading(report, kMemoryMaintain).number)) +
         Field(L"processorLoadPercent", OneDecimal(static_cast<Real>(m.processorLoad))) +
         Field(L"powerLine", JsonString(m.acLineStatus == 0 ? L"offline" : m.acLineStatus == 1 ? L"online" : L"unknown")) +
         Field(L"uptimeSeconds", JsonNumber(SecondsFromTicks(m.tickCount)), true) + L"},";

    j += JsonString(L"settings") + L":[";
    for (std::size_t i = 0; i < report.settings.size(); ++i) {
        const SettingReading& r = report.settings[i];
        j += i == 0 ? L"{" : L",{";
        j += Field(L"name", JsonString(r.definition->name));
        j += Field(L"value", r.definition->kind == SettingKind::skText ? JsonString(r.text) : JsonNumber(r.number));
        if (r.source == SettingSource::ssWrongType) j += Field(L"storedType", JsonString(RegistryTypeName(r.storedType)));
        j += Field(L"source", JsonString(SettingSourceName(r.source)), true) + L"}";
    }
    j += L"],";

    j += JsonString(L"gates") + L":[";
    if (report.verdict) {
        for (std::size_t i = 0; i < kTickGateCount; ++i) {
            const GateVerdict& g = report.verdict->gates[i];
            j += (i == 0 ? L"{" : L",{") + Field(L"gate", JsonString(GateId(g.gate))) +
                 Field(L"verdict", JsonString(GateStateName(g.state))) +
                 Field(L"detail", JsonString(GateDetail(report, *report.verdict, g.gate)), true) + L"}";
        }
    }
    j += L"],";

    j += JsonString(L"tick") + L":{";
    j += Field(L"serviceRunning", JsonBool(s.installed && s.state == ServiceState::ssRunning));
    j += Field(L"lastRunFromHistory", JsonBool(report.lastRunFromHistory));
    j += Field(L"acts", report.verdict ? JsonBool(report.verdict->acts) : kNull);
    std::wstring launches = kNull;
    if (report.verdict) {
        launches = L"[";
        if (report.verdict->acts) {
            std::int64_t remaining = report.verdict->freeMegabytes;
            const std::int64_t count = LaunchCount(report.verdict->freeMegabytes);
            for (std::int64_t i = 0; i < count; ++i, remaining -= kMegabytesPerLaunch)
                launches += (i == 0 ? L"" : L",") + LaunchParameter(remaining);
        }
        launches += L"]";
    }
    j += Field(L"launches", launches);
    j += Field(L"summary", JsonString(WhatATickWouldDo(report)), true) + L"},";

    std::wstring error = kNull;
    if (!known)
        error = L"{" + Field(L"code", JsonNumber(s.error)) +
                Field(L"message", JsonString(L"querying the Service Control Manager failed with system error " +
                                             DecimalText(s.error)),
                      true) +
                L"}";
    return j + Field(L"error", error, true) + L"}\n";
}

std::vector<BatchRecord> ReadHistory(AdminSystem& system, std::size_t& skipped) {
    std::vector<BatchRecord> records;
    skipped = 0;
    for (const auto& [name, text] : system.ReadBatchValues()) {
        std::optional<BatchRecord> record = ParseBatchRecord(name, text);
        if (record)
            records.push_back(*record);
        else
            ++skipped;
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const BatchRecord& a, const BatchRecord& b) { return a.startedUtc > b.startedUtc; });
    return records;
}

std::wstring FormatHistoryText(const std::vector<BatchRecord>& records, std::size_t skipped) {
    std::wstring t;
    if (records.empty()) {
        t = L"No batch recorded yet.\n";
    } else {
        t = L"Started (UTC)        Asked MB Freed MB    Time Outcome  How\n";
        for (const BatchRecord& r : records) {
            std::wstring how = r.trimmedProcesses > 0 ? L"trimmed " + DecimalText(r.trimmedProcesses) : L"";
            if (r.flushed) how += (how.empty() ? L"" : L", ") + std::wstring(L"flushed");
            if (r.purgedMegabytes > 0)
                how += (how.empty() ? L"" : L", ") + std::wstring(L"purged ") + DecimalText(r.purgedMegabytes) + L" MB";
            if (how.empty()) how = L"-";
            t += UtcText(r.startedUtc) + L"  " + RightAligned(DecimalText(r.askedMegabytes), 8) + L" " +
                 RightAligned(DecimalText(r.freedMegabytes), 8) + L" " +
                 RightAligned(OneDecimal(static_cast<Real>(r.elapsedMs) / 1000.0L) + L" s", 7) + L" " +
                 Padded(BatchOutcomeName(r.outcome), 8) + L" " + how + L"\n";
        }
    }
    if (skipped > 0) t += DecimalText(static_cast<std::int64_t>(skipped)) + L" unreadable record(s) skipped.\n";
    return t;
}

std::wstring FormatHistoryJson(const std::vector<BatchRecord>& records, std::size_t skipped) {
    std::wstring j = L"{" + JsonString(L"batches") + L":[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        const BatchRecord& r = records[i];
        std::wstring iso = UtcText(r.startedUtc);
        iso[10] = L'T';
        j += (i == 0 ? L"{" : L",{") + Field(L"started", JsonString(iso + L"Z")) +
             Field(L"startedFileTime", DecimalText(static_cast<std::int64_t>(r.startedUtc))) +
             Field(L"askedMB", JsonNumber(r.askedMegabytes)) + Field(L"freedMB", JsonNumber(r.freedMegabytes)) +
             Field(L"trimmedProcesses", JsonNumber(r.trimmedProcesses)) + Field(L"flushed", JsonBool(r.flushed)) +
             Field(L"purgedMB", JsonNumber(r.purgedMegabytes)) + Field(L"elapsedMs", JsonNumber(r.elapsedMs)) +
             Field(L"availableBeforeMB", JsonNumber(r.availableBeforeMegabytes)) +
             Field(L"availableAfterMB", JsonNumber(r.availableAfterMegabytes)) +
             Field(L"outcome", JsonString(BatchOutcomeName(r.outcome)), true) + L"}";
    }
    return j + L"]," + Field(L"skipped", JsonNumber(static_cast<std::int64_t>(skipped)), true) + L"}\n";
}

int RunAdminCommand(const std::vector<std::wstring>& arguments, AdminSystem& system, CommandOutput& output) {
    if (arguments.empty()) {
        output.err += HelpText(L"");
        return kExitUsage;
    }
    const std::wstring command = LowerCaseAZ(arguments[0]);
    std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    if (command == L"--version") {
        output.out += std::wstring(L"nimbora ") + NIMBORA_VERSION + L"\n";
        return kExitDone;
    }
    if (IsHelpWord(command) || command == L"help") {
        output.out += HelpText(rest.empty() ? L"" : LowerCaseAZ(rest[0]));
        return kExitDone;
    }
    if (std::any_of(rest.begin(), rest.end(), IsHelpWord)) {
        output.out += HelpText(command);
        return kExitDone;
    }
    if (command == L"status" || command == L"history") {
        bool json = false;
        for (const std::wstring& word : rest) {
            if (word != L"--json") return Refuse(output, L"unknown option \"" + word + L"\" for " + command + L".");
            json = true;
        }
        return command == L"status" ? RunStatus(json, system, output) : RunHistory(json, system, output);
    }
    if (command == L"set") {
        if (rest.size() != 2) return Refuse(output, L"set takes a NAME and a VALUE; see nimbora set --help.");
        return RunSet(rest[0], rest[1], system, output);
    }
    if (command == L"reset") {
        if (rest.size() != 1) return Refuse(output, L"reset takes one NAME; see nimbora set --help.");
        return RunReset(rest[0], system, output);
    }
    if (const ControlCommand* control = FindControlCommand(command)) {
        if (!rest.empty()) return Refuse(output, command + L" takes no arguments; see nimbora " + command + L" --help.");
        return RunControl(*control, system, output);
    }
    if (command == L"service-install") return RunServiceInstall(rest, system, output);
    if (command == L"service-remove" || command == L"service-stop" || command == L"service-start") {
        if (!rest.empty()) return Refuse(output, command + L" takes no arguments.");
        if (command == L"service-stop") return RunServiceStop(system, output);
        return command == L"service-start" ? RunServiceStart(system, output) : RunServiceRemove(system, output);
    }
    return Refuse(output, L"unknown command \"" + arguments[0] + L"\"; see nimbora --help.");
}

}  // namespace nimbora
