#include "svchost/Messages.h"

#include <gtest/gtest.h>

#include <string>

#include "svchost/Exception.h"

namespace nimbora {
namespace {

TEST(MessageTexts, BuiltInTextsAreTheHostsExactTexts) {
    const MessageTexts t = MessageTexts::BuiltIn();
    EXPECT_EQ(t.ServiceFailedOn, L"Service failed on %s: %s");
    EXPECT_EQ(t.ServiceFailedCustom, L"Service failed in custom message(%d): %s");
    EXPECT_EQ(t.InstallOk, L"Service installed successfully");
    EXPECT_EQ(t.UninstallOk, L"Service uninstalled successfully");
    EXPECT_EQ(t.InstallFailed, L"Service \"%s\" failed to install with error: \"%s\"");
    EXPECT_EQ(t.UninstallFailed, L"Service \"%s\" failed to uninstall with error: \"%s\"");
    EXPECT_EQ(t.Execute, L"execute");
    EXPECT_EQ(t.Start, L"start");
}

TEST(MessageTexts, ActionWordsForControlCodesOneToFive) {
    const MessageTexts t = MessageTexts::BuiltIn();
    const struct {
        std::uint32_t code;
        const wchar_t* word;
    } cases[] = {{0, L""}, {1, L"stop"}, {2, L"pause"}, {3, L"continue"}, {4, L"interrogate"}, {5, L"shutdown"},
                 {6, L""}, {128, L""}, {200, L""}, {0xFFFFFFFF, L""}};
    for (const auto& c : cases) EXPECT_EQ(t.ActionWord(c.code), c.word) << c.code;
}

TEST(MessageTexts, FailedOnFillsTheActionAndTheMessage) {
    const MessageTexts t = MessageTexts::BuiltIn();
    EXPECT_EQ(t.FailedOn(t.Start, L"no settings"), L"Service failed on start: no settings");
    EXPECT_EQ(t.FailedOn(t.ActionWord(5), L"boom"), L"Service failed on shutdown: boom");
    EXPECT_EQ(t.FailedOn(t.Execute, L""), L"Service failed on execute: ");
    // Markers inside the message are text, not further fields.
    EXPECT_EQ(t.FailedOn(t.Stop, L"50%s %d done"), L"Service failed on stop: 50%s %d done");
}

TEST(MessageTexts, FailedInCustomShowsTheCodeAsASigned32BitDecimal) {
    const MessageTexts t = MessageTexts::BuiltIn();
    const struct {
        std::uint32_t code;
        const wchar_t* text;
    } cases[] = {
        {0, L"Service failed in custom message(0): x"},
        {128, L"Service failed in custom message(128): x"},
        {200, L"Service failed in custom message(200): x"},
        {255, L"Service failed in custom message(255): x"},
        {0x7FFFFFFF, L"Service failed in custom message(2147483647): x"},
        {0x80000000, L"Service failed in custom message(-2147483648): x"},
        {0xFFFFFFFF, L"Service failed in custom message(-1): x"},
    };
    for (const auto& c : cases) EXPECT_EQ(t.FailedInCustom(c.code, L"x"), c.text) << c.code;
}

TEST(FormatMessageText, ReplacesMarkersInOrder) {
    EXPECT_EQ(FormatMessageText(L"%s-%d-%s", {L"a", L"1", L"b"}), L"a-1-b");
    EXPECT_EQ(FormatMessageText(L"%s and %s", {L"one"}), L"one and ");     // surplus marker stays empty
    EXPECT_EQ(FormatMessageText(L"%s", {L"one", L"two"}), L"one");         // surplus argument dropped
    EXPECT_EQ(FormatMessageText(L"100%x %", {L"a"}), L"100%x %");          // unknown markers kept
    EXPECT_EQ(FormatMessageText(L"Service \"%s\": \"%s\"", {L"Nimbora", L"E"}), L"Service \"Nimbora\": \"E\"");
}

TEST(OSErrorMessage, CodeZeroAndOtherCodes) {
    EXPECT_EQ(OSErrorMessage(0, L"ignored"), L"A call to an OS function failed");
    EXPECT_EQ(OSErrorMessage(5, L"Access is denied"), L"System Error.  Code: 5.\r\nAccess is denied");
    EXPECT_EQ(OSErrorMessage(1073, L"The specified service already exists"),
              L"System Error.  Code: 1073.\r\nThe specified service already exists");
    EXPECT_EQ(OSErrorMessage(1060, L""), L"System Error.  Code: 1060.\r\n");
    EXPECT_EQ(OSErrorMessage(0x80004005, L"Unspecified error"),
              L"System Error.  Code: -2147467259.\r\nUnspecified error");
}

TEST(OSErrorMessage, EOSErrorCarriesItsCodeAndMessage) {
    const EOSError e(1073, L"The specified service already exists");
    EXPECT_EQ(e.ErrorCode(), 1073u);
    EXPECT_EQ(e.Message(), L"System Error.  Code: 1073.\r\nThe specified service already exists");
    EXPECT_STREQ(e.ClassName(), L"EOSError");
    const Exception& base = e;
    EXPECT_STREQ(base.ClassName(), L"EOSError");
    EXPECT_EQ(EOSError(0, L"x").Message(), L"A call to an OS function failed");
}

TEST(TrimSystemMessage, RemovesTrailingControlCharactersBlanksAndPeriods) {
    const struct {
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"Access is denied.\r\n", L"Access is denied"},
        {L"The service did not respond. \r\n", L"The service did not respond"},
        {L"Text . . .\t\r\n\x01", L"Text"},
        {L"v1.2.3 is gone", L"v1.2.3 is gone"},        // inner periods stay
        {L"  leading blanks stay", L"  leading blanks stay"},
        {L"\r\nline one\r\nline two\r\n", L"\r\nline one\r\nline two"},
        {L"ends with a comma,\r\n", L"ends with a comma,"},
        {L"...\r\n", L""},
        {L"", L""},
        {std::wstring(L"nul\0", 4), L"nul"},
    };
    for (const auto& c : cases) EXPECT_EQ(TrimSystemMessage(c.in), c.out);
}

}  // namespace
}  // namespace nimbora
