#pragma once
// Helpers for end-to-end tests under Wine: processes, the Service Control
// Manager, the registry and the event-log entries services write.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "svchost/UniqueHandle.h"

namespace nimbora::e2e {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
};

// Runs `commandLine` to its end, with `extraEnvironment` ("NAME=value"
// entries) added to this process's environment.
ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& extraEnvironment = {},
                         DWORD timeoutMs = 60000);

// A message box a program showed, as the user saw it.
struct Dialog {
    std::wstring caption;
    std::wstring text;
    int buttons = 0;
};

struct DialogRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<Dialog> dialogs;  // in the order shown; each was dismissed with OK
};

// Runs `commandLine` to its end, reading and dismissing every message box it
// shows. `whileShown` runs once for each box before it is dismissed.
DialogRun RunWithDialogs(const std::wstring& commandLine, const std::function<void(const Dialog&)>& whileShown = {},
                         DWORD timeoutMs = 60000);


// Copies the named build outputs into a fresh folder and returns it (with
// its trailing backslash).
std::wstring StageFolder(const std::wstring& folder, const std::vector<std::wstring>& files);

std::wstring ReadTextFile(const std::wstring& path);  // "" when missing
std::vector<std::wstring> ReadLines(const std::wstring& path);

// Processes of this Wine prefix whose image is named `exeName`.
int ProcessesRunning(const wchar_t* exeName);

// Waits until `done` holds or the time runs out; true when it held.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));

// The Service Control Manager, as a controller sees it.
class ServiceController {
public:
    explicit ServiceController(std::wstring name);
    bool Exists() const;
    // Creates an own-process, demand-start service for `binaryPath`.
    void Create(const std::wstring& binaryPath, DWORD startType = SERVICE_DEMAND_START);
    void Delete();  // stops it first when running; no error when missing
    bool Start(const std::vector<std::wstring>& arguments = {});
    // ControlService; the returned status (state 0 when refused).
    bool Control(DWORD code, SERVICE_STATUS* status = nullptr, DWORD* error = nullptr);
    SERVICE_STATUS_PROCESS Query() const;
    DWORD State() const { return Query().dwCurrentState; }
    bool WaitForState(DWORD state, std::chrono::milliseconds timeout) const;
    QUERY_SERVICE_CONFIGW* Config(std::vector<unsigned char>& buffer) const;

private:
    UniqueServiceHandle Open(DWORD access) const;
    std::wstring name_;
};

// Entries written through the event log, as Wine traces them on the writing
// process's stderr: the text of each `err:eventlog:ReportEventW L"..."` line.
std::vector<std::wstring> EventLogEntries(const std::string& traceText);

// A trace file that collects event-log entries, from a marked offset on:
// services.exe's stderr, which every service inherits (NIMBORA_SERVICES_LOG_WIN),
// or this test program's own, which the programs it starts inherit
// (NIMBORA_E2E_STDERR_WIN).
class TraceLog {
public:
    explicit TraceLog(const wchar_t* environmentVariable);  // marks the current end
    std::vector<std::wstring> Entries() const;
    std::vector<std::string> Lines() const;  // every line written since the mark
    bool Available() const { return !path_.empty(); }

private:
    std::wstring path_;
    std::uint64_t start_ = 0;
};

// Registry values under HKLM\Software\Korvex\Nimbora for one test; the key
// is removed when the object goes.
class SettingsScope {
public:
    SettingsScope();
    ~SettingsScope();
    void SetDword(const wchar_t* name, DWORD value) const;
    void SetString(const wchar_t* name, const std::wstring& value) const;
    bool HasValue(const wchar_t* name) const;
    DWORD GetDword(const wchar_t* name) const;
};

// The texts a system error code may be reported with, as the product gives
// them (no trailing period): Wine's English message, then Windows' own.
std::vector<std::wstring> SystemErrorTexts(DWORD code);

std::wstring BuildOutput(const wchar_t* fileName);  // folder of the tested build + name

}  // namespace nimbora::e2e
