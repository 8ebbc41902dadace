#include "svchost/EventLogger.h"

namespace nimbora {

namespace {

class Win32EventLog final : public EventLogApi {
public:
    HANDLE Register(const wchar_t* sourceName) override { return RegisterEventSourceW(nullptr, sourceName); }
    void Report(HANDLE source, WORD type, WORD category, DWORD id, const wchar_t* text) override {
        const wchar_t* strings[] = {text};
        ReportEventW(source, type, category, id, nullptr, 1, 0, strings, nullptr);
    }
    void ReportStrings(HANDLE source, WORD type, DWORD id, const std::vector<std::wstring>& strings) override {
        std::vector<const wchar_t*> pointers;
        for (const std::wstring& s : strings) pointers.push_back(s.c_str());
        ReportEventW(source, type, 0, id, nullptr, static_cast<WORD>(pointers.size()), 0, pointers.data(), nullptr);
    }
    void Deregister(HANDLE source) override { DeregisterEventSource(source); }
};

}  // namespace

EventLogApi& SystemEventLog() {
    // Stateless: holds no handle, only dispatches to the platform.
    static Win32EventLog log;
    return log;
}

TEventLogger::TEventLogger(std::wstring name, EventLogApi& api) : name_(std::move(name)), api_(api) {}

TEventLogger::~TEventLogger() {
    if (source_ != nullptr) api_.Deregister(source_);
}

void TEventLogger::LogMessage(const std::wstring& message, DWORD eventType, WORD category, DWORD id) noexcept {
    // N.B. a failed registration is retried by the next entry.
    if (source_ == nullptr) source_ = api_.Register(name_.c_str());
    api_.Report(source_, static_cast<WORD>(eventType), category, id, message.c_str());
}

void TEventLogger::LogEntry(DWORD id, DWORD eventType, const std::vector<std::wstring>& strings) {
    if (source_ == nullptr) source_ = api_.Register(name_.c_str());
    api_.ReportStrings(source_, static_cast<WORD>(eventType), id, strings);
}

}  // namespace nimbora
