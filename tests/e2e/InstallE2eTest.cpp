// Installation and removal with the executable's own switches, under Wine's
// real Service Control Manager, from a folder whose path holds a space.

#include <chrono>

#include "tests/e2e/NimboraFixture.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;

std::wstring ServiceDescription() {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKeyPath, L"Description", RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

// A box's text that reports the system error `code` between `before` and
// `after`.
::testing::AssertionResult ReportsSystemError(const std::wstring& text, const std::wstring& before, DWORD code,
                                              const std::wstring& after) {
    for (const std::wstring& reason : SystemErrorTexts(code))
        if (text == before + L"System Error.  Code: " + std::to_wstring(code) + L".\r\n" + reason + after)
            return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not the text of error " << code << ": "
                                         << std::string(text.begin(), text.end());
}

using InstallE2e = NimboraFixture;

TEST_F(InstallE2e, SilentInstallRegistersTheServiceWithItsLocalizedNameAndDescription) {
    const DialogRun run = RunExe(L"/install /silent");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.dialogs.empty());

    std::vector<unsigned char> buffer;
    const QUERY_SERVICE_CONFIGW* config = service_.Config(buffer);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->dwServiceType, 0x10u);
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + exe_ + L"\"");
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Nimbora Memory Service");
    EXPECT_EQ(ServiceDescription(),
              L"Maintains memory performance by defragmenting used memory and allocating it back to the computer "
              L"system.");
}

TEST_F(InstallE2e, LanguageSettingChoosesTheCaptionTable) {
    const struct {
        const wchar_t* language;
        const wchar_t* displayName;
        const wchar_t* description;
    } cases[] = {
        {L"FRENCH", L"Nimbora Service M\u00e9moire",
         L"Maintenant les performances en d\u00e9fragmentant la m\u00e9moire utilis\u00e9e et la r\u00e9-allouer au "
         L"syst\u00e8me."},
        {L"Korean", L"Nimbora \uC11C\uBE44\uC2A4", nullptr},
        {L"german", L"Nimbora", L""},
    };
    for (const auto& c : cases) {
        service_.Delete();
        settings_.SetString(L"Language", c.language);
        ASSERT_EQ(RunExe(L"/install /silent").exitCode, 0u);
        std::vector<unsigned char> buffer;
        const QUERY_SERVICE_CONFIGW* config = service_.Config(buffer);
        ASSERT_NE(config, nullptr) << c.language;
        EXPECT_EQ(std::wstring(config->lpDisplayName), c.displayName) << c.language;
        if (c.description != nullptr) {
            EXPECT_EQ(ServiceDescription(), c.description) << c.language;
        }
    }
}

TEST_F(InstallE2e, InstallingTwiceReportsTheFailureAndLeavesTheDescriptionAlone) {
    Install();
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kServiceKeyPath, L"Description", REG_SZ, L"marker", 14);

    const DialogRun run = RunExe(L"/install /silent");
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.dialogs.size(), 1u);
    EXPECT_EQ(run.dialogs[0].caption, L"Error");
    EXPECT_TRUE(ReportsSystemError(run.dialogs[0].text, L"Service \"Nimbora Memory Service\" failed to install with error: \"",
                                   ERROR_SERVICE_EXISTS, L"\""));
    EXPECT_EQ(ServiceDescription(), L"marker");
}

TEST_F(InstallE2e, UninstallingTwiceReportsTheMissingService) {
    Install();
    const DialogRun first = RunExe(L"/uninstall /silent");
    EXPECT_EQ(first.exitCode, 0u);
    EXPECT_TRUE(first.dialogs.empty());
    EXPECT_FALSE(service_.Exists());

    const DialogRun second = RunExe(L"-UNINSTALL -Silent");
    EXPECT_EQ(second.exitCode, 0u);
    ASSERT_EQ(second.dialogs.size(), 1u);
    EXPECT_EQ(second.dialogs[0].caption, L"Error");
    EXPECT_TRUE(ReportsSystemError(second.dialogs[0].text, L"Service \"Nimbora\" failed to uninstall with error: \"",
                                   ERROR_SERVICE_DOES_NOT_EXIST, L"\""));
}

// Ticks before the start do nothing, with every gate open: the uptime rule
// waited out and settings under which the started service launches at once.
TEST_F(InstallE2e, SuccessIsShownWithoutSilentWhileTicksDoNothing) {
    WaitOutUptimeGate();
    settings_.SetDword(L"MemoryMaintain", 100);
    settings_.SetDword(L"ProcessorLimit", 0);
    settings_.SetDword(L"ExecutePeriod", 0);
    const DialogRun install = RunExe(L"/install");
    EXPECT_EQ(install.exitCode, 0u);
    ASSERT_EQ(install.dialogs.size(), 1u);
    EXPECT_EQ(install.dialogs[0].caption, L"Information");
    EXPECT_EQ(install.dialogs[0].text, L"Service installed successfully");
    EXPECT_EQ(install.dialogs[0].buttons, 1);

    // While the box is up its loop delivers timer events, which do nothing
    // before the service has started.
    const DialogRun uninstall = RunWithDialogs(L"\"" + exe_ + L"\" /UNINSTALL", [](const Dialog&) { Sleep(3500); });
    ASSERT_EQ(uninstall.dialogs.size(), 1u);
    EXPECT_EQ(uninstall.dialogs[0].text, L"Service uninstalled successfully");
    ASSERT_TRUE(CompanionsDone());
    EXPECT_TRUE(Launches().empty());

    // The same settings make a started service launch.
    Install();
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    EXPECT_TRUE(WaitUntil([&] { return !Launches().empty(); }, 30s)) << "a tick would not have acted";
}

// "C:\Nimbora E2E\NimboraService.exe" unquoted would start "C:\Nimbora.exe".
TEST_F(InstallE2e, QuotedPathStartsOurExecutableNotOneAtTheFirstSpace) {
    WaitOutUptimeGate();
    settings_.SetDword(L"MemoryMaintain", 100);
    settings_.SetDword(L"ProcessorLimit", 0);
    const std::wstring planted = L"C:\\Nimbora.exe";
    ASSERT_TRUE(CopyFileW(BuildOutput(L"StandInDefrag.exe").c_str(), planted.c_str(), FALSE));
    DeleteFileW(L"C:\\launches.log");
    Install();
    ASSERT_TRUE(service_.Start());
    EXPECT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    // Our service's first tick launches its companion from its own folder.
    EXPECT_TRUE(WaitUntil([&] { return !Launches().empty(); }, 30s)) << "our service did not run";
    EXPECT_TRUE(CompanionsDone());
    EXPECT_EQ(GetFileAttributesW(L"C:\\launches.log"), INVALID_FILE_ATTRIBUTES) << "the planted program ran";
    DeleteFileW(planted.c_str());
}

}  // namespace
}  // namespace nimbora::e2e
