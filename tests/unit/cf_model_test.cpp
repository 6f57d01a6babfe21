// What the loaded configuration model answers: server order, merges, universe choice, token
// precedence, JSON universes, general settings, watchers and default-option injection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tempdir.h"
#include "tolvane/config/cf.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/config/token_cache.h"
#include "tolvane/util/crypto.h"

namespace {
std::string hex(char digit) {
    return std::string(64, digit);
}

class CfModel : public ::testing::Test {
   protected:
    void TearDown() override { tolvane_cf_reset(); }

    // Loads a configuration file, with a configuration home whose current server is
    // "servers/host:9000" when a JSON configuration is given.
    void load(const std::string &cf, const std::string &json = "",
              const std::string &current_universe = "") {
        std::string home = dir.path + "/home";
        if (!json.empty()) {
            dir.write("home/servers/host:9000/config.json", json);
            symlink("servers/host:9000", (home + "/current_server").c_str());
        }
        if (!current_universe.empty())
            dir.write("home/servers/host:9000/current_universe", current_universe);
        tolvane_cf_load(home.c_str(), dir.write("cf", cf).c_str());
    }

    // The writer list as "type:address:service:flags" entries, in upload order.
    static std::vector<std::string> writers(tolvane_cf_universe_t *u) {
        std::vector<std::string> out;
        for (auto *s = tolvane_cf_writer_next(u, nullptr); s; s = tolvane_cf_writer_next(u, s)) {
            const char *address, *service;
            tolvane_cf_server_get(s, &address, &service);
            out.push_back(std::to_string(tolvane_cf_server_type(s)) + ":" + address + ":" +
                          service + ":" + std::to_string(s->flags) + " " + s->display);
        }
        return out;
    }

    TempDir dir;
};

using V = std::vector<std::string>;
}  // namespace

TEST_F(CfModel, ServerListsHoldTheirServersInReverseOrder) {
    load(
        "[universe]\nname = u\n"
        "write = a:1 https://h:443 http://w:80/upload :+080\n"
        "write = first:7 [::1]:4000 https://[2001:db8::1]:443\n"
        "read = r:1\tignored:2\n");
    auto *u = tolvane_cf_universe_get("u");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(writers(u), (V{"2:2001:db8::1:443:0 [2001:db8::1]:443", "0:::1:4000:0 [::1]:4000",
                             "0:first:7:0 first:7", "0::80:0 :80", "1:w:80:0 w:80",
                             "2:h:443:0 h:443", "0:a:1:0 a:1"}));
    ASSERT_NE(u->reader.slh_first, nullptr);
    EXPECT_STREQ(u->reader.slh_first->address, "r");
    EXPECT_STREQ(u->reader.slh_first->service, "1");
    EXPECT_EQ(u->reader.slh_first->linkage.sle_next, nullptr);
}

TEST_F(CfModel, NewUniverseDefaultsAndTlsFallback) {
    load("[universe]\nname = plain\n");
    auto *u = tolvane_cf_universe_get(nullptr);
    ASSERT_NE(u, nullptr);
    EXPECT_STREQ(u->name, "plain");
    EXPECT_TRUE(tolvane_cf_universe_curl_ssl_verifypeer_get(u));
    EXPECT_TRUE(tolvane_cf_universe_curl_ssl_verifyhost_get(u));
    EXPECT_FALSE(tolvane_cf_universe_curl_insecure_get(u));
    EXPECT_FALSE(tolvane_cf_universe_curl_verbose_get(u));
    EXPECT_FALSE(tolvane_cf_universe_ssl_writer(u));
    EXPECT_EQ(tolvane_cf_universe_curl_proxyport_get(u), 0);
    EXPECT_EQ(tolvane_cf_universe_curl_cainfo_get(u), nullptr);
    EXPECT_EQ(tolvane_cf_universe_ssl_method_writer_get(u), nullptr);
    EXPECT_FALSE(tolvane_cf_universe_ssl_verify_writer_get(u));
    EXPECT_EQ(tolvane_cf_universe_ssl_ca_writer_get(u), nullptr);
    EXPECT_EQ(tolvane_cf_writer_next(u, nullptr), nullptr);
    EXPECT_EQ(u->valid, 0u);

    tolvane_cf_server_t implicit{}, explicit_off{}, explicit_on{};
    explicit_off.flags = TOLVANE_CF_SERVER_F_SSL_EXPLICIT;
    explicit_on.flags = TOLVANE_CF_SERVER_F_SSL_EXPLICIT | TOLVANE_CF_SERVER_F_SSL;
    EXPECT_TRUE(tolvane_cf_server_ssl_get(&implicit, true));
    EXPECT_FALSE(tolvane_cf_server_ssl_get(&explicit_off, true));
    EXPECT_TRUE(tolvane_cf_server_ssl_get(&explicit_on, false));
}

