#include "defrag/ProbeReport.h"

namespace nimbora {

namespace {

constexpr std::string_view kTag = "nimbora-probe 1";

// Takes "<key>=<number>" from the front of `text`: a decimal number without
// leading zeros (a lone 0 allowed) that fits 32 bits.
std::optional<std::uint32_t> TakeField(std::string_view& text, std::string_view key) {
    if (text.size() < key.size() + 2 || text.substr(0, key.size()) != key || text[key.size()] != '=')
        return std::nullopt;
    text.remove_prefix(key.size() + 1);
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 10 || (digits > 1 && text[0] == '0')) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
    text.remove_prefix(digits);
    return static_cast<std::uint32_t>(value);
}

bool TakeSpace(std::string_view& text) {
    if (text.empty() || text[0] != ' ') return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::string FormatProbeReport(const ProbeReport& report) {
    return std::string(kTag) + " foreground=" + std::to_string(report.foregroundId) +
           " app=" + std::to_string(report.hostedAppId) + " fullscreen=" + (report.fullScreen ? "1" : "0") +
           " state=" + std::to_string(report.state) + "\n";
}

std::optional<ProbeReport> ParseProbeReport(std::string_view text) {
    if (text.size() > kProbeReportMax) return std::nullopt;
    if (text.ends_with("\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with("\n"))
        text.remove_suffix(1);
    if (text.substr(0, kTag.size()) != kTag) return std::nullopt;
    text.remove_prefix(kTag.size());
    ProbeReport report;
    std::optional<std::uint32_t> value;
    if (!TakeSpace(text) || !(value = TakeField(text, "foreground"))) return std::nullopt;
    report.foregroundId = *value;
    if (!TakeSpace(text) || !(value = TakeField(text, "app"))) return std::nullopt;
    report.hostedAppId = *value;
    if (!TakeSpace(text) || !(value = TakeField(text, "fullscreen")) || *value > 1) return std::nullopt;
    report.fullScreen = *value == 1;
    if (!TakeSpace(text) || !(value = TakeField(text, "state"))) return std::nullopt;
    report.state = *value;
    if (!text.empty()) return std::nullopt;
    return report;
}

SessionDesktop DesktopFromProbe(std::uint32_t session, std::uint32_t exitCode, std::string_view output) {
    SessionDesktop desktop;
    desktop.session = session;
    desktop.active = true;
    if (exitCode != 0) return desktop;
    const std::optional<ProbeReport> report = ParseProbeReport(output);
    if (!report) return desktop;
    // N.B. a full-screen answer counts even without a foreground window: it
    // only ever makes the batch do less.
    desktop.fullScreen = report->fullScreen;
    if (report->foregroundId == 0) return desktop;
    desktop.known = true;
    desktop.foregroundId = report->foregroundId;
    desktop.hostedAppId = report->hostedAppId;
    return desktop;
}

}  // namespace nimbora
