// The trace header check, the choice of writer server and the HTTP reply interpretation: what
// decides whether a file is sent, where to, and whether the server stored it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tempdir.h"
#include "tolvane/cf_home.h"
#include "tolvane/curl_writer.h"
#include "tolvane/fatal.h"
#include "tolvane/put.h"
#include "tolvane/qvif.h"
#include "tolvane/ssl.h"

namespace {
// Checks a file of `size` bytes whose header holds the given section lengths.
qvif_check_result check(uint64_t size, std::vector<uint64_t> lens, uint64_t *expected) {
    qvif_header h{};
    for (size_t i = 0; i < lens.size(); i++) h.section_table[i].len = lens[i];
    return qvif_check_size(&h, size, expected);
}
std::string drain(int fd) {
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

void flush_and_leave(int status) {
    fflush(stdout);
    _exit(status);
}

// Runs put in a child with the configuration file `cf`: its exit status and standard error.
std::pair<int, std::string> put(const TempDir &dir, const std::string &cf,
                                std::vector<std::string> words) {
    int err[2];
    if (pipe(err) != 0) return {-1, "pipe"};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        close(err[1]);
        // The child leaves without running the test process's exit handlers.
        tolvane_exit_hook_set(flush_and_leave);
        cr_ssl_subsystem_init();
        tolvane_cf_load((dir.path + "/home").c_str(), cf.c_str());
        words.insert(words.begin(), "put");
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        tolvane_command_put_handler(static_cast<int>(words.size()), argv.data());
        flush_and_leave(99);
    }
    close(err[1]);
    std::string text = drain(err[0]);
    int status;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}
}  // namespace

// Who sends the files: the first configured writer server decides the protocol, the first one
// whose name resolves is the server used. Configured lists run right to left, an empty host
// name never resolves (and asks no name server), and nothing listens on port 1.
TEST(PutWriterChoice, EveryPathAndItsMessages) {
    TempDir dir;
    std::string trace = dir.write("t.slt", std::string(331, '\0'));
    const std::string curl_fail = "error: failed to create cURL network writer.\n";
    const std::string session_fail = "error: failed to create network writer.\n";
    const std::string refused = "error: failed to connect to 127.0.0.1:1 (connection refused).\n";
    struct Case {
        const char *universe;  // the universe block; none when null
        std::string err;
    } cases[] = {
        {nullptr, "error: no universe has been configured.\n"},
        // No writer server: the session path, which has no server to take.
        {"", session_fail},
        // HTTP first: nothing resolves; the first that resolves is not HTTP; a later one is.
        {"write = http://:80\n", "error: No reachable servers for writes.\n" + curl_fail},
        // (the choice comes before the transfer settings are looked at)
        {"write = http://:80\ncurl.sslversion = x\n",
         "error: No reachable servers for writes.\n" + curl_fail},
        {"write = 127.0.0.1:9 http://:80\n",
         "error: first reachable writer server 127.0.0.1:9 is not an HTTP server.\n" + curl_fail},
        {"write = http://127.0.0.1:1 http://:80\n",
         "error: failed to post file \"" + trace + "\": aborted connection.\n"},
        // Raw first: nothing resolves; a later raw server resolves; a later HTTP server resolves
        // and is spoken to in the session protocol all the same.
        {"write = :9\n", session_fail},
        {"write = :9\nwrite.ssl.method = x\n", session_fail},  // before the TLS settings
        {"write = 127.0.0.1:1 :9\n", refused},
        {"write = http://127.0.0.1:1 :9\n", refused},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.universe ? c.universe : "no universe");
        std::string text = "[token]\nt = " + std::string(64, 'e') + "\n";
        if (c.universe != nullptr) text = "[universe]\nname = u\n" + std::string(c.universe) + text;
        EXPECT_EQ(put(dir, dir.write("cf", text), {"p", "t", trace}), std::make_pair(1, c.err));
    }
}

TEST(TraceHeader, SizeCheck) {
    uint64_t expected = 0;
    EXPECT_EQ(check(330, {}, &expected), QVIF_CHECK_TRUNCATED);
    EXPECT_EQ(check(331, {}, &expected), QVIF_CHECK_OK);
    EXPECT_EQ(check(400, {70}, &expected), QVIF_CHECK_OK);
    EXPECT_EQ(check(400, {10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 60}, &expected), QVIF_CHECK_OK);
    EXPECT_EQ(check(400, {71}, &expected), QVIF_CHECK_MISMATCH);
    EXPECT_EQ(expected, 401u);
    // Data after the sections is allowed.
    EXPECT_EQ(check(1000, {1}, &expected), QVIF_CHECK_OK);
    // The sum wraps as a 64-bit number: lengths that overflow to a small total pass.
    EXPECT_EQ(check(400, {UINT64_MAX, 71}, &expected), QVIF_CHECK_OK);
    EXPECT_EQ(expected, 400u);
    EXPECT_EQ(check(400, {UINT64_MAX - 400}, &expected), QVIF_CHECK_MISMATCH);
    EXPECT_EQ(expected, UINT64_MAX - 70);
}

TEST(HttpReply, TheBodyAloneDecides) {
    struct Case {
        std::string body;
        bool ok;
        const char *errstr;
        bool owned;
    } cases[] = {
        {"", false, "aborted connection.", false},
        {"<html>502</html>", false, "could not parse post response.", false},
        {R"({"response":"ok"})", true, nullptr, false},
        {R"({"response":"ok","uuid":"x"} trailing)", true, nullptr, false},
        {R"({"response":"OK"})", false, "malformed post response.", false},
        {R"({"response":null,"errstr":"E"})", false, "E", true},
        {R"({"error":{"message":"X"},"errstr":"Y"})", false, "X", true},
        {R"({"error":"X","errstr":"Y"})", false, "Y", true},
        {R"({"error":{"message":7}})", false, "7", true},
        {R"({"error":{"message":null},"errstr":null})", false, "malformed post response.", false},
        {R"(["response","ok"])", false, "malformed post response.", false},
        {"{}", false, "malformed post response.", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        tolvane_curl_writer_response r =
            tolvane_curl_writer_translate(c.body.c_str(), c.body.size());
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(tolvane_curl_writer_response_code_get(&r),
                  c.ok ? TOLVANE_CURL_WRITER_RESPONSE_OK : TOLVANE_CURL_WRITER_RESPONSE_FAILED);
        if (c.errstr == nullptr) {
            EXPECT_EQ(r.errstr, nullptr);
        } else {
            EXPECT_STREQ(tolvane_curl_writer_response_errstr_get(&r), c.errstr);
        }
        EXPECT_EQ(r.errstr_needs_free, c.owned);
        if (r.errstr_needs_free) free(r.errstr);
    }
}
