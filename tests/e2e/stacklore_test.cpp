// stacklore end to end: the tracer is a small shell script in the sandbox; what it is given, what
// its output and its end make of the command, signals and the time limit, and the upload.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "harness.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
const std::string kStackloreUsage =
    "Usage: stacklore [-h | --help]\n"
    "       stacklore <project> <token> [--] <traceargs>...\n";
const std::string kNoName = "error: no trace filename returned from trace command.\n";
const std::string kTooLong = "error: command output greater than PATH_MAX.\n";

std::string missing(const std::string &name, const std::string &why = "No such file or directory") {
    return "error: failed to open file (" + name + "): " + why + "\n";
}

class Stacklore : public ::testing::Test {
   protected:
    // Writes the tracer script and a configuration naming it, with extra [general] lines.
    void setup(const std::string &script, const std::string &general = "", mode_t mode = 0755) {
        tracer = sb.write("tracer", "#!/bin/sh\n" + script + "\n", mode);
        cf = write_config(sb, {.head = "[general]\nstacklore.path = " + tracer + "\n" + general,
                               .write = rx ? "http://127.0.0.1:" + rx->port("http") : ""});
    }
    Result run(std::vector<std::string> args, std::chrono::milliseconds limit = 10s) {
        args.insert(args.begin(), {"-c", cf, "stacklore"});
        return sb.tolvane(args, {.timeout = limit});
    }
    // The file's text once it is there and not empty; "" after 10 s.
    std::string wait_for(const std::string &name) {
        for (int i = 0; i < 1000; i++, std::this_thread::sleep_for(10ms)) {
            if (sb.exists(name) && !sb.read(name).empty()) return sb.read(name);
        }
        return "";
    }
    Sandbox sb;
    std::optional<Receiver> rx;  // once started, the configuration uploads to it over HTTP
    std::string tracer, cf;
};
}  // namespace

TEST_F(Stacklore, Usage) {
    setup("echo ran > ran");
    EXPECT_EQ(run({"-h"}), exits(0, kStackloreUsage));
    EXPECT_EQ(run({"p", "t", "x", "--help"}), exits(0, kStackloreUsage));
    EXPECT_EQ(run({"-x", "p", "t", "x"}),
              exits(1, "", "stacklore: invalid option -- 'x'\n" + kStackloreUsage));
    EXPECT_EQ(run({"p", "t"}), exits(1, "", kStackloreUsage));
    EXPECT_EQ(run({"--", "p", "t"}), exits(1, "", kStackloreUsage));
    EXPECT_EQ(run({"p", "t", "-p", "1234"}),
              exits(1, "", "stacklore: invalid option -- 'p'\n" + kStackloreUsage));
    EXPECT_FALSE(sb.exists("ran"));
}

TEST_F(Stacklore, TraceArgumentsReachTheTracerExactly) {
    setup(R"(printf '%s\n' "$0" "$@" > args; echo missing.slt)");
    struct Case {
        std::vector<std::string> args;
        std::string seen;
    } cases[] = {
        {{"p", "t", "--", "-p", "1234"}, "-p\n1234\n"},
        {{"--", "p", "t", "-p", "1234"}, "-p\n1234\n"},
        {{"p", "t", "a b", "", "*"}, "a b\n\n*\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(run(c.args), exits(1, "", missing("missing.slt")));
        EXPECT_EQ(sb.read("args"), tracer + "\n" + c.seen);
    }
}

TEST_F(Stacklore, FirstLineOfTheOutputNamesTheTraceFile) {
    const std::string x4095(4095, 'x');
    struct Case {
        std::string script, err;
    } cases[] = {
        {R"(printf 'a.slt\r\nb.slt\n')", missing("a.slt")},
        {R"(printf 'a.slt\nb.slt')", missing("a.slt")},
        {R"(printf 'a.slt\rb.slt\n')", missing("a.slt")},
        {R"(printf ' a b.slt')", missing(" a b.slt")},
        {R"(printf 'a.slt\0b'; head -c 5000 /dev/zero)", missing("a.slt")},
        {":", kNoName},
        {R"(printf '\na.slt\n')", kNoName},
        {R"(printf '\r\na.slt')", kNoName},
        {R"(printf 'a.slt\n'; head -c 4089 /dev/zero | tr '\0' y)", missing("a.slt")},
        {R"(head -c 4095 /dev/zero | tr '\0' x)", missing(x4095, "File name too long")},
        {R"(printf 'a.slt\n'; head -c 4090 /dev/zero | tr '\0' y)", kTooLong},
        {R"(head -c 204800 /dev/zero | tr '\0' y)", kTooLong},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script);
        setup(c.script);
        EXPECT_EQ(run({"p", "t", "x"}), exits(1, "", c.err));
    }
}

