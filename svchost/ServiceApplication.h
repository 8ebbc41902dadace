#pragma once
// The process-wide service application: reads the command-line switches,
// installs or removes the hosted services, or runs them: a dispatcher thread
// serves the Service Control Manager while the main thread runs the message
// loop (where the services' timers fire) until the last service has stopped.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "svchost/EventLogger.h"
#include "svchost/Messages.h"
#include "svchost/Service.h"
#include "svchost/ServiceStatus.h"
#include "svchost/WindowApplication.h"

namespace nimbora {

class TServiceApplication {
public:
    // Exactly one per process, created on the main thread before the entry
    // code runs. `commandLine` is the whole process command line.
    TServiceApplication(TWindowApplication& windowApplication, std::wstring commandLine,
                        MessageTexts texts = MessageTexts::BuiltIn(), EventLogApi& eventLog = SystemEventLog());
    ~TServiceApplication();
    TServiceApplication(const TServiceApplication&) = delete;
    TServiceApplication& operator=(const TServiceApplication&) = delete;

    bool HasSwitch(const std::wstring& word) const;
    bool Installing() const { return HasSwitch(L"INSTALL") || HasSwitch(L"UNINSTALL"); }

    // Once per process: no main window, and COM for the main thread.
    void Initialize();
    bool DelayInitialize = false;

    // Constructs a hosted service owned by the application.
    template <typename T, typename... Args>
    T* CreateForm(Args&&... args) {
        auto service = std::make_unique<T>(*this, std::forward<Args>(args)...);
        T* raw = service.get();
        services_.push_back(std::move(service));
        return raw;
    }

    // Installs or removes the services when the command line asks for it,
    // otherwise runs them until every one has stopped.
    void Run();
    void InstallOrUninstallServices(bool install, bool silent);

    int ServiceCount() const noexcept { return static_cast<int>(services_.size()); }
    TService& Service(int index) const { return *services_.at(static_cast<std::size_t>(index)); }

    // ServiceMain: starts the hosted service that the first argument names
    // (without regard to case); an unknown name is ignored.
    void RouteServiceMain(DWORD argc, wchar_t** argv);
    void LogApplicationException(const Exception& e) noexcept;
    // Destroys the services (and with them their timers) on the main thread.
    void TearDownApplications() noexcept;

    TWindowApplication& WindowApplication() const noexcept { return windowApplication_; }
    TEventLogger& ApplicationLogger() noexcept { return logger_; }
    const MessageTexts& Texts() const noexcept { return texts_; }
    CheckpointTracker& Checkpoints() noexcept { return checkpoints_; }

    // How installation messages reach the user; a test may replace it.
    std::function<void(const std::wstring& text, bool isError)> ShowInstallMessage;
    // The Service Control Manager's dispatcher (StartServiceCtrlDispatcherW,
    // on the dispatcher thread) and the end of the process after an error
    // that is not one of ours (ExitProcess); a test may replace them.
    std::function<bool(SERVICE_TABLE_ENTRYW* table)> StartDispatcher;
    std::function<void(UINT exitCode)> EndProcess;

private:
    static void WINAPI ServiceMainProc(DWORD argc, wchar_t** argv);
    bool EndSessionHook(const MSG& message) const noexcept { return message.message == WM_ENDSESSION; }
    // The last chance for an error that is not one of ours while the
    // dispatcher still runs; called from the catch block that caught it.
    void EndAfterForeignError() noexcept;

    TWindowApplication& windowApplication_;
    std::vector<std::wstring> arguments_;
    MessageTexts texts_;
    EventLogApi& eventLog_;
    TEventLogger logger_;
    CheckpointTracker checkpoints_;
    std::vector<std::unique_ptr<TService>> services_;
    bool initialized_ = false;
    bool comInitialized_ = false;
};

// The executable's own file name, extension included, folder excluded.
std::wstring ExecutableFileName();
// The executable's full path, however long; raises EOSError if unreadable.
std::wstring ExecutablePath();
// The whole of a path that `read` copies the way GetModuleFileNameW does: the
// length copied, or the buffer's size when the path was cut short. The buffer
// grows until the path fits; EOSError when it cannot be read in full.
std::wstring ReadWholePath(const std::function<DWORD(wchar_t* buffer, DWORD size)>& read);
// The string resources of the message texts, or the built-in literals.
MessageTexts LoadMessageTexts();
// Shows a modal message box with one OK button, centred on the screen.
void ShowMessageDialog(const std::wstring& text, bool isError);
// True when the command line asks for installation or removal.
bool InstallingCommandLine(const std::wstring& commandLine);
// "Exception %s in module %s at %p.\r\n%s%s\r\n": the class name, the
// executable's file name, the address relative to the module, the message and
// a period unless it ends with one.
std::wstring LastChanceText(const std::wstring& className, const std::wstring& message, const void* address);
// The task-modal "Application Error" box with that text.
void ShowApplicationErrorBox(const std::wstring& text);
// The last-chance "Application Error" box for an error that escaped the entry.
void ShowLastChanceError(const std::wstring& className, const std::wstring& message, const void* address) noexcept;
// The last chance for an error that escaped the entry. On the command-line
// paths (`serviceMode` false: installing or removing) it shows the box. In
// service mode nobody could see a box on the service desktop and the process
// would hang in it: the text goes as one error entry to the event log under
// the executable's file name instead. Gives the exit code, 1.
int HandleLastChance(const std::wstring& className, const std::wstring& message, const void* address,
                     bool serviceMode, EventLogApi& eventLog = SystemEventLog(),
                     const std::function<void(const std::wstring&)>& showBox = ShowApplicationErrorBox) noexcept;
std::wstring WidenAscii(const char* text);

}  // namespace nimbora
