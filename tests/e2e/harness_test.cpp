// The harness is what every end-to-end test trusts, so its own reports are checked here.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
Result sh(const Sandbox &sb, const std::string &script, const Options &o = {}) {
    return sb.run("/bin/sh", {"-c", script}, o);
}

// True once the process has ended (a zombie left for init to reap counts as ended).
bool gone(pid_t pid) {
    for (int i = 0; i < 200; i++) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return true;
        if (line.substr(line.rfind(')') + 2, 1) == "Z") return true;
        usleep(10000);
    }
    return false;
}
}  // namespace

TEST(Harness, ReportsStreamsStatusAndSignal) {
    Sandbox sb;
    EXPECT_EQ(sh(sb, "printf 'a\\nb'; printf 'e\\n' >&2; exit 3"), exits(3, "a\nb", "e\n"));
    EXPECT_EQ(sh(sb, "kill -SEGV $$"), dies(SIGSEGV));
}

TEST(Harness, KillsAtTheTimeLimitAndEndsLeftoverProcesses) {
    Sandbox sb;
    Result r = sh(sb, "echo started; exec sleep 30", {.timeout = 300ms});
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.out, "started\n");
    // A background child that keeps the pipes open does not hold the harness up.
    r = sh(sb, "sleep 30 & echo $! > pid; exit 0", {.timeout = 10s});
    EXPECT_EQ(r, exits(0));
    pid_t left = std::stoi(sb.read("pid"));
    EXPECT_TRUE(gone(left));
}

TEST(Harness, ReportsPeakResidentMemory) {
    Sandbox sb;
    long small = 0, large = 0;
    EXPECT_EQ(sb.run("/bin/true", {}, {.peak_rss_kib = &small}), exits(0));
    // awk doubles a string until it holds 128 MiB.
    EXPECT_EQ(sb.run("/usr/bin/awk", {"BEGIN { s = \"x\"; while (length(s) < 2^27) s = s s }"},
                     {.peak_rss_kib = &large}),
              exits(0));
    EXPECT_GT(small, 0);
    EXPECT_LT(small, 20 << 10);
    EXPECT_GT(large, 128 << 10);
}

TEST(Harness, GivesInputEnvironmentDirectoryAndArgv0) {
    Sandbox sb;
    sb.setenv("EXTRA", "x y");
    std::string big(200000, 'z');
    EXPECT_EQ(sh(sb, "wc -c", {.stdin_text = big}), exits(0, "200000\n"));
    ::setenv("TOLVANE_HARNESS_PARENT_ONLY", "1", 1);  // the test's own environment stays out
    EXPECT_EQ(sh(sb, "echo \"$HOME|$EXTRA|$(pwd)|$0|${TOLVANE_HARNESS_PARENT_ONLY-unset}\"",
                 {.argv0 = "renamed"}),
              exits(0, sb.dir() + "|x y|" + sb.dir() + "|renamed|unset\n"));
    ::unsetenv("TOLVANE_HARNESS_PARENT_ONLY");
    sb.write("sub/dir/f", "content");
    EXPECT_EQ(sb.read("sub/dir/f"), "content");
}

TEST(Harness, ReceiverNamesItsPortsAndKeepsThemAcrossARestart) {
    Sandbox sb;
    Receiver rx(sb, {"--session", "0"});
    std::string port = rx.port("session");
    EXPECT_THROW(rx.port("http"), std::out_of_range);  // a listener named replaces plain HTTP
    EXPECT_EQ(rx.stop(), 0);
    rx.restart();
    EXPECT_EQ(rx.port("session"), port);
}

TEST(Harness, MakesTracesAndTheUsualConfiguration) {
    Sandbox sb;
    const std::string uuid(32, '1');
    Trace t = trace(sb, "in/t.slt", {"--uuid", uuid});
    EXPECT_EQ(t.path, "in/t.slt");
    EXPECT_EQ(t.uuid, uuid);
    EXPECT_EQ(t.line, t.sig + " => " + uuid + "\n");
    EXPECT_EQ(t.sig.size(), 64u);
    EXPECT_THROW(trace(sb, "bad.slt", {"--uuid", "1"}), std::runtime_error);
    EXPECT_EQ(write_config(sb, {.head = "[general]\n", .write = "w", .universe = "x\n"}),
              sb.path("cf"));
    EXPECT_EQ(sb.read("cf"),
              "[general]\n[universe]\nname = u\nwrite = w\nx\n[token]\nt = " + kToken + "\n");
    write_config(sb, {.universe = "x\n", .tokens = "", .tail = "[daemon]\n"}, "cf2");
    EXPECT_EQ(sb.read("cf2"), "[token]\n[daemon]\n");
}
