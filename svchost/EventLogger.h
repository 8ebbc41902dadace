#pragma once
// Writes error entries to the Windows event log under one source name. The
// source is opened on the first entry and held until the logger is destroyed.
// Writing never fails visibly: a source that cannot be opened or an entry that
// cannot be written is dropped.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace nimbora {

// The three event-log calls, so a test can see every entry.
class EventLogApi {
public:
    virtual ~EventLogApi() = default;
    virtual HANDLE Register(const wchar_t* sourceName) = 0;
    virtual void Report(HANDLE source, WORD type, WORD category, DWORD id, const wchar_t* text) = 0;
    // An entry of several insertion strings; by default only the first, for
    // a log that keeps one text per entry.
    virtual void ReportStrings(HANDLE source, WORD type, DWORD id, const std::vector<std::wstring>& strings) {
        Report(source, type, 0, id, strings.empty() ? L"" : strings.front().c_str());
    }
    virtual void Deregister(HANDLE source) = 0;
};

// The platform's event log. Stateless; one instance serves every logger.
EventLogApi& SystemEventLog();

class TEventLogger {
public:
    explicit TEventLogger(std::wstring name, EventLogApi& api = SystemEventLog());
    ~TEventLogger();
    TEventLogger(const TEventLogger&) = delete;
    TEventLogger& operator=(const TEventLogger&) = delete;

    void LogMessage(const std::wstring& message, DWORD eventType = EVENTLOG_ERROR_TYPE, WORD category = 0,
                    DWORD id = 0) noexcept;
    // An entry with event `id` whose insertion strings are `strings`, the
    // first being its text.
    void LogEntry(DWORD id, DWORD eventType, const std::vector<std::wstring>& strings);
    const std::wstring& Name() const noexcept { return name_; }

private:
    std::wstring name_;
    EventLogApi& api_;
    HANDLE source_ = nullptr;  // released through api_.Deregister
};

}  // namespace nimbora
