#include "svchost/Service.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service/Shell.h"
#include "svchost/EventLogger.h"
#include "svchost/ServiceApplication.h"
#include "svchost/SystemMessage.h"
#include "svchost/Timer.h"
#include "svchost/UniqueHandle.h"
#include "svchost/WindowApplication.h"

namespace nimbora {
namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    return out;
}

// Polls until the condition holds. The timeout only keeps a broken build from
// hanging; no test depends on how quickly anything happens.
bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(2);
    }
    return true;
}

struct Entry {
    std::wstring source;
    WORD type;
    WORD category;
    DWORD id;
    std::wstring text;
};

// Records every status report and every event-log call.
class Recorder final : public ServiceControlApi, public EventLogApi {
public:
    SERVICE_STATUS_HANDLE RegisterHandler(const wchar_t* serviceName, LPHANDLER_FUNCTION) override {
        std::lock_guard<std::mutex> lock(mutex_);
        handlerNames_.push_back(serviceName);
        if (refuseHandler != 0) {
            SetLastError(refuseHandler);
            return nullptr;
        }
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x1234));
    }
    bool SetStatus(SERVICE_STATUS_HANDLE, const SERVICE_STATUS& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(status);
        sequence_.push_back(L"report " + std::to_wstring(status.dwCurrentState));
        return true;
    }
    void PostControl(DWORD threadId, DWORD code) override {
        ServiceControlApi::PostControl(threadId, code);
        if (afterPost) afterPost();
    }
    // Handles are 1, 2, ... in the order of registration; refused ones are null.
    HANDLE Register(const wchar_t* sourceName) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sources_.push_back(sourceName);
        if (refusedRegistrations > 0) {
            --refusedRegistrations;
            return nullptr;
        }
        return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(sources_.size()));
    }
    void Report(HANDLE source, WORD type, WORD category, DWORD id, const wchar_t* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto index = reinterpret_cast<std::uintptr_t>(source);
        entries_.push_back({index == 0 ? L"" : sources_.at(index - 1), type, category, id, text});
        sequence_.push_back(L"entry " + std::wstring(text));
        reportHandles_.push_back(source);
    }
    void Deregister(HANDLE source) override {
        std::lock_guard<std::mutex> lock(mutex_);
        deregistered_.push_back(source);
    }

    std::vector<SERVICE_STATUS> Reports() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    std::vector<std::wstring> Texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::wstring> texts;
        for (const Entry& e : entries_) texts.push_back(e.text);
        return texts;
    }
    std::vector<Entry> Entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    std::vector<std::wstring> Sources() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sources_;
    }
    // Reports and entries in the order they were made.
    std::vector<std::wstring> Sequence() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sequence_;
    }
    std::vector<HANDLE> ReportHandles() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reportHandles_;
    }
    std::vector<HANDLE> Deregistered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deregistered_;
    }
    std::vector<std::wstring> HandlerNames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handlerNames_;
    }
    // Waits until at least `count` reports have been made, then returns them all.
    std::vector<SERVICE_STATUS> WaitForReports(std::size_t count) {
        Eventually([&] { return Reports().size() >= count; });
        return Reports();
    }

    DWORD refuseHandler = 0;        // non-zero: RegisterHandler fails with this error
    int refusedRegistrations = 0;  // event sources refused before one is granted
    std::function<void()> afterPost;  // runs inside the control handler, after its post

private:
    std::mutex mutex_;
    std::vector<SERVICE_STATUS> reports_;
    std::vector<std::wstring> handlerNames_;
    std::vector<std::wstring> sources_;
    std::vector<Entry> entries_;
    std::vector<HANDLE> reportHandles_;
    std::vector<HANDLE> deregistered_;
    std::vector<std::wstring> sequence_;
};

// The fields of a report that change over a service's life.
struct Seen {
    DWORD state;
    DWORD checkpoint;
    DWORD controls;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* out) {
    *out << "{state " << s.state << ", checkpoint " << s.checkpoint << ", controls " << s.controls << "}";
}

std::vector<Seen> Summary(const std::vector<SERVICE_STATUS>& reports, std::size_t from = 0) {
    std::vector<Seen> seen;
    for (std::size_t i = from; i < reports.size(); ++i)
        seen.push_back({reports[i].dwCurrentState, reports[i].dwCheckPoint, reports[i].dwControlsAccepted});
    return seen;
}

// For failure output: every report and entry so far.
std::string Trace(Recorder& recorder) {
    std::string out = "reports:";
    for (const Seen& s : Summary(recorder.Reports()))
        out += " " + std::to_string(s.state) + "/" + std::to_string(s.checkpoint) + "/" + std::to_string(s.controls);
    out += "; entries:";
    for (const std::wstring& text : recorder.Texts()) out += " [" + Narrow(text) + "]";
    return out;
}

const Seen kFirstStartPending{SERVICE_START_PENDING, 1, 0};
const Seen kSecondStartPending{SERVICE_START_PENDING, 2, 0};
const Seen kRunning{SERVICE_RUNNING, 0, 7};
const Seen kStopPending{SERVICE_STOP_PENDING, 0, 7};
const Seen kStopped{SERVICE_STOPPED, 0, 7};
const Seen kPausePending{SERVICE_PAUSE_PENDING, 0, 7};
const Seen kPaused{SERVICE_PAUSED, 0, 7};
const Seen kContinuePending{SERVICE_CONTINUE_PENDING, 0, 7};

// A hosted service whose reports and entries go to the recorder. No manager
// ever calls its control handler: the tests post control codes themselves.
class ProbeService final : public TService {
public:
    ProbeService(TServiceApplication& application, std::wstring name, Recorder& recorder)
        : TService(application, std::move(name), recorder, recorder) {}

    std::function<bool(DWORD code)> CustomControl;  // unassigned: accepted
    DWORD refuseThread = 0;  // non-zero: the service thread cannot be created, with this error
    DWORD refuseSuspension = 0;  // non-zero: the thread cannot suspend itself, with this error

protected:
    LPHANDLER_FUNCTION GetServiceController() override { return &Unused; }
    std::unique_ptr<TServiceThread> CreateServiceThread() override {
        if (refuseThread != 0) RaiseOSError(refuseThread);
        if (refuseSuspension != 0) return std::make_unique<UnsuspendableThread>(*this, refuseSuspension);
        return TService::CreateServiceThread();
    }
    bool HandleCustomControl(DWORD code) override {
        return CustomControl ? CustomControl(code) : TService::HandleCustomControl(code);
    }

private:
    static void WINAPI Unused(DWORD) {}

