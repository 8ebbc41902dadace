#pragma once
// The commands of `nimbora.exe`, the administrator's tool: parsing, the work
// against an AdminSystem, and the texts written to the console. Portable:
// the Windows entry only supplies the machine and prints the texts.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "admin/AdminSettings.h"
#include "admin/AdminSystem.h"
#include "defrag/BatchHistory.h"
#include "service/TickDecision.h"

namespace nimbora {

// Exit codes.
inline constexpr int kExitDone = 0;            // status: the service runs
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;           // bad command line, unknown name or refused value
inline constexpr int kExitNotRunning = 3;      // status: installed but not running
inline constexpr int kExitNotInstalled = 4;    // status, start, stop, pause, continue: not installed
inline constexpr int kExitNeedsAdmin = 5;      // the registry refused access
inline constexpr int kExitByPolicy = 6;        // set: the setting is controlled by policy

struct CommandOutput {
    std::wstring out;  // standard output
    std::wstring err;  // standard error
};

// Runs one command line (the words after the program name).
int RunAdminCommand(const std::vector<std::wstring>& arguments, AdminSystem& system, CommandOutput& output);

// Everything `nimbora status` reports.
struct StatusReport {
    ServiceQuery service;
    MachineReadings machine;
    std::vector<SettingReading> settings;
    std::optional<TickVerdict> verdict;  // nothing when the arithmetic overflowed
    std::int32_t lastRunSeconds = 0;
    bool lastRunFromHistory = false;     // a batch since start-up was found
};

StatusReport BuildStatus(AdminSystem& system);
std::wstring FormatStatusText(const StatusReport& report);
// The version of the status --json document: every field is always present
// (null when unknown), states and gates are identifiers, and a failed query
// of the Service Control Manager is the "error" object (exit code 1).
inline constexpr int kStatusSchemaVersion = 1;
std::wstring FormatStatusJson(const StatusReport& report);
int StatusExitCode(const ServiceQuery& service);

// The batch records found under the Batches subkey, newest first; `skipped`
// counts the values that are not readable records.
std::vector<BatchRecord> ReadHistory(AdminSystem& system, std::size_t& skipped);
std::wstring FormatHistoryText(const std::vector<BatchRecord>& records, std::size_t skipped);
std::wstring FormatHistoryJson(const std::vector<BatchRecord>& records, std::size_t skipped);

// A FILETIME as "YYYY-MM-DD HH:MM:SS" (UTC).
std::wstring UtcText(std::uint64_t fileTime);

// Text as a JSON string literal, quotes included; everything outside
// printable ASCII escaped.
std::wstring JsonString(std::wstring_view text);

}  // namespace nimbora
