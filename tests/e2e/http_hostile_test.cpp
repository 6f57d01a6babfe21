// put over HTTP against servers that misbehave on purpose: replies that never end or are too
// long, a reply that says "ok" only up to an escaped NUL, and kept-alive connections that the
// server closes without a word. Each case either stores every file or fails within seconds with
// the files kept, and the client's memory stays bounded whatever the server sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "harness.h"
#include "tolvane/net/curl_writer.h"

using namespace e2e;
using namespace std::chrono_literals;

TEST(HttpHostile, StoresOrFailsQuicklyWithBoundedMemory) {
    const std::string ok = R"({"response":"ok"})";
    auto padded_to = [&ok](size_t size) {
        return std::vector<std::string>{"--reply-body", ok, "--reply-pad",
                                        std::to_string(size - ok.size())};
    };
    const size_t max = TOLVANE_CURL_WRITER_REPLY_MAX;
    struct Case {
        const char *name;
        std::vector<std::string> receiver;
        std::string why;  // why the first file fails; every file is stored when empty
        bool https = false;
        const char *logged = "";  // in the receiver's log: the misbehaviour really happened
        std::string cause = "";   // the line before, "<port>" standing for the server's port
    } cases[] = {
        {"endless reply", {"--reply-body", ok, "--reply-endless"}, "reply exceeds 1 MiB."},
        {"reply a byte too long", padded_to(max + 1), "reply exceeds 1 MiB."},
        {"reply just long enough", padded_to(max), ""},
        {"ok up to a NUL",
         {"--reply-body", R"({"response":"ok\u0000junk"})"},
         "malformed post response.",
         false,
         "",
         "error: the reply from 127.0.0.1:<port> was not the expected JSON (HTTP 200, "
         "application/json, 27 bytes).\n"},
        {"closed after each reply", {"--close-after-reply"}, "", false, "closed after"},
        {"closed after each reply, HTTPS", {"--close-after-reply"}, "", true, "closed after"},
        {"closed when reused", {"--close-on-reuse"}, "", false, "closed unanswered"},
        {"closed when reused, HTTPS", {"--close-on-reuse"}, "", true, "closed unanswered"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sb;
        // Freed blocks that AddressSanitizer holds back are not the client's memory.
        if (const char *asan = getenv("ASAN_OPTIONS"))
            sb.setenv("ASAN_OPTIONS", std::string(asan) + ":quarantine_size_mb=0");
        std::vector<std::string> switches = c.receiver;
        if (c.https) switches.insert(switches.end(), {"--https", "0", "--cert-out", "ca.pem"});
        Receiver rx(sb, switches);
        std::string url = c.https ? "https://localhost:" + rx.port("https")
                                  : "http://127.0.0.1:" + rx.port("http");
        std::string cf = write_config(
            sb,
            {.write = url, .universe = c.https ? "curl.cainfo = " + sb.path("ca.pem") + "\n" : ""});
        // More files than libcurl retries a dead reused connection on one handle by itself.
        std::vector<std::string> args{"-c", cf, "put", "-u", "p", "t"};
        std::string out;
        std::vector<Trace> traces;
        std::istringstream made(
            sb.run(TOLVANE_MKTRACE, {"--count", "8", "--size", "20000", "f%d.slt"}).out);
        for (Trace t; made >> t.path >> t.uuid >> t.sig;) {
            t.line = t.sig + " => " + t.uuid + "\n";
            traces.push_back(t);
            args.push_back(t.path);
            out += t.line;
        }
        ASSERT_EQ(traces.size(), 8u);
        long peak = 0;
        auto start = std::chrono::steady_clock::now();
        Result r = sb.tolvane(args, {.timeout = 30s, .peak_rss_kib = &peak});
        auto took = std::chrono::steady_clock::now() - start;
        if (c.why.empty()) {
            EXPECT_EQ(r, exits(0, out));
            // A receiver told what to reply stores nothing; one that only closes stores all.
            bool stores =
                std::find(switches.begin(), switches.end(), "--reply-body") == switches.end();
            for (const Trace &t : traces)
                EXPECT_EQ(sb.exists("store/" + t.uuid + ".slt"), stores) << t.path;
        } else {
            std::string cause = c.cause;
            if (size_t at = cause.find("<port>"); at != std::string::npos)
                cause.replace(at, 6, rx.port("http"));
            EXPECT_EQ(
                r, exits(1, "", cause + "error: failed to post file \"f0.slt\": " + c.why + "\n"));
            for (const Trace &t : traces) EXPECT_TRUE(sb.exists(t.path)) << t.path;
            EXPECT_LT(took, 10s);
        }
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, (64 << 10) + kSanitizerRssKib) << "KiB at the peak";
        EXPECT_NE(rx.err().find(c.logged), std::string::npos) << rx.err();
    }
}