    class UnsuspendableThread final : public TServiceThread {
    public:
        UnsuspendableThread(TService& service, DWORD error) : TServiceThread(service), error_(error) {}

    protected:
        DWORD SuspendCurrentThread() noexcept override {
            SetLastError(error_);
            return static_cast<DWORD>(-1);
        }

    private:
        DWORD error_;
    };
};

// Plays the ServiceMain thread: runs the body on a thread of its own, which
// returns once the service has stopped. A test that fails half-way leaves a
// running service behind; the destructor then shuts it down.
class ServiceMainThread {
public:
    ServiceMainThread(TService& service, std::vector<std::wstring> arguments,
                      std::function<void(DWORD, wchar_t**)> body = {})
        : service_(service), arguments_(std::move(arguments)) {
        for (std::wstring& a : arguments_) argv_.push_back(a.data());
        if (!body) body = [this](DWORD argc, wchar_t** argv) { service_.EnterService(argc, argv); };
        thread_ = std::thread([this, body] {
            body(static_cast<DWORD>(argv_.size()), argv_.data());
            ended_ = true;
        });
    }
    ~ServiceMainThread() {
        Eventually([&] {
            service_.PostControlCode(SERVICE_CONTROL_SHUTDOWN);
            return WaitEnded(std::chrono::milliseconds(100));
        });
        thread_.join();
    }
    ServiceMainThread(const ServiceMainThread&) = delete;
    ServiceMainThread& operator=(const ServiceMainThread&) = delete;

    bool Ended() const noexcept { return ended_; }
    bool WaitEnded(std::chrono::milliseconds within = std::chrono::seconds(30)) const {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (!ended_) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Sleep(2);
        }
        return true;
    }

private:
    TService& service_;
    std::vector<std::wstring> arguments_;
    std::vector<wchar_t*> argv_;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

// An OnExecute handler in the program's own style: serve the queue, do a
// little work, until the service thread is marked terminated.
TServiceEvent CountingExecute(std::atomic<int>& rounds) {
    return [&rounds](TService& s) {
        while (!s.Terminated()) {
            s.ServiceThread()->ProcessRequests(false);
            ++rounds;
            Sleep(1);
        }
    };
}

class ServiceHost : public ::testing::Test {
protected:
    // Waits for the reports of a normal start.
    void WaitRunning() {
        ASSERT_EQ(Summary(recorder.WaitForReports(3)),
                  (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kRunning}));
    }

    Recorder recorder;
    TWindowApplication windowApplication;
    TServiceApplication application{windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder};
    ProbeService& service = *application.CreateForm<ProbeService>(L"Probe", recorder);
};

TEST_F(ServiceHost, NormalStartReportsStartPendingTwiceThenRunningAndStopsOnRequest) {
    ServiceMainThread serviceMain(service, {L"Probe", L"-verbose"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    const std::vector<SERVICE_STATUS> reports = recorder.Reports();
    for (const SERVICE_STATUS& r : reports) {
        EXPECT_EQ(r.dwServiceType, 0x10u);
        EXPECT_EQ(r.dwWin32ExitCode, 0u);
        EXPECT_EQ(r.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(r.dwWaitHint, 5000u);
    }
    EXPECT_EQ(recorder.HandlerNames(), std::vector<std::wstring>{L"Probe"});
    ASSERT_EQ(service.ParamCount(), 2u);
    EXPECT_EQ(service.Param(0), L"Probe");
    EXPECT_EQ(service.Param(1), L"-verbose");
    EXPECT_EQ(service.Status(), TCurrentStatus::csRunning);

    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{kStopPending, kStopped}));
    EXPECT_EQ(service.ServiceThread(), nullptr);
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, StartRefusedByOnStopsWithoutAnEntry) {
    bool executed = false;
    service.OnStart = [](TService&, bool& started) { started = false; };
    service.OnExecute = [&](TService&) { executed = true; };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_TRUE(serviceMain.WaitEnded());
    const std::vector<SERVICE_STATUS> reports = recorder.Reports();
    EXPECT_EQ(Summary(reports), (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kStopped}));
    for (const SERVICE_STATUS& r : reports) {
        EXPECT_EQ(r.dwWin32ExitCode, 0u);
        EXPECT_EQ(r.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_FALSE(executed);
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, StartRaisingWritesOneStartEntryUnderTheServicesName) {
    service.OnStart = [](TService&, bool&) { throw Exception(L"no settings"); };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports()), (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kStopped}));
    const std::vector<Entry> entries = recorder.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, L"Service failed on start: no settings");
    EXPECT_EQ(entries[0].source, L"Probe");
    EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entries[0].category, 0);
    EXPECT_EQ(entries[0].id, 0u);
    for (const SERVICE_STATUS& r : recorder.Reports()) EXPECT_EQ(r.dwWin32ExitCode, 0u);
}

TEST_F(ServiceHost, ExecuteRaisingWritesAnExecuteEntryAndStops) {
    service.OnExecute = [](TService&) { throw Exception(L"worker lost"); };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports()),
              (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kRunning, kStopped}));
    EXPECT_EQ(recorder.Texts(), std::vector<std::wstring>{L"Service failed on execute: worker lost"});
}

TEST_F(ServiceHost, RefusedStopReportsTheOldStateAndTheServiceKeepsRunning) {
    std::atomic<bool> refuse{true};
    service.OnStop = [&](TService&, bool& stopped) { stopped = !refuse; };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());

    service.PostControlCode(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Summary(recorder.WaitForReports(5), 3), (std::vector<Seen>{kStopPending, kRunning}));
    EXPECT_FALSE(serviceMain.Ended());
    EXPECT_FALSE(service.Terminated());

    // Still serving requests: an interrogation is answered, a later stop accepted.
    service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Summary(recorder.WaitForReports(6), 5), std::vector<Seen>{kRunning});
    refuse = false;
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 6), (std::vector<Seen>{kStopPending, kStopped}));
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, RaisingStopHandlerLogsAndTheServiceKeepsRunning) {
    service.OnStop = [](TService&, bool&) { throw Exception(L"busy"); };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    service.PostControlCode(SERVICE_CONTROL_STOP);
    EXPECT_EQ(Summary(recorder.WaitForReports(5), 3), (std::vector<Seen>{kStopPending, kRunning}));
    ASSERT_TRUE(Eventually([&] { return recorder.Texts().size() == 1; }));
    EXPECT_EQ(recorder.Texts()[0], L"Service failed on stop: busy");
    EXPECT_FALSE(serviceMain.Ended());
}

