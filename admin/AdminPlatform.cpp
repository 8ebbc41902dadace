#include "admin/AdminPlatform.h"

#include <windows.h>
#include <tlhelp32.h>
#include <aclapi.h>
#include <sddl.h>

#include <string_view>

#include "defrag/BatchHistory.h"
#include "defrag/DefragHandles.h"
#include "defrag/DefragProgram.h"
#include "probes/CPU.h"
#include "probes/RAM.h"
#include "service/MaintenanceTick.h"
#include "settings/Captions.h"
#include "settings/RegistryValue.h"
#include "settings/SettingsKeys.h"
#include "svchost/Messages.h"
#include "svchost/ServiceApplication.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {

namespace {

static_assert(std::wstring_view(kDefragExclude) == L"DefragExclude" &&
              std::wstring_view(kDefragFlushModified) == L"DefragFlushModified" &&
              std::wstring_view(kDefragPurgeStandby) == L"DefragPurgeStandby" &&
              std::wstring_view(kDefragServices) == L"DefragServices",
              "the tool's table names the companion's settings as the companion reads them");

constexpr wchar_t kServiceName[] = L"Nimbora";
constexpr wchar_t kServiceProgram[] = L"NimboraService.exe";
constexpr DWORD kControlTimeoutMs = 30000;
constexpr DWORD kRestartDelayMs = 60000;
constexpr DWORD kFailureCountResetSeconds = 86400;
// The program folder: full control for LocalSystem and the Administrators,
// read and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE) for Users, each
// inherited by files and subfolders; protected from the parent's entries.
constexpr wchar_t kProgramFolderAccess[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";


std::wstring SettingsSubKey() { return std::wstring(SubKeyPath(SettingsKey)); }

std::uint32_t OpenSettings(REGSAM access, UniqueHKey& key, const std::wstring& below = L"") {
    const std::wstring path = SettingsSubKey() + below;
    return static_cast<std::uint32_t>(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | KEY_WOW64_32KEY, key.put()));
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\:") + 1); }

// Waits until the service reports `wanted`, or the timeout passes.
bool WaitForState(SC_HANDLE service, DWORD wanted) {
    const ULONGLONG deadline = GetTickCount64() + kControlTimeoutMs;
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status)) {
        if (status.dwCurrentState == wanted) return true;
        if (GetTickCount64() > deadline) return false;
        Sleep(100);
    }
    return false;
}

// Waits until the manager has let go of a deleted service's entry.
bool WaitUntilGone(SC_HANDLE manager) {
    const ULONGLONG deadline = GetTickCount64() + kControlTimeoutMs;
    for (;;) {
        const UniqueServiceHandle service(OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS));
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        if (GetTickCount64() > deadline) return false;
        Sleep(100);
    }
}

// Waits, until the deadline, for the programs running from `folder` (the
// service's process and any companion still working) to end.
// N.B. the Service Control Manager reports stopped, and lets go of a deleted
// entry, before the service's process has ended, and companions the service
// started work on for a few seconds. The installer removes the files right
// after this step: a program still running from the folder would keep its
// file, and the folder, until a restart.
void WaitForProgramsOf(const std::wstring& folder, ULONGLONG deadline) {
    const UniqueHandleObject snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, kServiceProgram) != 0 && lstrcmpiW(entry.szExeFile, kDefragmenterFileName) != 0)
            continue;
        const UniqueHandleObject process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[MAX_PATH * 4];
        DWORD size = MAX_PATH * 4;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) continue;
        if (lstrcmpiW(FolderOf(std::wstring(image, size)).c_str(), folder.c_str()) != 0) continue;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        WaitForSingleObject(process.get(), static_cast<DWORD>(deadline - now));
    }
}

// Sends a stop unless the service is stopped, and waits until it is.
// The product's service opened with `access`, or the error that refused it
// (kept before the manager's handle is closed).
struct OpenedService {
    UniqueServiceHandle service;
    DWORD error = ERROR_SUCCESS;
};

