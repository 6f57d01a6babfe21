// The trace header check and the HTTP reply interpretation: what decides whether a file is sent
// and whether the server stored it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tolvane/curl_writer.h"
#include "tolvane/qvif.h"

namespace {
// Checks a file of `size` bytes whose header holds the given section lengths.
qvif_check_result check(uint64_t size, std::vector<uint64_t> lens, uint64_t *expected) {
    qvif_header h{};
    for (size_t i = 0; i < lens.size(); i++) h.section_table[i].len = lens[i];
    return qvif_check_size(&h, size, expected);
}
}  // namespace

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