TEST_F(ServiceHost, StopWhilePausedWakesTheSuspendedThread) {
    std::atomic<int> rounds{0};
    service.OnExecute = CountingExecute(rounds);
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());

    service.PostControlCode(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(Summary(recorder.WaitForReports(5), 3), (std::vector<Seen>{kPausePending, kPaused}));
    ASSERT_TRUE(Eventually([&] { return service.ServiceThread()->Suspended(); })) << Trace(recorder);

    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 5), (std::vector<Seen>{kStopPending, kStopped}));
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, InterrogateWhilePausedReportsPausedAndTheThreadRunsOn) {
    std::atomic<int> rounds{0};
    service.OnExecute = CountingExecute(rounds);
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());

    service.PostControlCode(SERVICE_CONTROL_PAUSE);
    ASSERT_EQ(Summary(recorder.WaitForReports(5), 3), (std::vector<Seen>{kPausePending, kPaused}));
    ASSERT_TRUE(Eventually([&] { return service.ServiceThread()->Suspended(); })) << Trace(recorder);

    service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Summary(recorder.WaitForReports(6), 5), std::vector<Seen>{kPaused});
    // The woken thread is back in its execute loop, not suspended again, while
    // the reported state stays paused.
    const int roundsAtReport = rounds;
    EXPECT_TRUE(Eventually([&] { return rounds > roundsAtReport; }));
    EXPECT_FALSE(service.ServiceThread()->Suspended());
    EXPECT_EQ(service.Status(), TCurrentStatus::csPaused);

    service.PostControlCode(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(Summary(recorder.WaitForReports(8), 6), (std::vector<Seen>{kContinuePending, kRunning}));
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 8), (std::vector<Seen>{kStopPending, kStopped}));
}

// The dispatcher checks the suspended mark right after posting, so a service
// thread that takes the pause at once has already marked itself by then; being
// woken for its own pause must not end the suspension.
TEST_F(ServiceHost, EveryAcceptedPauseSuspendsTheServiceThread) {
    // N.B. without OnExecute the thread blocks on its queue, so each post
    // wakes it at once: the likeliest moment for the race.
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    for (int cycle = 0; cycle < 300; ++cycle) {
        const std::size_t before = recorder.Reports().size();
        service.PostControlCode(SERVICE_CONTROL_PAUSE);
        ASSERT_EQ(Summary(recorder.WaitForReports(before + 2), before), (std::vector<Seen>{kPausePending, kPaused}));
        ASSERT_TRUE(Eventually([&] { return service.ServiceThread()->Suspended(); })) << "cycle " << cycle;
        service.PostControlCode(SERVICE_CONTROL_CONTINUE);
        ASSERT_EQ(Summary(recorder.WaitForReports(before + 4), before + 2),
                  (std::vector<Seen>{kContinuePending, kRunning}));
    }
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
}

TEST_F(ServiceHost, RefusedPauseAndContinueReportTheOldStateAgain) {
    service.OnPause = [](TService&, bool& paused) { paused = false; };
    service.OnContinue = [](TService&, bool& continued) { continued = false; };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    service.PostControlCode(SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(Summary(recorder.WaitForReports(5), 3), (std::vector<Seen>{kPausePending, kRunning}));
    service.PostControlCode(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(Summary(recorder.WaitForReports(7), 5), (std::vector<Seen>{kContinuePending, kRunning}));
    EXPECT_FALSE(serviceMain.Ended());
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, ShutdownWhoseHandlerRaisesStillStops) {
    service.OnShutdown = [](TService&) { throw Exception(L"disk gone"); };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    service.PostControlCode(SERVICE_CONTROL_SHUTDOWN);
    ASSERT_TRUE(serviceMain.WaitEnded());
    // No old state in between: the service stays stop pending until stopped.
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{kStopPending, kStopped}));
    EXPECT_EQ(recorder.Texts(), std::vector<std::wstring>{L"Service failed on shutdown: disk gone"});
}

// The manager still shows a stopping service as running with controls 7
// until the stop is carried out, so a pause or continue can be queued right
// behind it; once the stop (or a shutdown) has been accepted they are refused
// and the stop completes.
TEST(ServiceStopping, APauseOrContinueQueuedBehindAStopDoesNotUndoIt) {
    const struct {
        DWORD first, second;
    } cases[] = {
        {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE},
        {SERVICE_CONTROL_STOP, SERVICE_CONTROL_CONTINUE},
        {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PAUSE},
        {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_CONTINUE},
        {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "codes " << c.first << " then " << c.second);
        Recorder recorder;
        TWindowApplication windowApplication;
        TServiceApplication application(windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder);
        ProbeService& service = *application.CreateForm<ProbeService>(L"Probe", recorder);
        std::atomic<int> pauses{0}, continues{0};
        std::atomic<bool> release{false};
        service.OnPause = [&](TService&, bool&) { ++pauses; };
        service.OnContinue = [&](TService&, bool&) { ++continues; };
        // Both requests wait in the queue until the execute loop serves it.
        service.OnExecute = [&](TService& s) {
            while (!release) Sleep(1);
            while (!s.Terminated()) {
                s.ServiceThread()->ProcessRequests(false);
                Sleep(1);
            }
        };
        ServiceMainThread serviceMain(service, {L"Probe"});
        ASSERT_EQ(Summary(recorder.WaitForReports(3)),
                  (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kRunning}));
        service.PostControlCode(c.first);
        service.PostControlCode(c.second);
        release = true;
        EXPECT_TRUE(serviceMain.WaitEnded(std::chrono::seconds(10))) << Trace(recorder);
        EXPECT_EQ(Summary(recorder.Reports(), 3),
                  (std::vector<Seen>{kStopPending, {SERVICE_STOP_PENDING, 1, 7}, kStopped}));
        EXPECT_EQ(pauses, 0);
        EXPECT_EQ(continues, 0);
        EXPECT_TRUE(recorder.Entries().empty());
    }
}