TEST_F(Stacklore, TracerThatFails) {
    const std::string code = "error: stacklore command exited with non-zeroerror code ";
    struct Case {
        std::string script;
        mode_t mode;  // 0: no tracer at all
        std::string err;
    } cases[] = {
        {"echo a.slt; exit 3", 0755, code + "3\n"},
        {"echo a.slt; kill -TERM $$", 0755,
         "error: stacklore command terminated with signal 15 (Terminated)\n"},
        {"echo a.slt", 0644, "error: execve failed: Permission denied\n" + code + "1\n"},
        {"echo a.slt", 0, "error: execve failed: No such file or directory\n" + code + "1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script + " " + std::to_string(c.mode));
        setup(c.script, "", c.mode ? c.mode : 0755);
        if (c.mode == 0) std::filesystem::remove(tracer);
        EXPECT_EQ(run({"p", "t", "x"}), exits(1, "", c.err));
    }
}

TEST_F(Stacklore, TimeLimit) {
    setup("sleep 30", "stacklore.timeout = 2\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        run({"p", "t", "x"}),
        exits(1, "", "error: child process did not terminate in stacklore.timeout (2) seconds.\n"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 8s);
}

TEST_F(Stacklore, InterruptAndTerminateAreForwardedToTheTracer) {
    // The shell's own remarks on its sleep, which the signal reaches too, are not ours to check.
    setup(R"(exec 2>/dev/null
trap 'echo INT > got; exit 0' INT
trap 'echo TERM > got; exit 0' TERM
echo > ready
while :; do sleep 0.05; done)");
    for (auto [sig, status, name] : {std::tuple{SIGINT, 130, "INT\n"}, {SIGTERM, 143, "TERM\n"}}) {
        SCOPED_TRACE(name);
        std::filesystem::remove(sb.path("ready"));
        std::filesystem::remove(sb.path("got"));
        auto bg = sb.spawn(TOLVANE_BINARY, {"-c", cf, "stacklore", "p", "t", "x"});
        ASSERT_NE(wait_for("ready"), "");
        kill(bg->pid(), sig);
        int ws = bg->wait(10s);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == status) << ws;
        EXPECT_EQ(wait_for("got"), name);
        EXPECT_EQ(bg->err(), "");
    }
}

// The tracer runs in a process group of its own, and however it ends nothing of that group is
// left: not what it started in the background (which would keep its output pipe open, and may
// hold the traced program), and not a tracer that ignores the polite signal.
TEST_F(Stacklore, NothingOfTheTracerIsLeftBehind) {
    auto alive = [&](const std::string &pid_file) {
        std::string pid = wait_for(pid_file);
        pid = pid.substr(0, pid.find('\n'));
        // Gone, or a zombie waiting for whoever adopted it.
        for (int i = 0; i < 100; i++, std::this_thread::sleep_for(20ms)) {
            std::ifstream stat("/proc/" + pid + "/stat");
            std::string line;
            if (!std::getline(stat, line) || line.find(") Z ") != std::string::npos) return false;
        }
        return true;
    };
    const std::string background = "sleep 30 & echo $! > bg.pid\n";
    setup(background + "sleep 30", "stacklore.timeout = 1\n");
    EXPECT_EQ(
        run({"p", "t", "x"}),
        exits(1, "", "error: child process did not terminate in stacklore.timeout (1) seconds.\n"));
    EXPECT_FALSE(alive("bg.pid")) << "time limit";
    std::filesystem::remove(sb.path("bg.pid"));
    setup(background + "echo f.slt");
    EXPECT_EQ(run({"p", "t", "x"}), exits(1, "", missing("f.slt")));
    EXPECT_FALSE(alive("bg.pid")) << "tracer done";

    setup("exec 2>/dev/null\ntrap '' TERM\necho $$ > tracer.pid\n" + background +
          "while :; do sleep 0.05; done");
    auto bg = sb.spawn(TOLVANE_BINARY, {"-c", cf, "stacklore", "p", "t", "x"});
    ASSERT_NE(wait_for("bg.pid"), "");
    ASSERT_NE(wait_for("tracer.pid"), "");
    kill(bg->pid(), SIGTERM);
    int ws = bg->wait(10s);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 143) << ws;
    EXPECT_FALSE(alive("tracer.pid")) << "tracer ignoring SIGTERM";
    EXPECT_FALSE(alive("bg.pid")) << "its background child";
}