TEST_F(CfModel, ALaterBlockAmendsOnlyTheKeysItGives) {
    load(
        "[universe]\nname = a\nwrite = a1:1 a2:2\ncurl.proxy = p \nssl = true\n"
        "[universe]\nname = b\nwrite = b:1\n"
        "[universe]\nname = a\nwrite = new:9\ncurl.proxyport = 3128x\nssl = maybe\n");
    auto *a = tolvane_cf_universe_get("a");
    EXPECT_EQ(writers(a), (V{"0:new:9:0 new:9"}));
    EXPECT_STREQ(tolvane_cf_universe_curl_proxy_get(a), "p ");
    EXPECT_EQ(tolvane_cf_universe_curl_proxyport_get(a), 3128);
    EXPECT_TRUE(tolvane_cf_universe_ssl_writer(a));
    EXPECT_EQ(a->valid, TOLVANE_CF_UNIVERSE_WRITER | TOLVANE_CF_UNIVERSE_CURL_PROXY |
                            TOLVANE_CF_UNIVERSE_READER_SSL | TOLVANE_CF_UNIVERSE_WRITER_SSL);
    // The merge keeps a's place: b is still the one inserted last under a new name.
    EXPECT_STREQ(tolvane_cf_universe_get(nullptr)->name, "b");
}

