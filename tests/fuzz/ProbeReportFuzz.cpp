// Parses arbitrary bytes as the desktop probe's line and checks that a line
// is accepted only when it is exactly what the probe writes for the values
// read back (with one optional line end), and that a session is known only
// with a foreground process.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "defrag/ProbeReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    const std::string_view text(reinterpret_cast<const char*>(input), size);
    const std::optional<ProbeReport> report = ParseProbeReport(text);
    const SessionDesktop desktop = DesktopFromProbe(7, 0, text);
    if (!report) {
        if (desktop.known || desktop.fullScreen) std::abort();
        return 0;
    }
    const std::string line = FormatProbeReport(*report);
    const std::string body = line.substr(0, line.size() - 1);
    if (text != line && text != body && text != body + "\r\n") std::abort();
    if (ParseProbeReport(line) != report) std::abort();
    if (desktop.known != (report->foregroundId != 0) || desktop.fullScreen != report->fullScreen) std::abort();
    if (desktop.known && (desktop.foregroundId != report->foregroundId || desktop.hostedAppId != report->hostedAppId))
        std::abort();
    return 0;
}
