#pragma once
// The desktop probe's answer: the companion started with kDesktopProbeSwitch
// into a user's session writes one short line to the pipe it inherits as its
// standard output, and exits 0 only after writing it:
//
//   nimbora-probe 1 foreground=1234 app=5678 fullscreen=0 state=5
//
// "1" is the line's version. foreground: the process owning the foreground
// window (0: none); app: the app a frame host window shows (0: none);
// fullscreen: 1 when a full-screen program or presentation mode holds the
// desktop; state: the shell's user-notification state (0: not known).
// Numbers are decimal without leading zeros. The line is read by a LocalSystem
// process from a process running in a user's session: it is outside input,
// parsed strictly, and anything else (no line, a malformed one, a version not
// known, a crash's exit code) leaves the session's foreground not known.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "defrag/Planner.h"

namespace nimbora {

// The hidden switch that turns the companion into the desktop probe.
inline constexpr wchar_t kDesktopProbeSwitch[] = L"--probe-desktop";
// The longest line the probe writes (with its line end), and more than the
// reader takes in.
inline constexpr std::size_t kProbeReportMax = 128;

struct ProbeReport {
    std::uint32_t foregroundId = 0;
    std::uint32_t hostedAppId = 0;
    bool fullScreen = false;
    std::uint32_t state = 0;
    bool operator==(const ProbeReport&) const = default;
};

// The line, ending in "\n".
std::string FormatProbeReport(const ProbeReport& report);

// One line exactly as FormatProbeReport writes it, optionally ended by "\n"
// or "\r\n" and nothing after; nothing otherwise.
std::optional<ProbeReport> ParseProbeReport(std::string_view text);

// What the probe of `session` said: `exitCode` and what it wrote. Known only
// for exit code 0, a line that parses and a foreground process that is not 0;
// full screen whenever such a line says so.
SessionDesktop DesktopFromProbe(std::uint32_t session, std::uint32_t exitCode, std::string_view output);

}  // namespace nimbora
