#include "tests/e2e/E2eSupport.h"

#include <tlhelp32.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace nimbora::e2e {

namespace {

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    return wide;
}

std::string ReadFileBytes(const std::wstring& path, std::uint64_t from = 0) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(from);
    SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

std::uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

constexpr wchar_t kSettingsPath[] = L"Software\\Korvex\\Nimbora";

}  // namespace

std::vector<std::wstring> SystemErrorTexts(DWORD code) {
    switch (code) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return {L"Service does not exist", L"The specified service does not exist as an installed service"};
        case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
            return {L"Service controller connect failed",
                    L"The service process could not connect to the service controller"};
        case ERROR_SERVICE_EXISTS: return {L"Service exists", L"The specified service already exists"};
        default: return {};
    }
}

std::wstring BuildOutput(const wchar_t* fileName) { return std::wstring(NIMBORA_E2E_BIN_DIR) + L"\\" + fileName; }

ProcessResult RunProcess(const std::wstring& commandLine, const std::vector<std::wstring>& extraEnvironment,
                         DWORD timeoutMs) {
    std::wstring environment;
    if (!extraEnvironment.empty()) {
        wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* p = block; *p != 0; p += wcslen(p) + 1) environment.append(p).push_back(L'\0');
        FreeEnvironmentStringsW(block);
        for (const std::wstring& e : extraEnvironment) environment.append(e).push_back(L'\0');
        environment.push_back(L'\0');
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring mutableLine = commandLine;
    PROCESS_INFORMATION info{};
    ProcessResult result;
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                        environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup, &info))
        return result;
    const UniqueHandleObject process(info.hProcess);
    const UniqueHandleObject thread(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) TerminateProcess(process.get(), 0xDEAD);
    GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

namespace {

struct DialogSearch {
    DWORD pid;
    HWND found = nullptr;
};

BOOL CALLBACK FindDialogOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<DialogSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (pid == search->pid && IsWindowVisible(window) && std::wstring(className) == L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[4096] = {};
    GetWindowTextW(window, buffer, 4096);
    return buffer;
}

Dialog ReadDialog(HWND window) {
    Dialog d;
    d.caption = WindowText(window);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[64] = {};
        GetClassNameW(child, className, 64);
        const std::wstring cls = className;
        if (cls == L"Button" && IsWindowVisible(child)) ++d.buttons;
        if (cls == L"Static" && GetDlgCtrlID(child) == 0xFFFF) d.text = WindowText(child);
    }
    return d;
}

}  // namespace

DialogRun RunWithDialogs(const std::wstring& commandLine, const std::function<void(const Dialog&)>& whileShown,
                         DWORD timeoutMs) {
    DialogRun run;
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return run;
    const UniqueHandleObject process(info.hProcess);
    const UniqueHandleObject thread(info.hThread);
    const auto deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(process.get(), 50) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.get(), 0xDEAD);
            break;
        }
        DialogSearch search{info.dwProcessId};
        EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) continue;
        Sleep(100);  // let the box finish laying itself out
        const Dialog d = ReadDialog(search.found);
        if (whileShown) whileShown(d);
        run.dialogs.push_back(d);
        PostMessageW(search.found, WM_COMMAND, IDOK, 0);
        WaitUntil([&] { return !IsWindow(search.found) || !IsWindowVisible(search.found); }, std::chrono::seconds(5));
    }
    GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

std::wstring StageFolder(const std::wstring& folder, const std::vector<std::wstring>& files) {
    std::wstring path = folder;
    if (path.back() != L'\\') path += L'\\';
    CreateDirectoryW(path.c_str(), nullptr);
    DeleteFileW((path + L"launches.log").c_str());
    for (const std::wstring& f : files) {
        const std::wstring name = f.substr(f.find_last_of(L'\\') + 1);
        const std::wstring target = path + (name == L"StandInDefrag.exe" ? L"NimboraDefrag.exe" : name);
        CopyFileW(f.c_str(), target.c_str(), FALSE);
    }
    return path;
}

std::wstring ReadTextFile(const std::wstring& path) { return Widen(ReadFileBytes(path)); }