OpenedService OpenProductService(DWORD access) {
    OpenedService opened;
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager) opened.service.reset(OpenServiceW(manager.get(), kServiceName, access));
    if (!opened.service) opened.error = GetLastError();
    return opened;
}

std::uint32_t StopAndWait(SC_HANDLE service, std::wstring& detail) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) return ERROR_SUCCESS;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            detail = L"stopping the service";
            return error;
        }
    }
    if (!WaitForState(service, SERVICE_STOPPED)) {
        detail = L"the service did not stop";
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

std::wstring QuotedWhenSpaced(const std::wstring& path) {
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

// The text a child wrote to `pipe` until it closed its end, as UTF-8 or,
// failing that, as the ANSI code page.
std::wstring ReadAll(HANDLE pipe) {
    std::string bytes;
    char chunk[512];
    DWORD read = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    if (bytes.empty() || bytes.size() > 65536) return {};
    for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (length <= 0) continue;
        std::wstring text(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        return text;
    }
    return {};
}

// Runs the product beside this program with `switches` and waits for it: its
// exit code, or the error that kept it from running. Its standard error is
// read and, when it failed, becomes part of `detail`: the installer that runs
// this tool shows no program's output.
std::uint32_t RunProduct(const std::wstring& switches, std::wstring& detail) {
    const std::wstring program = FolderOf(ExecutablePath()) + kServiceProgram;
    std::wstring commandLine = L"\"" + program + L"\" " + switches;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    UniqueHandleObject errorRead;
    UniqueHandleObject errorWrite;
    if (!CreatePipe(errorRead.put(), errorWrite.put(), &inheritable, 0) ||
        !SetHandleInformation(errorRead.get(), HANDLE_FLAG_INHERIT, 0)) {
        const DWORD error = GetLastError();
        detail = L"cannot create a pipe for " + program;
        return error;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errorWrite.get();
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
        const DWORD error = GetLastError();
        detail = L"cannot start " + program;
        return error;
    }
    const UniqueHandleObject process(info.hProcess);
    const UniqueHandleObject thread(info.hThread);
    // N.B. our copy of the write end goes first: the reading ends when the
    // child's copy closes, at its exit.
    errorWrite.reset();
    const std::wstring errorText = ReadAll(errorRead.get());
    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.get(), &exitCode)) return GetLastError();
    if (exitCode != 0) {
        detail = std::wstring(kServiceProgram) + L" " + switches + L" ended with code " + DecimalText(exitCode);
        if (!errorText.empty()) detail += L": " + errorText;
    }
    return exitCode;
}

// The named value under `key`: its type and bytes; nothing when it is missing.
std::optional<StoredSetting> ReadValue(HKEY key, const std::wstring& name) {
    for (;;) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        StoredSetting stored;
        stored.bytes.resize(size);
        const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, stored.bytes.data(), &size);
        if (status == ERROR_MORE_DATA) continue;  // it grew in between
        if (status != ERROR_SUCCESS) return std::nullopt;
        stored.type = type;
        stored.bytes.resize(size);
        return stored;
    }
}

}  // namespace

