// put over the session protocol, plain and in TLS, against servers that misbehave on purpose:
// answers too long or never ending, a record nobody asked for, answers before the payload has
// been sent. Each case either stores every file or fails within seconds with the file in flight
// kept, and the client's memory stays bounded whatever the server sends. Then a large upload in
// TLS must need no more memory than in plain (give or take 32 MiB).
#include <gtest/gtest.h>

#include <cstdlib>

#include "harness.h"
#include "tolvane/net/writer.h"
#include "tolvane/util/text.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {
const std::string kUnasked =
    "error: protocol error: the server sent a response nobody asked for.\n";
const std::string kEarly =
    "error: protocol error: the server answered before the trace was sent.\n";
const std::string kTooLarge = "error: response body too large.\n";

// A sandbox whose AddressSanitizer keeps no freed blocks back: they are not the client's memory.
void lean(Sandbox &sb) {
    if (const char *asan = getenv("ASAN_OPTIONS"))
        sb.setenv("ASAN_OPTIONS", std::string(asan) + ":quarantine_size_mb=0");
}

const size_t kMax = TOLVANE_WRITER_REPLY_MAX;
const std::string kBig = std::to_string(32 << 20);  // more than loopback buffers take at once
// A long body is shown cut, as all server text is.
const std::string kShownCut = std::string(TOLVANE_SERVER_TEXT_MAX, ' ') + "...";

struct Case {
    const char *name;
    std::vector<std::string> receiver;
    bool tls;
    std::string first_size;  // of f0; f1 and f2 are small
    int stored;              // files stored, reported and deleted
    std::string err;         // empty when every file is stored
    std::string left = "";   // left of the result lines when not the signature
    bool first_deleted = false;
    const char *logged = "";  // in the receiver's log: the misbehaviour really happened
};

// Each case: three traces put with -u to a receiver that misbehaves as the case says.
void run(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sb;
        lean(sb);
        std::vector<std::string> switches = c.receiver;
        switches.insert(switches.end(), {"--session", "0", "--session-tls", "0"});
        Receiver rx(sb, switches);
        std::string cf =
            write_config(sb, {.write = "127.0.0.1:" + rx.port(c.tls ? "session-tls" : "session"),
                              .universe = c.tls ? "ssl = true\n" : ""});
        std::vector<Trace> traces{trace(sb, "f0.slt", {"--size", c.first_size}),
                                  trace(sb, "f1.slt", {"--size", "20000"}),
                                  trace(sb, "f2.slt", {"--size", "20000"})};
        std::string out;
        for (int i = 0; i < c.stored; i++)
            out += c.left.empty() ? traces[i].line : c.left + " => " + traces[i].uuid + "\n";
        long peak = 0;
        auto start = std::chrono::steady_clock::now();
        Result r = sb.tolvane({"-c", cf, "put", "-u", "p", "t", "f0.slt", "f1.slt", "f2.slt"},
                              {.timeout = 30s, .peak_rss_kib = &peak});
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r, exits(c.err.empty() ? 0 : 1, out, c.err));
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(sb.exists(traces[i].path), i >= c.stored && !(i == 0 && c.first_deleted))
                << traces[i].path;
        EXPECT_LT(took, 10s);
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, (64 << 10) + kSanitizerRssKib) << "KiB at the peak";
        EXPECT_NE(rx.err().find(c.logged), std::string::npos) << rx.err();
    }
}
}  // namespace

// Answers too long, never ending, or not asked for.
TEST(SessionHostile, LongAndUnaskedAnswersFailQuicklyWithBoundedMemory) {
    run({
        {"endless text", {"--session-endless"}, false, "20000", 0, kTooLarge, "", false, "endless"},
        {"endless text, TLS",
         {"--session-endless"},
         true,
         "20000",
         0,
         kTooLarge,
         "",
         false,
         "endless"},
        {"text a byte too long",
         {"--session-body-text", "", "--session-pad", std::to_string(kMax)},
         false,
         "20000",
         0,
         kTooLarge},
        {"text just long enough",
         {"--session-body-text", "", "--session-pad", std::to_string(kMax - 1)},
         true,
         "20000",
         3,
         "",
         kShownCut},
        {"counted body a byte too long",
         {"--session-pad", std::to_string(kMax + 1)},
         true,
         "20000",
         0,
         kTooLarge},
        {"counted body just long enough",
         {"--session-pad", std::to_string(kMax)},
         false,
         "20000",
         3,
         "",
         kShownCut},
        {"extra record", {"--session-extra"}, false, "20000", 1, kUnasked, "", false, "unasked"},
        {"extra record, TLS",
         {"--session-extra"},
         true,
         "20000",
         1,
         kUnasked,
         "",
         false,
         "unasked"},
    });
}

// Answers before the payload has been sent.
TEST(SessionHostile, EarlyAnswersFailQuicklyWithBoundedMemory) {
    run({
        {"record before the first command",
         {"--session-greet"},
         false,
         kBig,
         0,
         kEarly,
         "",
         false,
         "greeted"},
        {"record before the first command, TLS",
         {"--session-greet"},
         true,
         kBig,
         0,
         kEarly,
         "",
         false,
         "greeted"},
        {"early OK", {"--session-early"}, false, kBig, 0, kEarly, "", false, "before its payload"},
        {"early OK, TLS",
         {"--session-early"},
         true,
         kBig,
         0,
         kEarly,
         "",
         false,
         "before its payload"},
        {"early ERROR",
         {"--session-early", "--session-status", "2", "--session-substatus", "3"},
         false,
         kBig,
         0,
         "error: invalid token\n",
         "",
         false,
         "before its payload"},
        {"early ERROR, TLS",
         {"--session-early", "--session-status", "2", "--session-substatus", "2"},
         true,
         kBig,
         0,
         "error: internal server error\n",
         "",
         false,
         "before its payload"},
        // The store says it has the trace already: that holds however early it says so.
        {"early ERROR that the trace exists",
         {"--session-early", "--session-status", "2", "--session-substatus", "1"},
         true,
         kBig,
         0,
         "error: failed to upload f0.slt: trace already exists with UUID\n",
         "",
         true,
         "before its payload"},
    });
}

TEST(SessionHostile, TlsNeedsNoMoreMemoryThanPlain) {
    Sandbox sb;
    lean(sb);
    Receiver rx(sb, {"--session", "0", "--session-tls", "0", "--discard"});
    Trace t = trace(sb, "big.slt", {"--size", std::to_string(192 << 20)});
    long peak[2] = {};
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        std::string cf =
            write_config(sb, {.write = "127.0.0.1:" + rx.port(tls ? "session-tls" : "session"),
                              .universe = tls ? "ssl = true\n" : ""});
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "--randomize-uuid", "p", "t", "big.slt"},
                             {.timeout = 60s, .peak_rss_kib = &peak[tls]})
                      .status,
                  0);
    }
    // A trace this large is sent from its file, never read in whole; what TLS adds is what it
    // holds encrypted.
    EXPECT_LT(peak[0], (64 << 10) + kSanitizerRssKib) << "KiB at the peak over plain";
    EXPECT_LT(peak[1] - peak[0], 32 << 10) << "KiB more in TLS than plain (" << peak[0] << ")";
}
