#pragma once
// Formatting of the service host's message texts. The texts themselves are
// loaded once at start-up (string resources on Windows, the built-in literals
// elsewhere) and passed in, so formatting stays portable and testable.

#include <cstdint>
#include <string>

namespace nimbora {

// Plain decimal text: no leading zeros or separators, "-" when negative.
std::wstring DecimalText(std::int64_t value);
// Upper-case hexadecimal, zero-padded to `digits`.
std::wstring HexText(std::uint64_t value, int digits);

// Replaces the "%s" and "%d" markers of `format` in order with `args`.
// Unknown markers are kept as they stand; surplus markers stay empty.
std::wstring FormatMessageText(const std::wstring& format, std::initializer_list<std::wstring> args);

struct MessageTexts {
    std::wstring ServiceFailedOn;      // "Service failed on %s: %s"
    std::wstring ServiceFailedCustom;  // "Service failed in custom message(%d): %s"
    std::wstring Execute, Start, Stop, Pause, Continue, Interrogate, Shutdown;
    std::wstring InstallOk, UninstallOk, InstallFailed, UninstallFailed;
    std::wstring TimersExhausted;

    static MessageTexts BuiltIn();

    // The action word for control codes 1 to 5; empty for any other code.
    const std::wstring& ActionWord(std::uint32_t code) const;
    std::wstring FailedOn(const std::wstring& action, const std::wstring& message) const;
    std::wstring FailedInCustom(std::uint32_t code, const std::wstring& message) const;
};

}  // namespace nimbora
