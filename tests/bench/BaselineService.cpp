// The least a service can be: it registers its control handler, reports
// running and waits for the stop request. The footprint benchmark measures
// Nimbora beside it, so that what every service process costs under the
// platform is not taken for Nimbora's own.

#include <windows.h>

#include "svchost/UniqueHandle.h"

namespace {

wchar_t kServiceName[] = L"NimboraBenchBaseline";

// The state of the one service, owned by its ServiceMain and handed to the
// control handler as its context.
struct Baseline {
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    nimbora::UniqueHandleObject stopRequested{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    void Report(DWORD state) const {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
        SetServiceStatus(statusHandle, &status);
    }
};

DWORD WINAPI Control(DWORD code, DWORD, void*, void* context) {
    auto* baseline = static_cast<Baseline*>(context);
    switch (code) {
    case SERVICE_CONTROL_STOP:
        baseline->Report(SERVICE_STOP_PENDING);
        // N.B. the last touch of the state: ServiceMain may end once it is set.
        SetEvent(baseline->stopRequested.get());
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    Baseline baseline;
    baseline.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, &Control, &baseline);
    if (baseline.statusHandle == nullptr) return;
    if (baseline.stopRequested) {
        baseline.Report(SERVICE_RUNNING);
        WaitForSingleObject(baseline.stopRequested.get(), INFINITE);
    }
    baseline.Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    SERVICE_TABLE_ENTRYW table[] = {{kServiceName, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