std::optional<StoredSetting> AdminPlatform::ReadSetting(const std::wstring& name) {
    UniqueHKey key;
    if (OpenSettings(KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return std::nullopt;
    return ReadValue(key.get(), name);
}

std::optional<StoredSetting> AdminPlatform::ReadPolicy(const std::wstring& name) {
    UniqueHKey key;
    const std::wstring path(SubKeyPath(PolicyKeyPath));
    // N.B. the 64-bit view, as the service reads it (Group Policy writes there).
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return ReadValue(key.get(), name);
}

std::uint32_t AdminPlatform::WriteSetting(const std::wstring& name, std::uint32_t type,
                                          const std::vector<std::uint8_t>& bytes) {
    UniqueHKey key;
    const std::wstring path = SettingsSubKey();
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    status = RegSetValueExW(key.get(), name.c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    return static_cast<std::uint32_t>(status);
}

std::uint32_t AdminPlatform::DeleteSetting(const std::wstring& name) {
    UniqueHKey key;
    const std::uint32_t status = OpenSettings(KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) return status;
    return static_cast<std::uint32_t>(RegDeleteValueW(key.get(), name.c_str()));
}

std::vector<std::pair<std::wstring, std::wstring>> AdminPlatform::ReadBatchValues() {
    std::vector<std::pair<std::wstring, std::wstring>> values;
    UniqueHKey key;
    if (OpenSettings(KEY_QUERY_VALUE, key, std::wstring(L"\\") + kBatchesSubkey) != ERROR_SUCCESS) return values;
    DWORD count = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return values;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<std::uint8_t> data(longestData + sizeof(wchar_t));
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = longestData;
        DWORD type = REG_NONE;
        if (RegEnumValueW(key.get(), i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) !=
            ERROR_SUCCESS)
            continue;
        const std::optional<std::wstring> text = DecodeText(RegistryData{type, {data.data(), dataSize}});
        values.emplace_back(std::wstring(name.data(), nameLength), text.value_or(L""));
    }
    return values;
}

ServiceQuery AdminPlatform::QueryService() {
    ServiceQuery query;
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        query.error = GetLastError();
        return query;
    }
    const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) query.error = error;
        return query;
    }
    query.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed)) {
        query.state = static_cast<ServiceState>(status.dwCurrentState);
        query.processId = status.dwProcessId;
    }
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed > 0) {
        std::vector<std::uint8_t> buffer(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service.get(), config, needed, &needed)) {
            query.displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : L"";
            query.binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
            query.account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : L"";
            query.startType = config->dwStartType;
        }
    }
    return query;
}

MachineReadings AdminPlatform::ReadMachine() {
    MachineReadings m;
    ProcessorSampler sampler;
    sampler.GetProcessorUsage();  // the first sample only sets the start
    Sleep(1000);
    m.processorLoad = sampler.GetProcessorUsage();
    m.totalBytes = GetTotalPhysicalMemory();
    m.availableBytes = GetAvailablePhysicalMemory();
    SYSTEM_POWER_STATUS power;
    if (GetSystemPowerStatus(&power)) m.acLineStatus = power.ACLineStatus;
    m.tickCount = GetTickCount64();
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    m.nowUtc = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return m;
}

std::uint32_t AdminPlatform::SecureProgramFolder(std::wstring& detail) {
    std::wstring folder = FolderOf(ExecutablePath());
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProgramFolderAccess, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        detail = L"building the access list";
        return GetLastError();
    }
    const UniqueLocal owned(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        detail = L"reading the access list";
        return GetLastError();
    }
    // N.B. protected: nothing inherited from the parent stays, so a folder
    // under D:\Apps gets no Authenticated Users: Modify from there. The
    // system applies the inheritable entries to the files already inside.
    const DWORD status =
        SetNamedSecurityInfoW(folder.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    if (status != ERROR_SUCCESS) detail = L"setting the access list of " + folder;
    return status;
}

std::uint32_t AdminPlatform::CreateServiceEntry(std::wstring& detail) {
    return RunProduct(L"/install /silent /unattended", detail);
}

