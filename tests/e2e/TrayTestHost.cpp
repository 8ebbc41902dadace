// The desktop program's window and icon with test seams in place of the
// machine's: the memory reading comes from a file the test writes
// ("<total> <available>" in bytes), the elevation either runs the tool
// directly (no prompt; Wine grants the rights) or answers as a person who
// cancelled the prompt. The language is chosen on the command line.
//
//   TrayTestHost.exe <memory file> direct|refuse english|french|korean|prtbrzl|russian
#include <windows.h>

#include <cstdio>
#include <string>

#include "admin/AdminPlatform.h"
#include "svchost/CommandLine.h"
#include "tray/TrayPlatform.h"
#include "tray/TrayWindow.h"

namespace nimbora {
namespace {

class FileMemory final : public MemoryReader {
public:
    explicit FileMemory(std::wstring path) : path_(std::move(path)) {}
    bool Read(std::int64_t& totalBytes, std::int64_t& availableBytes) override {
        FILE* file = _wfopen(path_.c_str(), L"r");
        if (file == nullptr) return false;
        long long total = 0;
        long long available = 0;
        const bool read = fscanf(file, "%lld %lld", &total, &available) == 2;
        fclose(file);
        if (!read) return false;
        totalBytes = total;
        availableBytes = available;
        return true;
    }

private:
    std::wstring path_;
};

class FakeElevation final : public Elevation {
public:
    explicit FakeElevation(bool refuse) : refuse_(refuse) {}
    DWORD Run(const std::wstring& program, const std::wstring& parameters, UniqueHandleObject& process) override {
        if (refuse_) return ERROR_CANCELLED;  // what ShellExecuteExW gives for a cancelled consent prompt
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
    bool refuse_;
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
        if (arguments.size() != 3) return 2;
        const UniqueHandleObject instanceMutex(CreateMutexW(nullptr, FALSE, kTrayInstanceMutex));
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            ShowFirstInstance();
            return 0;
        }
        AdminPlatform reads;
        FileMemory memory(arguments[0]);
        FakeElevation elevation(arguments[1] == L"refuse");
        TrayServices services{reads, memory, elevation, LanguageNamed(arguments[2]), ProgramFolder()};
        TrayApp app(services);
        return app.Run(instance);
    } catch (...) {
        return 1;
    }
}
