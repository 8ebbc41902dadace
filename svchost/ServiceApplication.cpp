#include "svchost/ServiceApplication.h"

#include <objbase.h>

#include <exception>

#include "svchost/CommandLine.h"
#include "svchost/MessageTexts.h"
#include "svchost/SystemMessage.h"

namespace nimbora {

namespace {

// The manager calls ServiceMain with no context of its own, so the one
// application of the process is found here. Set and cleared by its lifetime.
TServiceApplication* runningApplication = nullptr;

// Serves the Service Control Manager: StartServiceCtrlDispatcherW returns
// when every service of the process has stopped, or at once on failure.
class TServiceStartThread final : public TThread {
public:
    TServiceStartThread(std::vector<SERVICE_TABLE_ENTRYW>& table, TWindowApplication& windowApplication,
                        const std::function<bool(SERVICE_TABLE_ENTRYW*)>& startDispatcher)
        : table_(table), windowApplication_(windowApplication), startDispatcher_(startDispatcher) {}

protected:
    void Execute() override {
        SetReturnValue(startDispatcher_(table_.data()) ? 0 : static_cast<int>(GetLastError()));
    }
    // N.B. the quit goes to the main thread's hidden window, so the main loop
    // ends whatever the dispatcher's outcome.
    void DoTerminate() override { windowApplication_.PostQuit(); }

private:
    std::vector<SERVICE_TABLE_ENTRYW>& table_;
    TWindowApplication& windowApplication_;
    const std::function<bool(SERVICE_TABLE_ENTRYW*)>& startDispatcher_;
};

bool EqualsUnderUserLocale(const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::wstring LoadText(UINT id, const wchar_t* fallback) {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 && text != nullptr ? std::wstring(text, static_cast<std::size_t>(length)) : fallback;
}

}  // namespace

std::wstring ExecutablePath() {
    return ReadWholePath([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}

std::wstring ReadWholePath(const std::function<DWORD(wchar_t* buffer, DWORD size)>& read) {
    std::wstring path(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = read(path.data(), size);
        if (length == 0) RaiseLastOSError();
        if (length < size) {
            path.resize(length);
            return path;
        }
        // Truncated: a shorter path would name another file. Grow and retry.
        if (size >= 32768) RaiseOSError(ERROR_INSUFFICIENT_BUFFER);
        path.resize(size * 2);
    }
}

std::wstring ExecutableFileName() {
    std::wstring path;
    try {
        path = ExecutablePath();
    } catch (const Exception&) {
        return L"";
    }
    const std::size_t cut = path.find_last_of(L"\\:");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

MessageTexts LoadMessageTexts() {
    return MessageTexts{LoadText(IDS_SERVICE_FAILED_ON, TXT_SERVICE_FAILED_ON),
                        LoadText(IDS_SERVICE_FAILED_CUSTOM, TXT_SERVICE_FAILED_CUSTOM),
                        LoadText(IDS_ACTION_EXECUTE, TXT_ACTION_EXECUTE),
                        LoadText(IDS_ACTION_START, TXT_ACTION_START),
                        LoadText(IDS_ACTION_STOP, TXT_ACTION_STOP),
                        LoadText(IDS_ACTION_PAUSE, TXT_ACTION_PAUSE),
                        LoadText(IDS_ACTION_CONTINUE, TXT_ACTION_CONTINUE),
                        LoadText(IDS_ACTION_INTERROGATE, TXT_ACTION_INTERROGATE),
                        LoadText(IDS_ACTION_SHUTDOWN, TXT_ACTION_SHUTDOWN),
                        LoadText(IDS_INSTALL_OK, TXT_INSTALL_OK),
                        LoadText(IDS_UNINSTALL_OK, TXT_UNINSTALL_OK),
                        LoadText(IDS_INSTALL_FAILED, TXT_INSTALL_FAILED),
                        LoadText(IDS_UNINSTALL_FAILED, TXT_UNINSTALL_FAILED),
                        LoadText(IDS_TIMERS_EXHAUSTED, TXT_TIMERS_EXHAUSTED)};
}

TServiceApplication::TServiceApplication(TWindowApplication& windowApplication, std::wstring commandLine,
                                         MessageTexts texts, EventLogApi& eventLog)
    : windowApplication_(windowApplication),
      arguments_(CommandLineArguments(commandLine)),
      texts_(std::move(texts)),
      eventLog_(eventLog),
      logger_(ExecutableFileName(), eventLog) {
    ShowInstallMessage = ShowMessageDialog;
    StartDispatcher = [](SERVICE_TABLE_ENTRYW* table) { return StartServiceCtrlDispatcherW(table) != FALSE; };
    EndProcess = [](UINT exitCode) { ExitProcess(exitCode); };
    windowApplication_.HookMainWindow([this](MSG& m) { return EndSessionHook(m); });
    runningApplication = this;
}

TServiceApplication::~TServiceApplication() {
    TearDownApplications();
    windowApplication_.SetExceptionHandler(nullptr);
    windowApplication_.SetForeignErrorHandler(nullptr);
    windowApplication_.UnhookMainWindow();
    if (runningApplication == this) runningApplication = nullptr;
    if (comInitialized_) CoUninitialize();
}

bool InstallingCommandLine(const std::wstring& commandLine) {
    const std::vector<std::wstring> arguments = CommandLineArguments(commandLine);
    return nimbora::HasSwitch(arguments, L"INSTALL", EqualsUnderUserLocale) ||
           nimbora::HasSwitch(arguments, L"UNINSTALL", EqualsUnderUserLocale);
}

bool TServiceApplication::HasSwitch(const std::wstring& word) const {
    return nimbora::HasSwitch(arguments_, word, EqualsUnderUserLocale);
}

void TServiceApplication::Initialize() {
    if (initialized_) return;
    initialized_ = true;
    comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
}

void TServiceApplication::Run() {
    struct TearDownOnExit {
        TServiceApplication& app;
        ~TearDownOnExit() { app.TearDownApplications(); }
    } tearDown{*this};

    if (HasSwitch(L"INSTALL")) {
        InstallOrUninstallServices(true, HasSwitch(L"SILENT"));
        return;
    }
    if (HasSwitch(L"UNINSTALL")) {
        InstallOrUninstallServices(false, HasSwitch(L"SILENT"));
        return;
    }

    windowApplication_.SetExceptionHandler([this](const Exception& e) { LogApplicationException(e); });
    windowApplication_.SetForeignErrorHandler([this] { EndAfterForeignError(); });
    std::vector<SERVICE_TABLE_ENTRYW> table(services_.size() + 1, SERVICE_TABLE_ENTRYW{nullptr, nullptr});
    for (std::size_t i = 0; i < services_.size(); ++i)
        table[i] = SERVICE_TABLE_ENTRYW{const_cast<wchar_t*>(services_[i]->Name().c_str()), &ServiceMainProc};

    TServiceStartThread dispatcher(table, windowApplication_, StartDispatcher);
    dispatcher.Start();
    while (!windowApplication_.Terminated()) {
        try {
            windowApplication_.HandleMessage();
        } catch (const Exception& e) {
            LogApplicationException(e);
        } catch (...) {
            EndAfterForeignError();
        }
    }
    windowApplication_.Terminate();
    dispatcher.WaitFor();
    if (dispatcher.ReturnValue() != 0)
        logger_.LogMessage(SystemErrorMessage(static_cast<DWORD>(dispatcher.ReturnValue())));
}

void TServiceApplication::EndAfterForeignError() noexcept {
    // N.B. unwinding out of the main loop would destroy the dispatcher thread
    // object, which waits for a dispatcher that returns only once the
    // service has stopped, and the process would hang. The last chance is
    // taken here instead, and the process ends with the service still
    // running: the Service Control Manager sees it terminate.
    std::wstring message;
    try {
        throw;
    } catch (const std::exception& e) {
        message = WidenAscii(e.what());
    } catch (...) {
    }
    HandleLastChance(L"Exception", message, nullptr, true, eventLog_);
    try {
        EndProcess(1);
    } catch (...) {
    }
}

void WINAPI TServiceApplication::ServiceMainProc(DWORD argc, wchar_t** argv) {
    try {
        if (runningApplication != nullptr) runningApplication->RouteServiceMain(argc, argv);
    } catch (...) {
        // Nothing may unwind into the Service Control Manager.
    }
}

void TServiceApplication::RouteServiceMain(DWORD argc, wchar_t** argv) {
    const std::wstring name = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : L"";
    for (const auto& service : services_) {
        if (EqualsUnderUserLocale(service->Name(), name)) {
            service->EnterService(argc, argv);
            return;
        }
    }
}

void TServiceApplication::LogApplicationException(const Exception& e) noexcept {
    logger_.LogMessage(e.Message());
}

void TServiceApplication::TearDownApplications() noexcept {
    if (windowApplication_.Handle() != nullptr) ShowOwnedPopups(windowApplication_.Handle(), FALSE);
    services_.clear();
}

}  // namespace nimbora
