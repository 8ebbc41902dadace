// The desktop program's window and icon with test seams in place of the
// machine's, scripted by a file the test writes and rewrites,
// "<total bytes> <available bytes> direct|refuse": the memory reading comes
// from it, and the elevation either runs the tool directly (no prompt; Wine
// grants the rights) or answers as a person who cancelled the prompt. The
// language is chosen on the command line; with several, the program runs in
// each in turn, the next one starting when the previous one has ended (one
// process start instead of five: each costs about a second under Wine).
//
//   TrayTestHost.exe <script file> english|french|korean|prtbrzl|russian...
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "admin/AdminPlatform.h"
#include "svchost/CommandLine.h"
#include "tray/TrayPlatform.h"
#include "tray/TrayWindow.h"

namespace nimbora {
namespace {

struct Script {
    long long total = 0;
    long long available = 0;
    bool refuse = false;
};

std::optional<Script> ReadScript(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"r");
    if (file == nullptr) return std::nullopt;
    Script script;
    char elevation[16] = {};
    const int read = fscanf(file, "%lld %lld %15s", &script.total, &script.available, elevation);
    fclose(file);
    if (read < 2) return std::nullopt;
    script.refuse = std::string(elevation) == "refuse";
    return script;
}

class ScriptedMemory final : public MemoryReader {
public:
    explicit ScriptedMemory(std::wstring path) : path_(std::move(path)) {}
    bool Read(std::int64_t& totalBytes, std::int64_t& availableBytes) override {
        const std::optional<Script> script = ReadScript(path_);
        if (!script) return false;
        totalBytes = script->total;
        availableBytes = script->available;
        return true;
    }

private:
    std::wstring path_;
};

class FakeElevation final : public Elevation {
public:
    explicit FakeElevation(std::wstring path) : path_(std::move(path)) {}
    DWORD Run(const std::wstring& program, const std::wstring& parameters, UniqueHandleObject& process) override {
        const std::optional<Script> script = ReadScript(path_);
        if (script && script->refuse) return ERROR_CANCELLED;  // what ShellExecuteExW gives for a cancelled prompt
        std::wstring commandLine = L"\"" + program + L"\" " + parameters;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info))
            return GetLastError();
        CloseHandle(info.hThread);
        process.reset(info.hProcess);
        return ERROR_SUCCESS;
    }

private:
    std::wstring path_;
};

UiLanguage LanguageNamed(const std::wstring& name) {
    for (const UiLanguage l : {UiLanguage::ulEnglish, UiLanguage::ulFrench, UiLanguage::ulKorean,
                               UiLanguage::ulPortuguese, UiLanguage::ulRussian})
        if (name == LanguageTableName(l)) return l;
    return UiLanguage::ulEnglish;
}

}  // namespace
}  // namespace nimbora

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        using namespace nimbora;
        const std::vector<std::wstring> arguments = CommandLineArguments(GetCommandLineW());
        if (arguments.size() < 2) return 2;
        const UniqueHandleObject instanceMutex(CreateMutexW(nullptr, FALSE, kTrayInstanceMutex));
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            ShowFirstInstance();
            return 0;
        }
        AdminPlatform reads;
        ScriptedMemory memory(arguments[0]);
        FakeElevation elevation(arguments[0]);
        int code = 0;
        for (std::size_t i = 1; i < arguments.size() && code == 0; ++i) {
            TrayServices services{reads, memory, elevation, LanguageNamed(arguments[i]), ProgramFolder()};
            TrayApp app(services);
            code = app.Run(instance);
        }
        return code;
    } catch (...) {
        return 1;
    }
}
