// Installation into and removal from the Service Control Manager.

#include <cstdint>

#include "svchost/Messages.h"
#include "svchost/Service.h"
#include "svchost/ServiceApplication.h"
#include "svchost/SystemMessage.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {

namespace {

const wchar_t* NullWhenEmpty(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

std::wstring QuotedWhenSpaced(const std::wstring& path) {
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

}  // namespace

namespace {

bool BuiltAsConsoleProgram() {
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

}  // namespace

void ShowMessageDialog(const std::wstring& text, bool isError) {
    if (BuiltAsConsoleProgram()) {
        // A console program writes the text to its standard output instead.
        const std::wstring line = text + L"\r\n";
        DWORD written = 0;
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        const bool ok = GetConsoleMode(out, &written)
                            ? WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr)
                            : WriteFile(out, line.c_str(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                                        nullptr);
        if (!ok) RaiseLastOSError();
        return;
    }
    MessageBoxW(nullptr, text.c_str(), isError ? L"Error" : L"Information",
                MB_OK | MB_TASKMODAL | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::wstring WidenAscii(const char* text) {
    std::wstring wide;
    for (; text != nullptr && *text != 0; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

std::wstring LastChanceText(const std::wstring& className, const std::wstring& message, const void* address) {
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::wstring offset = HexText(at >= base ? at - base : at, static_cast<int>(2 * sizeof(void*)));
    const std::wstring period = (!message.empty() && message.back() == L'.') ? L"" : L".";
    return L"Exception " + className + L" in module " + ExecutableFileName() + L" at " + offset + L".\r\n" +
           message + period + L"\r\n";
}

void ShowApplicationErrorBox(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), L"Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

void ShowLastChanceError(const std::wstring& className, const std::wstring& message, const void* address) noexcept {
    try {
        ShowApplicationErrorBox(LastChanceText(className, message, address));
    } catch (...) {
    }
}

int HandleLastChance(const std::wstring& className, const std::wstring& message, const void* address,
                     bool serviceMode, EventLogApi& eventLog,
                     const std::function<void(const std::wstring&)>& showBox) noexcept {
    try {
        const std::wstring text = LastChanceText(className, message, address);
        if (serviceMode) {
            TEventLogger(ExecutableFileName(), eventLog).LogMessage(text);
        } else {
            showBox(text);
        }
    } catch (...) {
    }
    return 1;
}

void TServiceApplication::InstallOrUninstallServices(bool install, bool silent) {
    bool success = true;
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) RaiseLastOSError();

    const std::size_t count = services_.size();
    for (std::size_t i = 0; i < count; ++i) {
        TService& service = *services_[i];
        try {
            if (install)
                service.InstallService(manager.get());
            else
                service.UninstallService(manager.get());
        } catch (const Exception& e) {
            success = false;
            const std::wstring& format = install ? texts_.InstallFailed : texts_.UninstallFailed;
            ShowInstallMessage(FormatMessageText(format, {service.GetDisplayName(), e.Message()}), true);
        }
    }
    if (success && !silent) ShowInstallMessage(install ? texts_.InstallOk : texts_.UninstallOk, false);
}

void TService::InstallService(SC_HANDLE manager) {
    // N.B. the whole path is read before the hook runs: a path that cannot be
    // read in full fails the installation instead of naming another file.
    const std::wstring path = QuotedWhenSpaced(ExecutablePath());
    if (BeforeInstall) BeforeInstall(*this);

    DWORD tag = TagID;
    const std::wstring dependencies = NativeDependencies();
    const std::wstring displayName = GetDisplayName();
    const UniqueServiceHandle service(CreateServiceW(
        manager, name_.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS, NativeServiceType(), NativeStartType(),
        NativeErrorControl(), path.c_str(), LoadGroup.c_str(), TagID > 0 ? &tag : nullptr,
        dependencies.empty() ? L"" : dependencies.c_str(), NullWhenEmpty(serviceStartName_), password_.c_str()));
    const DWORD error = GetLastError();
    TagID = tag;
    if (!service) RaiseOSError(error);

    if (AfterInstall) {
        try {
            AfterInstall(*this);
        } catch (const Exception&) {
            DeleteService(service.get());
            throw;
        }
    }
}

void TService::UninstallService(SC_HANDLE manager) {
    if (BeforeUninstall) BeforeUninstall(*this);
    {
        const UniqueServiceHandle service(OpenServiceW(manager, name_.c_str(), SERVICE_ALL_ACCESS));
        if (!service) RaiseLastOSError();
        if (!DeleteService(service.get())) RaiseLastOSError();
    }
    if (AfterUninstall) AfterUninstall(*this);
}

}  // namespace nimbora
