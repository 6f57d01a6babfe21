// The universe and token blocks: which values are refused, which refusals end the program and
// which only warn, and how a block without content or name is reported.
#include <gtest/gtest.h>

#include "cf_cases.h"
#include "harness.h"

using namespace e2e;

namespace {
const std::string kNotice = retired_notice("view");

// The universe block's first lines; a line appended to it is line 3.
const std::string kHead = "[universe]\nname = main\n";

class CfUniverse : public CfCases {
   protected:
    // The line that comes before a bad value's own message: where it is and what it takes.
    std::string why(const std::string &key, const std::string &value, int line,
                    const std::string &takes = "true or false") {
        return "error: " + key + " = \"" + value + "\" at line " + std::to_string(line) + " of " +
               sb.path("cf") + "; it takes " + takes + ".\n";
    }
    void server_lists(const char *key);
};
}  // namespace

TEST_F(CfUniverse, EveryKeyWithAValidValueIsSilent) {
    const std::string all =
        "read = http://r:80 https://r:443 r:7000\n"
        "write = w:7001\n"
        "read.ssl.enabled = TRUE\nwrite.ssl.enabled = false\nssl = True\n"
        "read.ssl.method = TLSv1.2\nread.ssl.certificate = /r.pem\n"
        "write.ssl.method = TLSv1.3 \nwrite.ssl.certificate = /w.pem\n"
        "curl.insecure = false\ncurl.sslversion = tlsv1.2\ncurl.cainfo = /ca.pem\n"
        "curl.capath = /ca\ncurl.proxy = proxy.example\ncurl.proxyport = 3128\n"
        "curl.httpproxytunnel = TRUE\ncurl.ssl_verifypeer = fAlSe\n"
        "curl.ssl_verifyhost = false\ncurl.verbose = true\n"
        "username = u\npassword = p w =\nname = renamed\n";
    check({
        {kHead + all, 0, ""},
        // The proxy port is read like %ld: a sign, no range check, trailing text ignored.
        {kHead + "curl.proxyport = -1\ncurl.proxyport =  99999999999x\n", 0, ""},
    });
}

TEST_F(CfUniverse, SslSwitchesAndUnknownKeysOnlyWarn) {
    const std::string badSsl = "error: invalid SSL value.\n";
    check({
        {kHead + "ssl = yes\n", 0, why("ssl", "yes", 3) + badSsl},
        {kHead + "read.ssl.enabled = 1\n", 0, why("read.ssl.enabled", "1", 3) + badSsl},
        {kHead + "write.ssl.enabled = true \n", 0, why("write.ssl.enabled", "true ", 3) + badSsl},
        {kHead + "Name = other\n", 0, "error: universe block unknown key 'Name' at line 3.\n"},
        {kHead + "curl.verbose.extra = true\n", 0,
         "error: universe block unknown key 'curl.verbose.extra' at line 3.\n"},
        {kHead + "ssl = on\n# a\nwrite.sll.enabled = true\nwrite.ssl.enabled = off\n", 0,
         why("ssl", "on", 3) + badSsl +
             "error: universe block unknown key 'write.sll.enabled' at line 5.\n" +
             why("write.ssl.enabled", "off", 6) + badSsl},
        // A warning does not stop a later fatal error.
        {kHead + "ssl = no\ncurl.verbose = no\n", 1,
         why("ssl", "no", 3) + badSsl + why("curl.verbose", "no", 4) +
             "error: invalid cURL verbose value.\n"},
    });
}

TEST_F(CfUniverse, InvalidTransferSettingsEndTheProgram) {
    check({
        {kHead + "curl.insecure = yes\nbogus = 1\n", 1,
         why("curl.insecure", "yes", 3) + "error: invalid curl.insecure value.\n"},
        {kHead + "curl.proxyport = abc\n", 1,
         why("curl.proxyport", "abc", 3, "a number") + "error: invalid proxy port value.\n"},
        {kHead + "curl.proxyport =\n", 1,
         why("curl.proxyport", "", 3, "a number") + "error: invalid proxy port value.\n"},
        {kHead + "curl.proxyport = +\n", 1,
         why("curl.proxyport", "+", 3, "a number") + "error: invalid proxy port value.\n"},
        {kHead + "curl.httpproxytunnel = 1\n", 1,
         why("curl.httpproxytunnel", "1", 3) + "error: invalid http proxy tunnel value.\n"},
        {kHead + "curl.ssl_verifypeer = no\n", 1,
         why("curl.ssl_verifypeer", "no", 3) + "error: invalid verify peer value.\n"},
        {kHead + "curl.ssl_verifyhost = true \n", 1,
         why("curl.ssl_verifyhost", "true ", 3) + "error: invalid verify host value.\n"},
        {kHead + "curl.verbose =\n", 1,
         why("curl.verbose", "", 3) + "error: invalid cURL verbose value.\n"},
    });
}