std::vector<std::wstring> ReadLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    std::wstringstream in(ReadTextFile(path));
    std::wstring line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int ProcessesRunning(const wchar_t* exeName) {
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        count += lstrcmpiW(entry.szExeFile, exeName) == 0;
    return count;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

ServiceController::ServiceController(std::wstring name) : name_(std::move(name)) {}

UniqueServiceHandle ServiceController::Open(DWORD access) const {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return UniqueServiceHandle();
    return UniqueServiceHandle(OpenServiceW(manager.get(), name_.c_str(), access));
}

bool ServiceController::Exists() const { return static_cast<bool>(Open(SERVICE_QUERY_STATUS)); }

void ServiceController::Create(const std::wstring& binaryPath, DWORD startType) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const UniqueServiceHandle service(CreateServiceW(manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

void ServiceController::Delete() {
    const UniqueServiceHandle service = Open(SERVICE_ALL_ACCESS);
    if (!service) return;
    SERVICE_STATUS status;
    const DWORD processId = Query().dwProcessId;
    const UniqueHandleObject process(processId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, processId) : nullptr);
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            WaitForState(SERVICE_STOPPED, std::chrono::seconds(10));
    }
    // N.B. a service reports stopped before its process has ended (its main
    // thread may still finish a tick); the manager keeps a deleted service
    // until then, and a new one of the same name could not be created.
    if (process) WaitForSingleObject(process.get(), 10000);
    DeleteService(service.get());
}

bool ServiceController::Start(const std::vector<std::wstring>& arguments) {
    const UniqueServiceHandle service = Open(SERVICE_ALL_ACCESS);
    std::vector<const wchar_t*> argv;
    for (const std::wstring& a : arguments) argv.push_back(a.c_str());
    return service && StartServiceW(service.get(), static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data());
}

bool ServiceController::Control(DWORD code, SERVICE_STATUS* status, DWORD* error) {
    const UniqueServiceHandle service = Open(SERVICE_ALL_ACCESS);
    SERVICE_STATUS local{};
    const bool ok = service && ControlService(service.get(), code, status != nullptr ? status : &local);
    if (error != nullptr) *error = ok ? 0 : GetLastError();
    return ok;
}

SERVICE_STATUS_PROCESS ServiceController::Query() const {
    SERVICE_STATUS_PROCESS status{};
    const UniqueServiceHandle service = Open(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (service)
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed);
    return status;
}

bool ServiceController::WaitForState(DWORD state, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return State() == state; }, timeout, std::chrono::milliseconds(20));
}

QUERY_SERVICE_CONFIGW* ServiceController::Config(std::vector<unsigned char>& buffer) const {
    const UniqueServiceHandle service = Open(SERVICE_QUERY_CONFIG);
    if (!service) return nullptr;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    buffer.assign(needed + 16, 0);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return nullptr;
    return config;
}

std::vector<std::wstring> EventLogEntries(const std::string& traceText) {
    // Wine prints each entry as: err:eventlog:ReportEventW L"<text>" with
    // control characters escaped (\r, \n).
    std::vector<std::wstring> entries;
    const std::string marker = "eventlog:ReportEventW L\"";
    std::size_t pos = 0;
    while ((pos = traceText.find(marker, pos)) != std::string::npos) {
        pos += marker.size();
        const std::size_t end = traceText.find('\n', pos);
        std::string text = traceText.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (!text.empty() && text.back() == '"') text.pop_back();
        entries.push_back(Widen(text));
        pos = end == std::string::npos ? traceText.size() : end;
    }
    return entries;
}

TraceLog::TraceLog(const wchar_t* environmentVariable) {
    wchar_t buffer[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(environmentVariable, buffer, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) path_.assign(buffer, n);
    if (!path_.empty()) start_ = FileSize(path_);
}

std::vector<std::wstring> TraceLog::Entries() const {
    if (path_.empty()) return {};
    return EventLogEntries(ReadFileBytes(path_, start_));
}

std::vector<std::string> TraceLog::Lines() const {
    std::vector<std::string> lines;
    if (path_.empty()) return lines;
    std::istringstream in(ReadFileBytes(path_, start_));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

SettingsScope::SettingsScope() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsPath); }

SettingsScope::~SettingsScope() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsPath); }

void SettingsScope::SetDword(const wchar_t* name, DWORD value) const {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsPath, name, REG_DWORD, &value, sizeof value);
}

void SettingsScope::SetString(const wchar_t* name, const std::wstring& value) const {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsPath, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool SettingsScope::HasValue(const wchar_t* name) const {
    return RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsPath, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

DWORD SettingsScope::GetDword(const wchar_t* name) const {
    DWORD value = 0xFFFFFFFF;
    DWORD size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

}  // namespace nimbora::e2e
