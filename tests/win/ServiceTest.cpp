#include "svchost/Service.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "svchost/ServiceApplication.h"

namespace nimbora {
namespace {

// Records every status report and every event-log entry.
class Recorder final : public ServiceControlApi, public EventLogApi {
public:
    SERVICE_STATUS_HANDLE RegisterHandler(const wchar_t*, LPHANDLER_FUNCTION) override {
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x1234));
    }
    bool SetStatus(SERVICE_STATUS_HANDLE, const SERVICE_STATUS& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(status);
        return true;
    }
    HANDLE Register(const wchar_t*) override { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(1)); }
    void Report(HANDLE, WORD, WORD, DWORD, const wchar_t* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(text);
    }
    void Deregister(HANDLE) override {}

    std::vector<SERVICE_STATUS> Reports() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    std::vector<std::wstring> Entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

private:
    std::mutex mutex_;
    std::vector<SERVICE_STATUS> reports_;
    std::vector<std::wstring> entries_;
};

TEST(ServiceApplication, Compiles) { SUCCEED(); }

}  // namespace
}  // namespace nimbora