// Every key of the universe block: given alone it sets exactly its bits, amending a universe with
// it changes exactly the fields of those bits, and an unknown key among them is only reported.
TEST_F(CfModel, EachUniverseKeySetsItsBitsAndAmendsOnlyTheirFields) {
    using U = tolvane_cf_universe_t;
    using shown_t = std::function<std::string(const U *)>;
    auto text = [](char *U::*f) -> shown_t { return [f](const U *u) { return u->*f; }; };
    auto flag = [](bool U::*f) -> shown_t {
        return [f](const U *u) { return u->*f ? "true" : "false"; };
    };
    auto servers = [](tolvane_cf_server_list U::*f) -> shown_t {
        return [f](const U *u) {
            auto *s = (u->*f).slh_first;
            return std::string(s->address) + ":" + s->service + (s->linkage.sle_next ? "+" : "");
        };
    };
    struct Key {
        const char *key, *first, *second;
        uint32_t bits;
        shown_t shown;  // null: no field of its own
    };
    const Key keys[] = {
        {"username", "u1", "u2", TOLVANE_CF_UNIVERSE_USERNAME, text(&U::username)},
        {"password", "p1", "p2", TOLVANE_CF_UNIVERSE_PASSWORD, text(&U::password)},
        {"read.ssl.method", "m1", "m2", TOLVANE_CF_UNIVERSE_READ_SSL_METHOD,
         text(&U::read_ssl_method)},
        {"read.ssl.certificate", "c1", "c2", TOLVANE_CF_UNIVERSE_READ_SSL_CERTIFICATE,
         text(&U::read_ssl_certificate)},
        {"write.ssl.method", "m3", "m4", TOLVANE_CF_UNIVERSE_WRITE_SSL_METHOD,
         text(&U::write_ssl_method)},
        {"write.ssl.certificate", "c3", "c4", TOLVANE_CF_UNIVERSE_WRITE_SSL_CERTIFICATE,
         text(&U::write_ssl_certificate)},
        {"curl.sslversion", "v1", "v2", TOLVANE_CF_UNIVERSE_CURL_SSLVERSION,
         text(&U::curl_sslversion)},
        {"curl.cainfo", "i1", "i2", TOLVANE_CF_UNIVERSE_CURL_CAINFO, text(&U::curl_cainfo)},
        {"curl.capath", "a1", "a2", TOLVANE_CF_UNIVERSE_CURL_CAPATH, text(&U::curl_capath)},
        {"curl.proxy", "x1", "x2", TOLVANE_CF_UNIVERSE_CURL_PROXY, text(&U::curl_proxy)},
        {"curl.insecure", "true", "false", TOLVANE_CF_UNIVERSE_CURL_INSECURE,
         flag(&U::curl_insecure)},
        {"curl.proxyport", "1", "2", TOLVANE_CF_UNIVERSE_CURL_PROXYPORT,
         [](const U *u) { return std::to_string(u->curl_proxyport); }},
        {"curl.httpproxytunnel", "true", "false", TOLVANE_CF_UNIVERSE_CURL_HTTPPROXYTUNNEL,
         flag(&U::curl_httpproxytunnel)},
        {"curl.ssl_verifypeer", "false", "true", TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYPEER,
         flag(&U::curl_ssl_verifypeer)},
        {"curl.ssl_verifyhost", "false", "true", TOLVANE_CF_UNIVERSE_CURL_SSL_VERIFYHOST,
         flag(&U::curl_ssl_verifyhost)},
        {"curl.verbose", "true", "false", TOLVANE_CF_UNIVERSE_CURL_VERBOSE, flag(&U::curl_verbose)},
        {"read", "r:1", "r:2", TOLVANE_CF_UNIVERSE_READER, servers(&U::reader)},
        {"write", "w:1", "w:2", TOLVANE_CF_UNIVERSE_WRITER, servers(&U::writer)},
        {"read.ssl.enabled", "true", "false", TOLVANE_CF_UNIVERSE_READER_SSL, flag(&U::reader_ssl)},
        {"write.ssl.enabled", "true", "false", TOLVANE_CF_UNIVERSE_WRITER_SSL,
         flag(&U::writer_ssl)},
        {"ssl", "true", "false", TOLVANE_CF_UNIVERSE_READER_SSL | TOLVANE_CF_UNIVERSE_WRITER_SSL,
         nullptr},
        {"write.ssl.verify", "true", "false", TOLVANE_CF_UNIVERSE_WRITE_SSL_VERIFY,
         flag(&U::write_ssl_verify)},
        {"write.ssl.ca", "ca1", "ca2", TOLVANE_CF_UNIVERSE_WRITE_SSL_CA, text(&U::write_ssl_ca)},
    };
    std::string all = "[universe]\nname = u\n";
    for (const Key &k : keys) all += std::string(k.key) + " = " + k.first + "\n";
    for (const Key &k : keys) {
        SCOPED_TRACE(k.key);
        std::string line = std::string(k.key) + " = " + k.second + "\n";
        std::string head = all + "[universe]\nname = u\n" + line + "[universe]\nname = alone\n";
        ::testing::internal::CaptureStderr();
        load(head + "bogus = 1\n" + line);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "error: universe block unknown key 'bogus' at line " +
                      std::to_string(std::count(head.begin(), head.end(), '\n') + 1) + ".\n");
        const U *alone = tolvane_cf_universe_get("alone");
        ASSERT_NE(alone, nullptr);
        EXPECT_EQ(alone->valid, k.bits);
        if (k.shown) {
            EXPECT_EQ(k.shown(alone), k.second);
        }
        const U *u = tolvane_cf_universe_get("u");
        EXPECT_EQ(u->valid, 0x3fffffu);
        for (const Key &f : keys) {
            if (f.shown) {
                EXPECT_EQ(f.shown(u), (f.bits & k.bits) ? f.second : f.first) << f.key;
            }
        }
        tolvane_cf_reset();
    }
}

// A refused value for the writer's TLS switch is kept, through later lines and blocks, for the
// servers that leave the choice to the universe; the reader's switch is not the writer's.
TEST_F(CfModel, ARefusedWriterTlsSwitchIsKept) {
    const std::string invalid = "error: invalid SSL value.\n";
    struct Case {
        const char *lines;
        bool refused;
        std::string err;
    } cases[] = {
        {"ssl = yes\n", true, invalid},
        {"write.ssl.enabled = 1\nwrite.ssl.enabled = true\n", true, invalid},
        {"read.ssl.enabled = no\n", false, invalid},
        {"ssl = TRUE\nwrite.ssl.enabled = false\n", false, ""},
        {"[universe]\nname = u\nssl = maybe\n", true, invalid},
        {"ssl = maybe\n[universe]\nname = u\nssl = true\n", true, invalid},
    };
    tolvane_cf_server_t own_choice{};
    own_choice.flags = TOLVANE_CF_SERVER_F_SSL_EXPLICIT;
    tolvane_cf_server_t universe_choice{};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        ::testing::internal::CaptureStderr();
        load(std::string("[universe]\nname = u\n") + c.lines);
        // Each refusal's own line comes after the line that says where and what it takes.
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(err.ends_with(c.err) &&
                    (err.find("it takes true or false") == std::string::npos) == c.err.empty())
            << err;
        auto *u = tolvane_cf_universe_get("u");
        EXPECT_EQ(tolvane_cf_writer_ssl_refused(u, &universe_choice), c.refused);
        EXPECT_FALSE(tolvane_cf_writer_ssl_refused(u, &own_choice));
        tolvane_cf_reset();
    }
}