TEST_F(Stacklore, PutArgumentsAreExpandedIntoPutOptions) {
    setup("echo f.slt", "stacklore.put_args = -u $TOLVANE_UNDEFINED\n");
    EXPECT_EQ(run({"p", "t", "x"}), exits(1, "", "error: wordexp failed: Invalid argument\n"));

    rx.emplace(sb);
    for (auto [put_args, kept] : {std::pair{"", true}, {"-u -k", false}, {"'-u'", false}}) {
        SCOPED_TRACE(put_args);
        setup("echo f.slt", "stacklore.put_args = " + std::string(put_args) + "\n");
        Trace f = trace(sb, "f.slt");
        std::string content = sb.read("f.slt");
        EXPECT_EQ(run({"p", "t", "--", "-p", "1"}), exits(0, f.line));
        EXPECT_EQ(sb.exists("f.slt"), kept);
        EXPECT_EQ(sb.read("store/" + f.uuid + ".slt"), content);
    }
}

TEST_F(Stacklore, UploadIsNotCutShortByTheTimeLimit) {
    // The receiver takes longer to answer than the tracer was allowed to run.
    rx.emplace(sb, std::vector<std::string>{"--delay-ms", "1500"});
    setup("echo \"$PWD/f.slt\"", "stacklore.timeout = 1\n");
    Trace f = trace(sb, "f.slt");
    std::string content = sb.read("f.slt");
    EXPECT_EQ(run({"p", "t", "x"}), exits(0, f.line));
    EXPECT_FALSE(sb.exists("f.slt"));
    EXPECT_EQ(sb.read("store/" + f.uuid + ".slt"), content);
}

TEST_F(Stacklore, TraceFileNamedLikeAnOptionIsStillTheFile) {
    rx.emplace(sb);
    setup("echo --help");
    EXPECT_EQ(run({"p", "t", "x"}), exits(1, "", missing("--help")));
    Trace f = trace(sb, "f.slt");
    std::filesystem::rename(sb.path("f.slt"), sb.path("--help"));
    EXPECT_EQ(run({"p", "t", "x"}), exits(0, f.line));
    EXPECT_FALSE(sb.exists("--help"));
    // Put arguments that end the options themselves get no second "--".
    setup("echo f.slt", "stacklore.put_args = -u --\n");
    f = trace(sb, "f.slt");
    EXPECT_EQ(run({"p", "t", "x"}), exits(0, f.line));
    EXPECT_FALSE(sb.exists("f.slt"));
}
