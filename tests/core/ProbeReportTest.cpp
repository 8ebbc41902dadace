#include "defrag/ProbeReport.h"

#include <gtest/gtest.h>

namespace nimbora {
namespace {

TEST(ProbeReport, TheLineIsPinned) {
    EXPECT_EQ(FormatProbeReport({1234, 0, false, 5}), "nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\n");
    EXPECT_EQ(FormatProbeReport({4294967295u, 77, true, 3}),
              "nimbora-probe 1 foreground=4294967295 app=77 fullscreen=1 state=3\n");
}

TEST(ProbeReport, OnlyTheExactLineIsAccepted) {
    struct Case {
        const char* line;
        std::optional<ProbeReport> expected;
    };
    const Case cases[] = {
        {"nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\n", ProbeReport{1234, 0, false, 5}},
        {"nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\r\n", ProbeReport{1234, 0, false, 5}},
        {"nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5", ProbeReport{1234, 0, false, 5}},
        {"nimbora-probe 1 foreground=0 app=0 fullscreen=1 state=3\n", ProbeReport{0, 0, true, 3}},
        {"nimbora-probe 1 foreground=4294967295 app=4294967295 fullscreen=1 state=4294967295\n",
         ProbeReport{4294967295u, 4294967295u, true, 4294967295u}},
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"nimbora-probe 2 foreground=1234 app=0 fullscreen=0 state=5\n", std::nullopt},   // a version not known
        {"nimbora-probe 1 foreground=1234 app=0 fullscreen=0\n", std::nullopt},           // cut short
        {"nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5 x=1\n", std::nullopt},
        {"nimbora-probe 1 app=0 foreground=1234 fullscreen=0 state=5\n", std::nullopt},   // order
        {"nimbora-probe 1  foreground=1234 app=0 fullscreen=0 state=5\n", std::nullopt},  // two blanks
        {"nimbora-probe 1 foreground=01234 app=0 fullscreen=0 state=5\n", std::nullopt},  // leading zero
        {"nimbora-probe 1 foreground=-1 app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=+5 app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=4294967296 app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=99999999999 app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=0x10 app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground= app=0 fullscreen=0 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=12 app=0 fullscreen=2 state=5\n", std::nullopt},
        {"nimbora-probe 1 foreground=12 app=0 fullscreen=0 state=5\n\n", std::nullopt},   // two lines
        {"nimbora-probe 1 foreground=12 app=0 fullscreen=0 state=5\nnimbora-probe 1 foreground=9 app=0 "
         "fullscreen=0 state=5\n",
         std::nullopt},
        {"nimbora-probe 1 foreground=12 app=0 fullscreen=0 state=5\r", std::nullopt},
        {"NIMBORA-PROBE 1 foreground=12 app=0 fullscreen=0 state=5\n", std::nullopt},
        {" nimbora-probe 1 foreground=12 app=0 fullscreen=0 state=5\n", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseProbeReport(c.line), c.expected) << '"' << c.line << '"';
    EXPECT_EQ(ParseProbeReport(std::string_view("nimbora-probe 1 foreground=1\0 app=0 fullscreen=0 state=5", 56)),
              std::nullopt)
        << "a NUL inside";
    EXPECT_EQ(ParseProbeReport(std::string(200, ' ')), std::nullopt);
}

TEST(ProbeReport, ASessionIsKnownOnlyFromACleanExitWithAForegroundProcess) {
    struct Case {
        const char* what;
        std::uint32_t exitCode;
        const char* output;
        bool known;
        std::uint32_t foreground, app;
        bool fullScreen;
    };
    const Case cases[] = {
        {"answer", 0, "nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\n", true, 1234, 0, false},
        {"frame host", 0, "nimbora-probe 1 foreground=800 app=900 fullscreen=0 state=5\n", true, 800, 900, false},
        {"full screen", 0, "nimbora-probe 1 foreground=1234 app=0 fullscreen=1 state=3\n", true, 1234, 0, true},
        {"no foreground window", 0, "nimbora-probe 1 foreground=0 app=0 fullscreen=0 state=5\n", false, 0, 0, false},
        {"full screen, no foreground", 0, "nimbora-probe 1 foreground=0 app=0 fullscreen=1 state=3\n", false, 0, 0,
         true},
        {"no line", 0, "", false, 0, 0, false},
        {"malformed", 0, "nimbora-probe 1 foreground=12x\n", false, 0, 0, false},
        {"line, then failed", 1, "nimbora-probe 1 foreground=1234 app=0 fullscreen=1 state=5\n", false, 0, 0, false},
        {"crashed", 0xC0000005u, "", false, 0, 0, false},
        {"killed on time-out", 1, "", false, 0, 0, false},
    };
    for (const Case& c : cases) {
        const SessionDesktop d = DesktopFromProbe(3, c.exitCode, c.output);
        EXPECT_EQ(d.session, 3u) << c.what;
        EXPECT_TRUE(d.active) << c.what;
        EXPECT_EQ(d.known, c.known) << c.what;
        EXPECT_EQ(d.foregroundId, c.foreground) << c.what;
        EXPECT_EQ(d.hostedAppId, c.app) << c.what;
        EXPECT_EQ(d.fullScreen, c.fullScreen) << c.what;
    }
}

}  // namespace
}  // namespace nimbora