TEST_F(CfModel, AFailedCurrentUniverseReadIsPrintedWhereTheUniverseIsChosen) {
    // A pipe opens like a file but cannot seek; holding it open for writing keeps the open from
    // waiting for a writer.
    std::string path = dir.path + "/home/servers/host:9000/current_universe";
    std::filesystem::create_directories(dir.path + "/home/servers/host:9000");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int writer = open(path.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    const std::string message = "error: fseek failed: Illegal seek\n";

    ::testing::internal::CaptureStderr();
    load("", R"({"universes": ["j"], "endpoints": {}, "project_tokens": {}})");
    EXPECT_EQ(tolvane_cf_current_universe_get(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ::testing::internal::CaptureStderr();
    EXPECT_STREQ(tolvane_cf_universe_get(nullptr)->name, "j");
    EXPECT_NE(tolvane_cf_universe_get("j"), nullptr);
    EXPECT_STREQ(tolvane_cf_universe_get(nullptr)->name, "j");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), message + message);
    close(writer);
}

TEST_F(CfModel, TheCurrentUniverseFileChoosesOrFindsNothing) {
    std::string json = R"({"universes": ["j"], "endpoints": {}, "project_tokens": {}})";
    std::string cf = "[universe]\nname = f1\n[universe]\nname = f2\n";
    load(cf, json, "  f1 other\n");
    EXPECT_STREQ(tolvane_cf_current_universe_get(), "f1");
    EXPECT_STREQ(tolvane_cf_universe_get(nullptr)->name, "f1");
    tolvane_cf_reset();
    load(cf, json, "nowhere\n");
    EXPECT_EQ(tolvane_cf_universe_get(nullptr), nullptr);
    EXPECT_NE(tolvane_cf_universe_get("j"), nullptr);
}

TEST_F(CfModel, JsonUniversesTakeTheirServersFromTheListeners) {
    std::string json = R"({
      "universes": ["main", "main", "other", null, 7],
      "endpoints": {
        "writer": [{"port": 1, "protocol": "https"}, {"port": 2, "service": 80, "protocol": "SSL"}],
        "post": [{"service": 3, "protocol": "ssl"}],
        "reader": [{"port": 4, "protocol": "http"}, null, {"bad": 1}]
      },
      "project_tokens": {"main": {"p": ")" +
                       hex('1') + R"("}, "other": {"q": ")" + hex('2') + R"("}}
    })";
    load("[universe]\nname = main\ncurl.verbose = true\n[token]\np = " + hex('3') + "\n", json);
    auto *u = tolvane_cf_universe_get("main");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(writers(u), (V{"0:host:3:3 host:3", "0:host:2:1 host:2", "2:host:1:1 host:1"}));
    EXPECT_EQ(u->reader.slh_first->type, TOLVANE_CF_SERVER_HTTP);
    EXPECT_EQ(u->reader.slh_first->linkage.sle_next, nullptr);
    EXPECT_TRUE(tolvane_cf_universe_curl_verbose_get(u));
    std::string cert = dir.path + "/home/servers/host:9000/cert.pem";
    EXPECT_EQ(tolvane_cf_universe_curl_cainfo_get(u), cert);
    EXPECT_STREQ(tolvane_cf_current_server_get(), "host:9000");
    // No file universe has a new name, so the last JSON universe is the default.
    EXPECT_STREQ(tolvane_cf_universe_get(nullptr)->name, "other");

    // The file's token hides the JSON one; tokens are known by project alone.
    cr_sha256_string_t text;
    cr_sha256_to_string(text, tolvane_cf_token_sha256(tolvane_cf_token_get("p")));
    EXPECT_EQ(std::string(text), hex('3'));
    cr_sha256_to_string(text, tolvane_cf_token_sha256(tolvane_cf_token_get("q")));
    EXPECT_EQ(std::string(text), hex('2'));
    EXPECT_EQ(tolvane_cf_token_get("P"), nullptr);
}