// The execute loop can return without a stop (the program's own loop
// swallows its errors and returns): the service thread then serves what is
// left in its queue on its way out. A pause there would suspend it for good
// and the service would never stop; a continue would report it running.
TEST(ServiceStopping, APauseOrContinueQueuedBehindAnEndedExecuteLoopIsRefused) {
    const struct {
        const char* what;
        std::vector<DWORD> codes;
        std::vector<Seen> reports;  // after running
    } cases[] = {
        {"pause", {SERVICE_CONTROL_PAUSE}, {kRunning, kStopped}},
        {"continue", {SERVICE_CONTROL_CONTINUE}, {kRunning, kStopped}},
        {"pause then continue", {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}, {kRunning, kRunning, kStopped}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder recorder;
        TWindowApplication windowApplication;
        TServiceApplication application(windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder);
        ProbeService& service = *application.CreateForm<ProbeService>(L"Probe", recorder);
        std::atomic<int> pauses{0}, continues{0};
        std::atomic<bool> release{false};
        service.OnPause = [&](TService&, bool&) { ++pauses; };
        service.OnContinue = [&](TService&, bool&) { ++continues; };
        service.OnExecute = [&](TService&) {
            while (!release) Sleep(1);
        };
        ServiceMainThread serviceMain(service, {L"Probe"});
        ASSERT_EQ(Summary(recorder.WaitForReports(3)),
                  (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kRunning}));
        for (const DWORD code : c.codes) service.PostControlCode(code);
        release = true;
        EXPECT_TRUE(serviceMain.WaitEnded(std::chrono::seconds(10))) << Trace(recorder);
        EXPECT_EQ(Summary(recorder.Reports(), 3), c.reports);
        EXPECT_EQ(pauses, 0);
        EXPECT_EQ(continues, 0);
        EXPECT_TRUE(recorder.Entries().empty());
    }
}

// The pause handler has switched the timer off when the thread fails to
// suspend itself: the pause is undone, so that the running state reported
// again is true; when the continue handler refuses, the service stays paused
// and says so. Either way the thread serves the next request.
TEST(ServiceStopping, AFailedSuspensionLeavesTheTimerAsTheReportedStateSays) {
    const struct {
        const char* what;
        bool continueAccepted;
        std::vector<Seen> reports;  // after running, up to the interrogation
        bool timerOn;
    } cases[] = {
        {"undone", true, {kPausePending, kPaused, kRunning, kRunning}, true},
        {"continue refused", false, {kPausePending, kPaused, kPaused}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder recorder;
        TWindowApplication windowApplication;
        TServiceApplication application(windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder);
        ProbeService& service = *application.CreateForm<ProbeService>(L"Probe", recorder);
        service.refuseSuspension = ERROR_ACCESS_DENIED;
        TTimer timer(windowApplication, L"refused");
        std::atomic<bool> refuseContinue{!c.continueAccepted};
        service.OnPause = [&](TService&, bool&) { timer.SetEnabled(false); };
        service.OnContinue = [&](TService&, bool& continued) {
            if (refuseContinue) {
                continued = false;
                return;
            }
            timer.SetEnabled(true);
        };
        ServiceMainThread serviceMain(service, {L"Probe"});
        ASSERT_EQ(Summary(recorder.WaitForReports(3)),
                  (std::vector<Seen>{kFirstStartPending, kSecondStartPending, kRunning}));
        service.PostControlCode(SERVICE_CONTROL_PAUSE);
        // N.B. the interrogation goes after the failure: a request already
        // waiting keeps the thread from suspending itself at all.
        ASSERT_TRUE(Eventually([&] { return !recorder.Texts().empty(); })) << Trace(recorder);
        service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
        EXPECT_EQ(Summary(recorder.WaitForReports(3 + c.reports.size()), 3), c.reports) << Trace(recorder);
        EXPECT_EQ(timer.Enabled(), c.timerOn);
        EXPECT_EQ(recorder.Texts(),
                  std::vector<std::wstring>{L"Service failed on pause: System Error.  Code: 5.\r\nAccess denied"});
        EXPECT_FALSE(service.ServiceThread()->Suspended());

        refuseContinue = false;
        service.PostControlCode(SERVICE_CONTROL_CONTINUE);
        service.PostControlCode(SERVICE_CONTROL_STOP);
        EXPECT_TRUE(serviceMain.WaitEnded(std::chrono::seconds(10))) << Trace(recorder);
        EXPECT_TRUE(timer.Enabled());
    }
}

// A control arriving as the service thread ends: the handler that loaded the
// thread object is still using it when the thread has gone.
TEST_F(ServiceHost, TheServiceThreadObjectOutlivesAControlHandlerStillUsingIt) {
    std::atomic<bool> release{false};
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    const UniqueHandleObject serviceThread(OpenThread(SYNCHRONIZE, FALSE, service.ServiceThread()->ThreadId()));
    ASSERT_TRUE(serviceThread);

    recorder.afterPost = [&] {
        while (!release) Sleep(1);
    };
    std::thread dispatcher([&] { service.PostControlCode(SERVICE_CONTROL_STOP); });
    // The stop is carried out and the service thread ends while the handler
    // that posted it is held after its post.
    EXPECT_EQ(WaitForSingleObject(serviceThread.get(), 30000), WAIT_OBJECT_0);
    Sleep(200);
    EXPECT_FALSE(serviceMain.Ended()) << "the ServiceMain thread went on while the handler used the thread object";
    EXPECT_EQ(Summary(recorder.Reports(), 3), std::vector<Seen>{kStopPending});
    release = true;
    dispatcher.join();
    recorder.afterPost = nullptr;
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{kStopPending, kStopped}));
}

TEST_F(ServiceHost, AServiceThreadThatCannotBeCreatedIsLoggedBeforeStoppedIsReported) {
    service.refuseThread = ERROR_NOT_ENOUGH_MEMORY;
    wchar_t name[] = L"Probe";
    wchar_t* argv[] = {name};
    service.EnterService(1, argv);
    const std::vector<std::wstring> sequence = recorder.Sequence();
    ASSERT_EQ(sequence.size(), 3u);
    EXPECT_EQ(sequence[0], L"report " + std::to_wstring(SERVICE_START_PENDING));
    EXPECT_EQ(sequence[1], L"entry Service failed on execute: System Error.  Code: 8.\r\nNot enough memory")
        << Narrow(sequence[1]);
    EXPECT_EQ(sequence[2], L"report " + std::to_wstring(SERVICE_STOPPED));
    EXPECT_EQ(service.ServiceThread(), nullptr);
}

