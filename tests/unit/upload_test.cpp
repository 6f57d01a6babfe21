// The trace header check, the choice of writer server and the HTTP reply interpretation: what
// decides whether a file is sent, where to, and whether the server stored it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fd_text.h"
#include "tempdir.h"
#include "tolvane/commands/put.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/net/curl_writer.h"
#include "tolvane/net/ssl.h"
#include "tolvane/trace/qvif.h"
#include "tolvane/util/fatal.h"

namespace {
// Checks a file of `size` bytes whose header holds the given section lengths.
qvif_check_result check(uint64_t size, std::vector<uint64_t> lens, uint64_t *expected) {
    qvif_header h{};
    for (size_t i = 0; i < lens.size(); i++) h.section_table[i].len = lens[i];
    return qvif_check_size(&h, size, expected);
}

void flush_and_leave(int status) {
    fflush(stdout);
    _exit(status);
}

struct Outcome {
    int status;
    std::string out, err;
    bool operator==(const Outcome &) const = default;
};

// Runs put in a child with the configuration file `cf`.
Outcome put(const TempDir &dir, const std::string &cf, std::vector<std::string> words) {
    int err[2];
    if (pipe(err) != 0) return {-1, "", "pipe"};
    std::string out = dir.path + "/put.out";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
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
    Outcome o;
    o.err = drain(err[0]);
    waitpid(pid, &o.status, 0);
    o.status = WIFEXITED(o.status) ? WEXITSTATUS(o.status) : -1;
    std::ostringstream text;
    text << std::ifstream(out).rdbuf();
    o.out = text.str();
    return o;
}

bool read_exact(int fd, void *buf, size_t n) {
    for (size_t got = 0; got < n;) {
        ssize_t r = read(fd, static_cast<char *>(buf) + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// A session server in a child for one connection: it keeps nothing and answers each command
// with an empty OK record once the payload has arrived. Returns its pid; *port is its port.
pid_t serve_session(int *port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 1) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    pid_t pid = fork();
    if (pid == 0) {
        int c = accept(s, nullptr, nullptr);
        char header[4], frame[45], sink[65536];
        if (!read_exact(c, header, sizeof header)) _exit(1);
        while (read_exact(c, frame, sizeof frame)) {
            uint64_t left;
            memcpy(&left, frame + 37, sizeof left);
            for (size_t n; left > 0; left -= n)
                if (!read_exact(c, sink, n = std::min<uint64_t>(left, sizeof sink))) _exit(1);
            const char ok[24] = {};
            if (write(c, ok, sizeof ok) != sizeof ok) _exit(1);
        }
        _exit(0);
    }
    close(s);
    return pid;
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
         "error: the connection to 127.0.0.1:1 failed during the TCP connect (Failed to connect to "
         "127.0.0.1 port 1 after N ms: Couldn't connect to server: Connection refused).\n"
         "error: failed to post file \"" +
             trace + "\": aborted connection.\n"},
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
        Outcome r = put(dir, dir.write("cf", text), {"p", "t", trace});
        // libcurl's text says how long the connect took.
        r.err = std::regex_replace(r.err, std::regex("after [0-9]+ ms"), "after N ms");
        EXPECT_EQ(r, (Outcome{1, "", c.err}));
    }
}

// A file is unmapped once the writer is done with it, batched with others until 64 MiB wait.
// A first file that large is unmapped before the second is sent, and its result line still
// shows its identity.
TEST(PutFileRecords, ADoneFileIsUnmappedWhileTheNextIsSent) {
    TempDir dir;
    std::string big = dir.write("big.slt", "");
    std::filesystem::resize_file(big, 65 << 20);  // sparse: all zero, a valid empty trace
    std::string small = dir.write("small.slt", std::string(331, '\0'));
    int port;
    pid_t server = serve_session(&port);
    ASSERT_GT(server, 0);
    std::string cf =
        dir.write("cf", "[universe]\nname = u\nwrite = 127.0.0.1:" + std::to_string(port) +
                            "\n[token]\nt = " + std::string(64, 'e') + "\n");
    const std::string line = std::string(64, '0') + " => " + std::string(32, '0') + "\n";
    EXPECT_EQ(put(dir, cf, {"p", "t", big, small}), (Outcome{0, line + line, ""}));
    int status;
    waitpid(server, &status, 0);
    EXPECT_EQ(status, 0);
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
    // The sum saturates: lengths that would wrap to a small total never pass.
    EXPECT_EQ(check(400, {UINT64_MAX, 71}, &expected), QVIF_CHECK_MISMATCH);
    EXPECT_EQ(expected, UINT64_MAX);
    EXPECT_EQ(check(400, {UINT64_MAX - 330, 1, 1}, &expected), QVIF_CHECK_MISMATCH);
    EXPECT_EQ(expected, UINT64_MAX);
    EXPECT_EQ(check(UINT64_MAX, {UINT64_MAX, UINT64_MAX}, &expected), QVIF_CHECK_MISMATCH);
    EXPECT_EQ(expected, UINT64_MAX);
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
        // Only the whole string counts: a NUL escaped into it does not end it.
        {R"({"response":"ok\u0000junk"})", false, "malformed post response.", false},
        {R"({"response":"ok\u0000","errstr":"E"})", false, "E", true},
        {R"({"response":"ok "})", false, "malformed post response.", false},
        {R"({"response":["ok"]})", false, "malformed post response.", false},
        {R"({"response":null,"errstr":"E"})", false, "E", true},
        {R"({"error":{"message":"X"},"errstr":"Y"})", false, "X", true},
        {R"({"error":"X","errstr":"Y"})", false, "Y", true},
        {R"({"error":{"message":7}})", false, "7", true},
        // The server's text is escaped (an escaped NUL included) and an object shows as JSON.
        {R"({"errstr":"a\nB\u001b[1m\u0000c\u009b"})", false, "a\\nB\\x1b[1m\\x00c\\xc2\\x9b",
         true},
        {R"({"errstr":{"k":"\n"}})", false, "{ \"k\": \"\\n\" }", true},
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