std::uint32_t AdminPlatform::UpdateServiceEntry(std::wstring& detail) {
    const std::wstring program = FolderOf(ExecutablePath()) + kServiceProgram;
    std::wstring language = kDefaultLanguage;
    if (const std::optional<StoredSetting> stored = ReadSetting(kLanguage)) {
        const std::optional<std::wstring> text = DecodeText(RegistryData{stored->type, stored->bytes});
        if (text && !text->empty()) language = *text;
    }
    // As the product's /install names it: an empty caption leaves the name.
    std::wstring displayName = CaptionOfProgram(program, language, kServiceName, L"DisplayName").value_or(L"");
    if (displayName.empty()) displayName = kServiceName;
    std::wstring description = CaptionOfProgram(program, language, kServiceName, L"Description").value_or(L"");
    const std::wstring path = QuotedWhenSpaced(program);

    const OpenedService opened = OpenProductService(SERVICE_CHANGE_CONFIG);
    if (!opened.service) {
        detail = L"opening the service";
        return opened.error;
    }
    const UniqueServiceHandle& service = opened.service;
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, displayName.c_str())) {
        detail = L"changing the program and display name";
        return GetLastError();
    }
    SERVICE_DESCRIPTIONW text{description.data()};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text)) {
        detail = L"changing the description";
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

std::uint32_t AdminPlatform::SetServiceRecovery(std::wstring& detail) {
    // N.B. a restart among the actions needs SERVICE_START on the handle.
    const OpenedService opened = OpenProductService(SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (!opened.service) {
        detail = L"opening the service";
        return opened.error;
    }
    const UniqueServiceHandle& service = opened.service;
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = kFailureCountResetSeconds;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        detail = L"setting the recovery actions";
        return GetLastError();
    }
    // Also when the service reports itself stopped with an error code, not
    // only when its process ends without a word. N.B. a manager that does not
    // know this level (Wine's) answers ERROR_INVALID_LEVEL: the actions above
    // still apply to a crash.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) &&
        GetLastError() != ERROR_INVALID_LEVEL) {
        detail = L"applying the recovery actions to errors the service reports";
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

std::uint32_t AdminPlatform::StartServiceAndWait(std::wstring& detail) {
    const OpenedService opened = OpenProductService(SERVICE_START | SERVICE_QUERY_STATUS);
    if (!opened.service) {
        detail = L"opening the service";
        return opened.error;
    }
    const UniqueServiceHandle& service = opened.service;
    if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        detail = L"starting the service";
        return GetLastError();
    }
    if (!WaitForState(service.get(), SERVICE_RUNNING)) {
        detail = L"the service did not reach the running state";
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

std::uint32_t AdminPlatform::StopServiceAndWait(std::wstring& detail) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        detail = L"opening the Service Control Manager";
        return GetLastError();
    }
    const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
        detail = L"opening the service";
        return error;
    }
    if (const std::uint32_t error = StopAndWait(service.get(), detail); error != ERROR_SUCCESS) return error;
    WaitForProgramsOf(FolderOf(ExecutablePath()), GetTickCount64() + kControlTimeoutMs);
    return ERROR_SUCCESS;
}

std::uint32_t AdminPlatform::UnregisterService(std::wstring& detail) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        detail = L"opening the Service Control Manager";
        return GetLastError();
    }
    {
        const UniqueServiceHandle service(
            OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
            detail = L"opening the service";
            return error;
        }
        if (const std::uint32_t error = StopAndWait(service.get(), detail); error != ERROR_SUCCESS) return error;
        if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            const DWORD error = GetLastError();
            detail = L"removing the service";
            return error;
        }
    }
    if (!WaitUntilGone(manager.get())) {
        detail = L"the removed service's entry stayed";
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    WaitForProgramsOf(FolderOf(ExecutablePath()), GetTickCount64() + kControlTimeoutMs);
    return ERROR_SUCCESS;
}

std::uint32_t AdminPlatform::ControlService(ServiceControlAction action, std::wstring& detail) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        detail = L"opening the Service Control Manager";
        return GetLastError();
    }
    const DWORD access = action == ServiceControlAction::caStart  ? SERVICE_START
                         : action == ServiceControlAction::caStop ? SERVICE_STOP
                                                                  : SERVICE_PAUSE_CONTINUE;
    const UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, access | SERVICE_QUERY_STATUS));
    if (!service) return GetLastError();
    DWORD wanted = SERVICE_RUNNING;
    SERVICE_STATUS status{};
    BOOL sent = FALSE;
    switch (action) {
        case ServiceControlAction::caStart: sent = StartServiceW(service.get(), 0, nullptr); break;
        case ServiceControlAction::caStop:
            wanted = SERVICE_STOPPED;
            sent = ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            break;
        case ServiceControlAction::caPause:
            wanted = SERVICE_PAUSED;
            sent = ::ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status);
            break;
        case ServiceControlAction::caContinue:
            sent = ::ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status);
            break;
    }
    if (!sent) return GetLastError();
    if (!WaitForState(service.get(), wanted)) {
        detail = L"it did not reach the state asked for";
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

}  // namespace nimbora