// A stop whose handler switches off a timer of the main thread, while that
// thread is busy: the stop does not wait for it.
TEST_F(ServiceHost, StopCompletesWhileTheTimersOwnerIsBusy) {
    std::atomic<int> ticks{0};
    TTimer timer(windowApplication, L"refused");
    timer.SetInterval(10);
    timer.SetOnTimer([&] { ++ticks; });
    service.OnStop = [&](TService&, bool&) { timer.SetEnabled(false); };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());

    // This thread, the timer's owner, serves nothing until the stop is done.
    const auto start = std::chrono::steady_clock::now();
    service.PostControlCode(SERVICE_CONTROL_STOP);
    const bool stoppedWhileBusy = serviceMain.WaitEnded();
    std::printf("stop with the timer's owner busy: stopped after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count()));
    EXPECT_TRUE(stoppedWhileBusy) << "the stop waited for the busy owner thread";
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{kStopPending, kStopped}));

    const int ticksAtStop = ticks;
    Sleep(50);
    windowApplication.ProcessMessages();
    Sleep(50);
    windowApplication.ProcessMessages();
    EXPECT_EQ(ticks, ticksAtStop) << "the timer delivered after it was switched off";
}

TEST_F(ServiceHost, UserControlCodesAreNeitherReportedNorLogged) {
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    for (const DWORD code : {128u, 200u, 255u}) service.PostControlCode(code);
    // The interrogation is queued behind the user codes, so its report
    // proves they have been handled.
    service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Summary(recorder.WaitForReports(4), 3), std::vector<Seen>{kRunning});
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{kRunning, kStopPending, kStopped}));
    EXPECT_TRUE(recorder.Entries().empty());
}

TEST_F(ServiceHost, CustomControlFailuresAndRefusals) {
    std::vector<DWORD> codes;  // touched on the service thread until it has ended
    service.CustomControl = [&](DWORD code) {
        codes.push_back(code);
        if (code == 200) throw Exception(L"no such command");
        return code != 129;
    };
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_NO_FATAL_FAILURE(WaitRunning());
    service.PostControlCode(128);  // accepted: nothing reported
    service.PostControlCode(200);  // raised: the old state again and an entry
    service.PostControlCode(129);  // refused: the old state again
    service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Summary(recorder.WaitForReports(6), 3), (std::vector<Seen>{kRunning, kRunning, kRunning}));
    EXPECT_EQ(recorder.Texts(), std::vector<std::wstring>{L"Service failed in custom message(200): no such command"});
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(codes, (std::vector<DWORD>{128, 200, 129}));
}

TEST_F(ServiceHost, WithoutPauseTheControlsAreFiveInEveryReportButStartPending) {
    service.AllowPause = false;
    ServiceMainThread serviceMain(service, {L"Probe"});
    ASSERT_EQ(Summary(recorder.WaitForReports(3)),
              (std::vector<Seen>{kFirstStartPending, kSecondStartPending, {SERVICE_RUNNING, 0, 5}}));
    service.PostControlCode(SERVICE_CONTROL_INTERROGATE);
    recorder.WaitForReports(4);
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(Summary(recorder.Reports(), 3), (std::vector<Seen>{{SERVICE_RUNNING, 0, 5},
                                                                   {SERVICE_STOP_PENDING, 0, 5},
                                                                   {SERVICE_STOPPED, 0, 5}}));
}

TEST_F(ServiceHost, ASecondHostedServiceMakesBothShareTheProcess) {
    ProbeService& second = *application.CreateForm<ProbeService>(L"Second", recorder);
    EXPECT_EQ(application.ServiceCount(), 2);
    {
        ServiceMainThread serviceMain(second, {L"Second"});
        recorder.WaitForReports(3);
        second.PostControlCode(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(serviceMain.WaitEnded());
    }
    {
        ServiceMainThread serviceMain(service, {L"Probe"});
        recorder.WaitForReports(8);
        service.PostControlCode(SERVICE_CONTROL_STOP);
        ASSERT_TRUE(serviceMain.WaitEnded());
    }
    const std::vector<SERVICE_STATUS> reports = recorder.Reports();
    ASSERT_EQ(reports.size(), 10u);
    for (const SERVICE_STATUS& r : reports) EXPECT_EQ(r.dwServiceType, 0x20u);
    // The checkpoints are the process's: only the very first start counts from 1.
    EXPECT_EQ(Summary(reports, 5), (std::vector<Seen>{{SERVICE_START_PENDING, 0, 0},
                                                       {SERVICE_START_PENDING, 1, 0},
                                                       kRunning,
                                                       kStopPending,
                                                       kStopped}));

    second.SetInteractive(true);
    EXPECT_EQ(second.NativeServiceType(), 0x120u);
    EXPECT_EQ(service.NativeServiceType(), 0x20u);
}

TEST_F(ServiceHost, FailedHandlerRegistrationLogsTheSystemTextAndNeverReports) {
    recorder.refuseHandler = ERROR_INVALID_NAME;
    wchar_t name[] = L"Probe";
    wchar_t* argv[] = {name};
    service.EnterService(1, argv);
    EXPECT_TRUE(recorder.Reports().empty());
    EXPECT_EQ(recorder.Texts(), std::vector<std::wstring>{L"Invalid name"});
}

TEST_F(ServiceHost, ServiceMainWithTheNameInOtherLetterCaseStartsThatService) {
    ProbeService& other = *application.CreateForm<ProbeService>(L"Other", recorder);
    (void)other;
    ServiceMainThread serviceMain(service, {L"pROBE"},
                           [&](DWORD argc, wchar_t** argv) { application.RouteServiceMain(argc, argv); });
    recorder.WaitForReports(3);
    EXPECT_EQ(recorder.HandlerNames(), std::vector<std::wstring>{L"Probe"});
    EXPECT_EQ(service.Status(), TCurrentStatus::csRunning);
    service.PostControlCode(SERVICE_CONTROL_STOP);
    ASSERT_TRUE(serviceMain.WaitEnded());
    EXPECT_EQ(service.Param(0), L"pROBE");  // the arguments as received
}

TEST_F(ServiceHost, ServiceMainWithAnUnknownNameDoesNothing) {
    wchar_t name[] = L"Nobody";
    wchar_t* argv[] = {name};
    application.RouteServiceMain(1, argv);
    application.RouteServiceMain(0, nullptr);
    EXPECT_TRUE(recorder.HandlerNames().empty());
    EXPECT_TRUE(recorder.Reports().empty());
}

TEST_F(ServiceHost, ApplicationExceptionsGoToTheExecutablesSource) {
    application.LogApplicationException(Exception(L"tick failed"));
    const std::vector<Entry> entries = recorder.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, L"win_tests.exe");
    EXPECT_EQ(entries[0].text, L"tick failed");
    EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entries[0].category, 0);
    EXPECT_EQ(entries[0].id, 0u);
}