TEST_F(CfUniverse, BlockNeedsContentAndAName) {
    const std::string empty = "error: universe configuration block at line ";
    check({
        {"[universe]\n", 1, empty + "1 is empty.\n"},
        {"# a\n[universe]\n# only comments\n\n[general]\n", 1, empty + "2 is empty.\n"},
        {"[universe]\n[universe]\nname = a\n", 1, empty + "1 is empty.\n"},
        {"# a\n[universe]\nwrite = h:1\nssl = true\n", 1, empty + "2 is missing name.\n"},
        {"[universe]\nssl = yes\n", 1,
         why("ssl", "yes", 2) + "error: invalid SSL value.\n" + empty + "1 is missing name.\n"},
        {"[universe]\nssl = true\n[universe]\nname = a\n", 1, empty + "1 is missing name.\n"},
        // A name does not carry over into the next block of the same universe.
        {kHead + "[universe]\nssl = true\n", 1, empty + "3 is missing name.\n"},
        {kHead + "[universe]\nname = main\nwrite = h:1\n[universe]\nname =\n", 0, ""},
    });
}

// Server lists, as `key` ("write" or "read") takes them.
void CfUniverse::server_lists(const char *key) {
    const std::string missingPort = "error: configuration file is missing port number at line 3.\n";
    const std::string parseError = "error: parse error at configuration file line 3.\n";
    const std::string badPort = "error: invalid port number at configuration file line 3.\n";
    struct {
        std::string value;
        std::string err;  // empty when the list is accepted
    } cases[] = {
        {"h:1", ""},
        {"h:65534", ""},
        {"http://h:80 https://h:443 h:7000", ""},
        {"h:80/upload", ""},
        {"h:+080", ""},
        {"a:1\tb", ""},
        {":80", ""},
        {"h:80\r", ""},
        {"h", missingPort},
        {"http://h", missingPort},
        {"a:1  b:2", missingPort},
        {"a:1 ", missingPort},
        {"h:", parseError},
        {"a:1 https://h:", parseError},
        {"h:0", badPort},
        {"h:65535", badPort},
        {"h:-1", badPort},
        {"h:4294967297", badPort},  // never wraps into a valid port
        {"h:abc", badPort},
        {"h: 80", parseError},
        {"HTTPS://h:443", badPort},
        {"[::1]:443", ""},
        {"https://[2001:db8::1]:443 [fe80::1%lo]:80", ""},
        {"[::1]:0", badPort},
        {"[::1]", missingPort},
        {"[::1]443", parseError},
        {"[::1:443", parseError},
        {"[]:443", parseError},
        {"[[::1]]:443", parseError},
        {"a:1 b:2 c:0", badPort},
    };
    for (const auto &c : cases) {
        std::string text = kHead + key + " = " + c.value + "\n";
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(sb.tolvane({"-c", sb.write("cf", text), "view"}),
                  c.err.empty() ? exits(0, "", kNotice) : exits(1, "", c.err));
    }
}

TEST_F(CfUniverse, WriteServerLists) {
    server_lists("write");
}

TEST_F(CfUniverse, ReadServerLists) {
    server_lists("read");
}

TEST_F(CfUniverse, TokensAreSixtyFourHexDigits) {
    const std::string hex = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";
    // The token is never shown: only its length and what it ends in.
    auto wrongLength = [](size_t n, const std::string &ending = "") {
        return "tolvane: error: wrong length token for project \"p\" at line 2: " +
               std::to_string(n) + " characters" + ending + ", not 64\n\n";
    };
    const std::string invalid =
        "tolvane: error: invalid token string for project \"p\" at line 2: not 64 hexadecimal "
        "digits\n\n";
    check({
        {"[token]\np = " + hex + "\n  p\t= " + hex + "\n", 0, ""},
        {"[token]\np = " + hex.substr(1) + "\n", 1, wrongLength(63)},
        {"[token]\np = " + hex + "0\n", 1, wrongLength(65)},
        {"[token]\np = " + hex + " \n", 1, wrongLength(65, ", the last a blank")},
        {"[token]\r\np = " + hex + "\r\n", 1, wrongLength(65, ", the last a carriage return")},
        {"[token]\np =\n", 1, wrongLength(0)},
        {"[token]\np = zz" + hex.substr(2) + "\n", 1, invalid},
        {"[token]\np = " + hex.substr(2) + "0g\n", 1, invalid},
        {"[token]\np = " + hex.substr(2) + "-1\n", 1, invalid},
        // Each pair is read on its own the way strtoul reads it.
        {"[token]\np = +f f" + hex.substr(4) + "\n", 0, ""},
        // Loading stops at the bad token: the broken universe after it is never read.
        {"[token]\np = x\n[universe]\n", 1, wrongLength(1)},
    });
}