TEST_F(CfModel, GeneralSettingsWatchersAndDefaults) {
    load("[token]\np = " + hex('a') + "\np = " + hex('b') +
         "\n[general]\nstacklore.timeout = abc\nstacklore.put_args = -u -k \n"
         "cache.path = $HOME/c\n"
         "[daemon]\na.root = /r/a\na.token = p\nb.root = /\nb.token = p\n"
         "[daemon]\na.root = /moved \n"
         "[default]\nput.a = 1\nput.b = 2\ndaemon.f = x\nput.x.y = 3\n");
    EXPECT_EQ(tolvane_cf_stacklore_timeout_get(), 0);
    EXPECT_STREQ(tolvane_cf_stacklore_put_args_get(), "-u -k ");
    EXPECT_STREQ(tolvane_cf_stacklore_path_get(), "/opt/stacklore/bin/quorvex");
    EXPECT_STREQ(tolvane_cf_viewer_get(), "/opt/stacklore/bin/vistrel %s");
    EXPECT_EQ(std::string(tolvane_cf_cache_path_get()), std::string(getenv("HOME")) + "/c");
    cr_sha256_string_t text;
    cr_sha256_to_string(text, tolvane_cf_token_sha256(tolvane_cf_token_get("p")));
    EXPECT_EQ(std::string(text), hex('b'));

    EXPECT_EQ(tolvane_cf_watcher_count(), 2);
    auto *w = tolvane_cf_watchers_get();
    EXPECT_STREQ(tolvane_cf_watcher_name_get(w), "b");
    EXPECT_EQ(tolvane_cf_watcher_id_get(w), 1);
    w = tolvane_cf_watcher_next(w);
    EXPECT_STREQ(tolvane_cf_watcher_root_get(w), "/moved ");
    EXPECT_STREQ(tolvane_cf_watcher_token_get(w), "p");
    EXPECT_EQ(tolvane_cf_watcher_id_get(w), 0);
    EXPECT_EQ(tolvane_cf_watcher_next(w), nullptr);

    const char *words[] = {"put", "-u", "p", "t", "f", nullptr};
    int argc = 5;
    char **argv = const_cast<char **>(words);
    tolvane_cf_argv(&argc, &argv);
    ASSERT_EQ(argc, 8);
    EXPECT_EQ(V(argv, argv + argc), (V{"put", "--a=1", "--b=2", "--x.y=3", "-u", "p", "t", "f"}));
    EXPECT_EQ(argv[argc], nullptr);

    const char *stack[] = {"stacklore", nullptr};
    argc = 1;
    argv = const_cast<char **>(stack);
    tolvane_cf_argv(&argc, &argv);
    EXPECT_EQ(argv, const_cast<char **>(stack));
}

TEST_F(CfModel, LoginTokenCacheKeepsTheLastTokenPerUniverse) {
    // Many names, each given twice: the second line of each wins.
    std::string many;
    for (int i = 0; i < 100000; i++)
        many += "n" + std::to_string(i % 50000) + " v" + std::to_string(i) + "\n";
    dir.write("home/servers/host:9000/login_tokens",
              "# comment\nu1 t1\nu2 t2 trailing words\nu1 t3\n" + many);
    load("", R"({"universes": [], "endpoints": {}, "project_tokens": {}})");
    EXPECT_STREQ(tolvane_token_cache_get("u1"), "t3");
    EXPECT_STREQ(tolvane_token_cache_get("u2"), "t2");
    EXPECT_EQ(tolvane_token_cache_get("u3"), nullptr);
    EXPECT_STREQ(tolvane_token_cache_get("n0"), "v50000");
    EXPECT_STREQ(tolvane_token_cache_get("n49999"), "v99999");
}

TEST(CfBinaryName, RelativePathsAreJoinedToTheWorkingDirectory) {
    char cwd[4096], exe[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    tolvane_cf_tolvane_binary_name_set("bin/tolvane");
    EXPECT_EQ(std::string(tolvane_cf_tolvane_binary_name_get()), std::string(cwd) + "/bin/tolvane");
    tolvane_cf_reset();
    // Found through PATH: the running executable, never a file in the working directory.
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    tolvane_cf_tolvane_binary_name_set("tolvane");
    EXPECT_EQ(std::string(tolvane_cf_tolvane_binary_name_get()),
              std::string(exe, static_cast<size_t>(n)));
    tolvane_cf_reset();
    tolvane_cf_tolvane_binary_name_set("/usr/bin/tolvane");
    EXPECT_STREQ(tolvane_cf_tolvane_binary_name_get(), "/usr/bin/tolvane");
    tolvane_cf_reset();
}