// A thread whose first self-suspension fails, and whose second is slow to
// take hold once its mark is up: the moment a resumer must wait for.
class SuspendingThread final : public TThread {
public:
    std::atomic<bool> failed{false};
    std::atomic<bool> marked{false};
    std::atomic<bool> woke{false};

protected:
    void Execute() override {
        MSG m;
        PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        try {
            SuspendSelf();
        } catch (const EOSError&) {
            failed = true;
        }
        SuspendSelf();
        woke = true;
    }
    DWORD SuspendCurrentThread() noexcept override {
        if (++calls_ == 1) {
            SetLastError(ERROR_ACCESS_DENIED);
            return static_cast<DWORD>(-1);
        }
        marked = true;
        Sleep(300);
        return TThread::SuspendCurrentThread();
    }

private:
    std::atomic<int> calls_{0};
};

TEST(Thread, AFailedSuspensionWithoutAResumerDoesNotCutShortTheNextResume) {
    SuspendingThread thread;
    thread.Start();
    ASSERT_TRUE(Eventually([&] { return thread.marked.load(); }));
    EXPECT_TRUE(thread.failed);
    ASSERT_TRUE(PostThreadMessageW(thread.ThreadId(), WM_USER + 7, 0, 0));
    thread.Resume();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!thread.woke && std::chrono::steady_clock::now() < deadline) Sleep(5);
    EXPECT_TRUE(thread.woke) << "the resume returned before the suspension took hold";
    if (!thread.woke) {
        // Lets the thread end, so that its object can go.
        const UniqueHandleObject handle(OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread.ThreadId()));
        while (handle && !thread.woke) {
            ResumeThread(handle.get());
            Sleep(5);
        }
    }
}

TEST(LastChance, InServiceModeAnEntryUnderTheExecutablesNameAndNoBox) {
    const struct {
        bool serviceMode;
        bool entry;
    } cases[] = {{true, true}, {false, false}};
    const std::wstring expected = L"Exception EOSError in module win_tests.exe at ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serviceMode ? "service mode" : "command line");
        Recorder recorder;
        std::vector<std::wstring> boxes;
        const int code = HandleLastChance(L"EOSError", L"Not enough storage is available", nullptr, c.serviceMode,
                                          recorder, [&](const std::wstring& text) { boxes.push_back(text); });
        EXPECT_EQ(code, 1);
        const std::vector<Entry> entries = recorder.Entries();
        if (c.entry) {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(entries[0].source, L"win_tests.exe");
            EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
            EXPECT_EQ(entries[0].category, 0);
            EXPECT_EQ(entries[0].id, 0u);
            EXPECT_EQ(entries[0].text.substr(0, expected.size()), expected) << Narrow(entries[0].text);
            const std::wstring end = L".\r\nNot enough storage is available.\r\n";
            ASSERT_GT(entries[0].text.size(), end.size());
            EXPECT_EQ(entries[0].text.substr(entries[0].text.size() - end.size()), end);
        } else {
            EXPECT_TRUE(entries.empty());
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].substr(0, expected.size()), expected) << Narrow(boxes[0]);
        }
    }
}

TEST(EventLogger, OpensItsSourceOnTheFirstEntryAndReusesIt) {
    Recorder recorder;
    {
        TEventLogger logger(L"Source", recorder);
        EXPECT_TRUE(recorder.Sources().empty());
        logger.LogMessage(L"one");
        logger.LogMessage(L"two", EVENTLOG_WARNING_TYPE, 3, 7);
        EXPECT_EQ(recorder.Sources(), std::vector<std::wstring>{L"Source"});
        const HANDLE source = reinterpret_cast<HANDLE>(std::uintptr_t{1});
        EXPECT_EQ(recorder.ReportHandles(), (std::vector<HANDLE>{source, source}));
        const std::vector<Entry> entries = recorder.Entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].text, L"one");
        EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(entries[1].type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(entries[1].category, 3);
        EXPECT_EQ(entries[1].id, 7u);
        EXPECT_TRUE(recorder.Deregistered().empty());
    }
    EXPECT_EQ(recorder.Deregistered(), std::vector<HANDLE>{reinterpret_cast<HANDLE>(std::uintptr_t{1})});
}

TEST(EventLogger, NeverOpensASourceWhenNothingIsWritten) {
    Recorder recorder;
    { TEventLogger logger(L"Quiet", recorder); }
    EXPECT_TRUE(recorder.Sources().empty());
    EXPECT_TRUE(recorder.Deregistered().empty());
}

TEST(EventLogger, RetriesARefusedSourceOnTheNextEntry) {
    Recorder recorder;
    recorder.refusedRegistrations = 1;
    {
        TEventLogger logger(L"Flaky", recorder);
        logger.LogMessage(L"dropped");
        logger.LogMessage(L"kept");
        logger.LogMessage(L"kept too");
        EXPECT_EQ(recorder.Sources(), (std::vector<std::wstring>{L"Flaky", L"Flaky"}));
        const HANDLE granted = reinterpret_cast<HANDLE>(std::uintptr_t{2});
        EXPECT_EQ(recorder.ReportHandles(), (std::vector<HANDLE>{nullptr, granted, granted}));
    }
    EXPECT_EQ(recorder.Deregistered(), std::vector<HANDLE>{reinterpret_cast<HANDLE>(std::uintptr_t{2})});
}

TEST(EventLogger, AServiceWritesUnderItsOwnNameAndClosesItsSourceWithIt) {
    Recorder recorder;
    TWindowApplication windowApplication;
    {
        TServiceApplication application(windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder);
        ProbeService& service = *application.CreateForm<ProbeService>(L"Nimbora", recorder);
        service.LogMessage(L"first");
        service.LogMessage(L"second");
        EXPECT_EQ(recorder.Sources(), std::vector<std::wstring>{L"Nimbora"});
        EXPECT_TRUE(recorder.Deregistered().empty());
    }
    EXPECT_EQ(recorder.Deregistered(), std::vector<HANDLE>{reinterpret_cast<HANDLE>(std::uintptr_t{1})});
}

TEST(ServiceApplication, SwitchesCompareUnderTheUsersLocale) {
    const struct {
        const wchar_t* line;
        const wchar_t* word;
        bool expected;
    } cases[] = {
        {L"win_tests.exe /Install", L"INSTALL", true},
        {L"win_tests.exe -uNiNsTaLl", L"UNINSTALL", true},
        {L"\"C:\\Program Files\\win_tests.exe\" -Silent /uninstall", L"SILENT", true},
        {L"win_tests.exe install", L"INSTALL", false},
        {L"win_tests.exe //install", L"INSTALL", false},
        {L"win_tests.exe /installer", L"INSTALL", false},
        // The user's locale folds more than A to Z.
        {L"win_tests.exe /\u00E9t\u00E9", L"\u00C9T\u00C9", true},
        {L"win_tests.exe /\u00E9t\u00E9", L"ETE", false},
    };
    Recorder recorder;
    TWindowApplication windowApplication;
    for (const auto& c : cases) {
        TServiceApplication application(windowApplication, c.line, MessageTexts::BuiltIn(), recorder);
        EXPECT_EQ(application.HasSwitch(c.word), c.expected) << Narrow(c.line) << " / " << Narrow(c.word);
    }
}

TEST(ServiceApplication, InstallingWithEitherSwitch) {
    Recorder recorder;
    TWindowApplication windowApplication;
    const struct {
        const wchar_t* line;
        bool installing;
    } cases[] = {{L"x /install", true},    {L"x -UNINSTALL /silent", true}, {L"x /silent", false},
                 {L"x", false},            {L"x uninstall", false},         {L"x /install /uninstall", true}};
    for (const auto& c : cases)
        EXPECT_EQ(TServiceApplication(windowApplication, c.line, MessageTexts::BuiltIn(), recorder).Installing(),
                  c.installing)
            << Narrow(c.line);
}

// An error that is not one of ours is raised by a message handler of the main
// loop while the dispatcher still serves the service (the real one returns
// only once the service has stopped): the last chance is taken and the
// process ended at once, without unwinding through the platform's dispatch
// or into a wait for the dispatcher.
void RunAForeignErrorInTheMainLoop() {
    constexpr UINT kFailingMessage = WM_APP + 9;
    Recorder recorder;
    TWindowApplication windowApplication;
    TServiceApplication application(windowApplication, L"win_tests.exe", MessageTexts::BuiltIn(), recorder);
    const UniqueHandleObject released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(released);
    application.StartDispatcher = [&](SERVICE_TABLE_ENTRYW*) {
        // The safety timeout only keeps a broken build from hanging.
        return WaitForSingleObject(released.get(), 10000) == WAIT_OBJECT_0;
    };
    std::vector<UINT> ends;
    application.EndProcess = [&](UINT exitCode) {
        ends.push_back(exitCode);
        SetEvent(released.get());  // as the end of the process would end the dispatcher
    };
    windowApplication.HookMainWindow([](MSG& m) {
        if (m.message == kFailingMessage) throw std::runtime_error("vector too long");
        return false;
    });
    ASSERT_TRUE(PostMessageW(windowApplication.Handle(), kFailingMessage, 0, 0));
    // N.B. the stand-in for the end of the process returns: the loop then
    // ends as the released dispatcher makes it.
    application.Run();
    EXPECT_EQ(ends, std::vector<UINT>{1});
    const std::vector<Entry> entries = recorder.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, L"win_tests.exe");
    const std::wstring start = L"Exception Exception in module win_tests.exe at ";
    const std::wstring end = L".\r\nvector too long.\r\n";
    EXPECT_EQ(entries[0].text.substr(0, start.size()), start) << Narrow(entries[0].text);
    ASSERT_GT(entries[0].text.size(), end.size());
    EXPECT_EQ(entries[0].text.substr(entries[0].text.size() - end.size()), end) << Narrow(entries[0].text);
}

TEST(ServiceApplication, AForeignErrorInTheMainLoopEndsTheProcessWithoutWaitingForTheDispatcher) {
    // N.B. on a thread of its own: a main thread whose queue and windows no
    // earlier test has touched.
    std::thread mainThread(RunAForeignErrorInTheMainLoop);
    mainThread.join();
}

TEST(ServiceApplication, InitializeTwiceInitializesComOnce) {
    Recorder recorder;
    TWindowApplication windowApplication;
    // This thread starts without COM.
    HRESULT before = CoInitialize(nullptr);
    ASSERT_EQ(before, S_OK) << "COM was already initialised on the test thread";
    CoUninitialize();
    {
        TServiceApplication application(windowApplication, L"x", MessageTexts::BuiltIn(), recorder);
        application.Initialize();
        application.Initialize();
        // A single-threaded apartment now exists for this thread.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    }
    // The application released COM once on its way out; had it initialised
    // twice, one reference would be left and this would give S_FALSE.
    const HRESULT after = CoInitialize(nullptr);
    EXPECT_EQ(after, S_OK);
    if (SUCCEEDED(after)) CoUninitialize();
}

// ShellExecuteEx as documented for a file that cannot be started: the call
// fails, and without SEE_MASK_FLAG_NO_UI the shell first shows an error box,
// whose modal loop would serve the calling thread's queue (and with it the
// timer's events). Records each call's request.
struct ShellRequest {
    ULONG mask;
    HWND owner;
    std::wstring verb, file, parameters;
    bool directory;
    int show;
};
std::vector<ShellRequest> shellRequests;
int errorBoxes = 0;

BOOL WINAPI ShellThatCannotStart(SHELLEXECUTEINFOW* info) {
    shellRequests.push_back({info->fMask, info->hwnd, info->lpVerb ? info->lpVerb : L"", info->lpFile,
                             info->lpParameters ? info->lpParameters : L"", info->lpDirectory != nullptr,
                             info->nShow});
    if ((info->fMask & SEE_MASK_FLAG_NO_UI) == 0) ++errorBoxes;
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
}

TEST(Shell, ALaunchThatFailsShowsNoBoxAndAsksAsBefore) {
    shellRequests.clear();
    errorBoxes = 0;
    const HWND owner = reinterpret_cast<HWND>(std::uintptr_t{0x1234});
    ShellOpen(owner, L"C:\\Program Files\\Nimbora\\NimboraDefrag.exe", L"1024", &ShellThatCannotStart);
    EXPECT_EQ(errorBoxes, 0);
    ASSERT_EQ(shellRequests.size(), 1u);
    const ShellRequest& r = shellRequests[0];
    EXPECT_NE(r.mask & SEE_MASK_NOASYNC, 0u) << "complete on return: nothing is left to the caller's queue";
    EXPECT_EQ(r.owner, owner);
    EXPECT_EQ(r.verb, L"open");
    EXPECT_EQ(r.file, L"C:\\Program Files\\Nimbora\\NimboraDefrag.exe");
    EXPECT_EQ(r.parameters, L"1024");
    EXPECT_FALSE(r.directory);
    EXPECT_EQ(r.show, SW_SHOW);
}

// The timer tests pump the test thread's queue, which owns the timer.
class TimerTest : public ::testing::Test {
protected:
    // Serves this thread's queue until the condition holds.
    bool PumpUntil(const std::function<bool()>& condition) {
        return Eventually([&] {
            windowApplication.ProcessMessages();
            return condition();
        });
    }
    // Serves this thread's queue for a while, so that anything due is delivered.
    void PumpFor(std::chrono::milliseconds period) {
        const auto end = std::chrono::steady_clock::now() + period;
        while (std::chrono::steady_clock::now() < end) {
            windowApplication.ProcessMessages();
            Sleep(2);
        }
    }
    // Switches the timer from another thread while this one keeps serving
    // its queue (the switch is applied on the owner thread).
    void SetEnabledFromAnotherThread(TTimer& timer, bool enabled) {
        std::atomic<bool> done{false};
        std::thread other([&] {
            timer.SetEnabled(enabled);
            done = true;
        });
        // N.B. the switch is visible at once, before the owner thread has
        // applied it; only then is the queue served again.
        Eventually([&] { return timer.Enabled() == enabled; });
        PumpUntil([&] { return done.load(); });
        other.join();
    }

    TWindowApplication windowApplication;
};

BOOL CALLBACK FindTimerWindow(HWND window, LPARAM param) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wstring(name) != L"NimboraTimerWindow") return TRUE;
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
}

// The hidden window through which the timer's events arrive.
HWND TimerWindowOfThisThread() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindTimerWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

TEST_F(TimerTest, RunsFromCreationOnceItHasAHandler) {
    ASSERT_NE(windowApplication.Handle(), nullptr) << "no window station with windows (run under Xvfb)";
    std::atomic<int> ticks{0};
    TTimer timer(windowApplication, L"refused");
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    timer.SetInterval(10);
    timer.SetOnTimer([&] { ++ticks; });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
}

TEST_F(TimerTest, SwitchedOffFromAnotherThreadDeliversNothingMoreUntilSwitchedOn) {
    std::atomic<int> ticks{0};
    TTimer timer(windowApplication, L"refused");
    timer.SetInterval(10);
    timer.SetOnTimer([&] { ++ticks; });
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));

    // Leave the queue unserved until the timer is due, and queue one more
    // event by hand, then switch off from another thread.
    Sleep(50);
    const HWND window = TimerWindowOfThisThread();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageW(window, WM_TIMER, 1, 0));
    const int ticksBefore = ticks;
    SetEnabledFromAnotherThread(timer, false);
    EXPECT_FALSE(timer.Enabled());
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_EQ(ticks, ticksBefore);

    SetEnabledFromAnotherThread(timer, true);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_TRUE(PumpUntil([&] { return ticks >= ticksBefore + 2; }));
}

// Refuses every post to the timer's window, as a full queue would.
class RefusingPosts final : public TimerWindowApi {
public:
    bool Post(HWND, UINT) override { return false; }
};

// The owner thread can be busy for seconds (heavy paging, a long batch of
// launches) while the service thread switches the timer. Each switch returns
// without waiting for the owner; once the owner serves its queue again the
// timer ticks exactly when the last switch was on, also when nothing could
// be posted to the owner. A timer that starts off was switched off by its
// owner.
TEST_F(TimerTest, SwitchesWhileTheOwnerIsStalledEndInTheLastOnesState) {
    const struct {
        const char* what;
        bool startOn;
        std::vector<bool> switches;
        bool refusePosts;
    } cases[] = {
        {"off", true, {false}, false},
        {"on", false, {true}, false},
        {"off then on", true, {false, true}, false},
        {"on then off", false, {true, false}, false},
        {"off, on, off", true, {false, true, false}, false},
        {"on, off, on", false, {true, false, true}, false},
        {"on, its post refused", false, {true}, true},
        {"off then on, their posts refused", true, {false, true}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TimerWindowApi system;
        RefusingPosts refusing;
        std::atomic<int> ticks{0};
        TTimer timer(windowApplication, L"refused", c.refusePosts ? static_cast<TimerWindowApi&>(refusing) : system);
        timer.SetInterval(10);
        timer.SetOnTimer([&] { ++ticks; });
        ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));
        if (!c.startOn) {
            timer.SetEnabled(false);
            PumpFor(std::chrono::milliseconds(50));
        }

        // N.B. this thread, the owner, serves nothing until the switches are made.
        std::atomic<bool> done{false};
        std::atomic<long long> took{-1};
        std::thread other([&] {
            const auto start = std::chrono::steady_clock::now();
            for (const bool on : c.switches) timer.SetEnabled(on);
            took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                       .count();
            done = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done && std::chrono::steady_clock::now() < deadline) Sleep(5);
        const bool returnedWhileStalled = done;
        Sleep(100);  // the platform timer falls due meanwhile
        const int ticksAtStall = ticks;
        other.join();
        std::printf("%s: switched with the owner stalled in %lld us\n", c.what, took.load());
        EXPECT_TRUE(returnedWhileStalled) << "a switch waited for the owner thread";

        const bool on = c.switches.back();
        EXPECT_EQ(timer.Enabled(), on);
        if (on) {
            EXPECT_TRUE(PumpUntil([&] { return ticks >= ticksAtStall + 3; })) << "no ticks after the stall";
        } else {
            PumpFor(std::chrono::milliseconds(200));
            EXPECT_EQ(ticks, ticksAtStall) << "ticks while switched off";
        }
    }
}

TEST_F(TimerTest, HandlerErrorsGoToTheApplicationAndLaterEventsStillCome) {
    std::vector<std::wstring> handled;
    windowApplication.SetExceptionHandler([&](const Exception& e) { handled.push_back(e.Message()); });
    int ticks = 0;
    TTimer timer(windowApplication, L"refused");
    timer.SetInterval(10);
    timer.SetOnTimer([&] {
        ++ticks;
        if (ticks == 1) throw Exception(L"tick failed");
        if (ticks == 2) throw EAbort(L"aborted");  // dropped silently
    });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 4; }));
    EXPECT_EQ(handled, std::vector<std::wstring>{L"tick failed"});
    windowApplication.SetExceptionHandler(nullptr);
}

}  // namespace
}  // namespace nimbora
