// The session byte buffer's growth and drain arithmetic, and response records cut from received
// bytes.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tolvane/net/cbuf.h"
#include "tolvane/net/session.h"
#include "tolvane/net/ssl.h"

namespace {
struct Buf {
    cr_cbuf_t *b;
    explicit Buf(uint32_t size) : b(cr_cbuf_create(size)) {}
    ~Buf() { cr_cbuf_destroy(b); }
    std::string content() const {
        const unsigned char *data;
        uint32_t n;
        cr_cbuf_memory(b, &data, &n);
        return std::string(reinterpret_cast<const char *>(data), n);
    }
};

std::string record(uint32_t status, uint64_t substatus, uint64_t length, const std::string &body) {
    cr_session_response_pb head{7, status, substatus, length};
    return std::string(reinterpret_cast<const char *>(&head), sizeof head) + body;
}

// What a stream of response bytes gives when fed in pieces of `piece` bytes (0: whole): each
// record as "status/substatus/sequence:body", how the stream ends, the bytes left waiting (none
// once a body is too large: feeding stops there).
struct Fed {
    std::vector<std::string> records;
    tolvane_writer_reply_result end;
    uint32_t held;
    uint32_t scanned;

    bool operator==(const Fed &) const = default;
};

Fed feed(const std::string &stream, size_t piece = 0) {
    tolvane_writer_replies r;
    EXPECT_TRUE(tolvane_writer_replies_init(&r));
    Fed f{};
    for (size_t at = 0; at < stream.size() || at == 0; at += piece > 0 ? piece : stream.size()) {
        std::string part = stream.substr(at, piece > 0 ? piece : std::string::npos);
        EXPECT_TRUE(tolvane_writer_replies_feed(&r, part.data(), part.size()));
        tolvane_writer_response rec;
        while ((f.end = tolvane_writer_replies_next(&r, &rec)) == TOLVANE_WRITER_REPLY_RECORD) {
            EXPECT_EQ(rec.buffer == nullptr, rec.length == 0);
            f.records.push_back(std::to_string(rec.status) + "/" + std::to_string(rec.substatus) +
                                "/" + std::to_string(rec.sequence) + ":" +
                                std::string(rec.buffer != nullptr ? rec.buffer : "", rec.length));
        }
        if (f.end == TOLVANE_WRITER_REPLY_TOO_LARGE || stream.empty()) break;
    }
    if (f.end == TOLVANE_WRITER_REPLY_MORE) f.held = tolvane_writer_replies_held(&r);
    f.scanned = r.scanned;
    tolvane_writer_replies_free(&r);
    return f;
}
}  // namespace

TEST(CrCbuf, CreationGrowthAndDrain) {
    EXPECT_EQ(Buf(0).b->capacity, 4064u);
    Buf full(65536);
    EXPECT_EQ(full.b->capacity, 65536u);
    std::string bytes(65536, 'x');
    ASSERT_TRUE(cr_cbuf_append(&full.b, bytes.data(), 65536));
    EXPECT_EQ(full.b->capacity, 65536u);
    ASSERT_TRUE(cr_cbuf_append(&full.b, "0123456789", 10));
    EXPECT_EQ(full.b->capacity, 131104u);
    EXPECT_EQ(cr_cbuf_length(full.b), 65546u);

    Buf big(65536);
    std::string more(200000, 'y');
    ASSERT_TRUE(cr_cbuf_append(&big.b, more.data(), 200000));
    EXPECT_EQ(big.b->capacity, 262240u);
    // A block past 4 GiB is refused, and the buffer is left as it was.
    EXPECT_FALSE(cr_cbuf_reserve(&big.b, UINT32_MAX - 100));
    EXPECT_EQ(big.b->capacity, 262240u);
    EXPECT_EQ(cr_cbuf_length(big.b), 200000u);

    Buf d(64);
    cr_cbuf_append(&d.b, "abcdef", 6);
    cr_cbuf_drain(d.b, 2);
    EXPECT_EQ(d.b->cursor.read, 0u);
    EXPECT_EQ(d.b->cursor.write, 4u);
    EXPECT_EQ(d.content(), "cdef");
    cr_cbuf_drain(d.b, 10);
    EXPECT_EQ(d.b->cursor.read, 0u);
    EXPECT_EQ(d.b->cursor.write, 0u);
}

TEST(CrCbuf, PlainReadGrowsByWindowsAndWriteDrains) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string data(10000, 'z');
    ASSERT_EQ(write(p[1], data.data(), data.size()), 10000);
    Buf b(0);
    EXPECT_EQ(cr_cbuf_read(p[0], &b.b, -1), 10000);
    EXPECT_EQ(b.b->capacity, 16352u);  // 4064, then 8160 for the first window, then 16352
    EXPECT_EQ(b.content(), data);
    EXPECT_EQ(cr_cbuf_write(p[1], b.b, 4000), 0);
    EXPECT_EQ(cr_cbuf_length(b.b), 6000u);
    EXPECT_EQ(cr_cbuf_write(p[1], b.b, -1), 0);
    EXPECT_EQ(cr_cbuf_length(b.b), 0u);
    close(p[1]);
    char sink[16384];
    EXPECT_EQ(read(p[0], sink, sizeof sink), 10000);
    EXPECT_EQ(cr_cbuf_read(p[0], &b.b, -1), 0);  // end of stream
    close(p[0]);
    EXPECT_EQ(cr_cbuf_read(p[0], &b.b, -1), -1);
    EXPECT_STREQ(cr_cbuf_error(b.b), "Bad file descriptor");
}

TEST(CrCbuf, TlsReadAndWriteThroughASessionPair) {
    // A client and a server session over memory buffers, with a throw-away certificate.
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX *server_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(server_ctx, cert);
    SSL_CTX_use_PrivateKey(server_ctx, key);
    cr_ssl client_ctx;
    std::string message;
    ASSERT_TRUE(cr_ssl_init(&client_ctx, nullptr, nullptr, &message));
    cr_ssl_session client;
    ASSERT_TRUE(cr_ssl_session_init(&client, &client_ctx, &message));
    ASSERT_TRUE(cr_ssl_session_memory(&client, &message));
    SSL *server = SSL_new(server_ctx);
    BIO *to_server = BIO_new(BIO_s_mem()), *to_client = BIO_new(BIO_s_mem());
    SSL_set_bio(server, to_server, to_client);
    SSL_set_accept_state(server);
    // The client's bytes move through the layer's own calls.
    auto pump = [&] {
        char buf[65536];
        for (int i = 0; i < 20; i++) {
            int n;
            while ((n = cr_ssl_session_flush(&client, buf, sizeof buf)) > 0)
                BIO_write(to_server, buf, n);
            SSL_do_handshake(server);
            while ((n = BIO_read(to_client, buf, sizeof buf)) > 0)
                EXPECT_EQ(cr_ssl_session_feed(&client, buf, n), n);
            if (!cr_ssl_session_established(&client)) SSL_do_handshake(client.md);
        }
    };
    cr_ssl_session_client(&client);
    EXPECT_FALSE(cr_ssl_session_established(&client));
    ASSERT_TRUE(cr_ssl_session_connect(&client, &message));
    EXPECT_EQ(message, "");
    pump();
    EXPECT_TRUE(cr_ssl_session_established(&client));

    Buf out(0), in(0);
    cr_cbuf_ssl_attach(out.b, &client);
    cr_cbuf_ssl_attach(in.b, &client);
    cr_cbuf_append(&out.b, "hello", 5);
    uint32_t n;
    EXPECT_EQ(cr_cbuf_ssl_write(0, out.b, 0, &n), CR_CBUF_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(cr_cbuf_length(out.b), 0u);
    pump();
    char got[16] = {};
    EXPECT_EQ(SSL_read(server, got, sizeof got), 5);
    EXPECT_STREQ(got, "hello");

    SSL_write(server, "world!", 6);
    pump();
    EXPECT_EQ(cr_cbuf_ssl_read(0, &in.b, -1, &n), CR_CBUF_EAGAIN);  // all there is, for now
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(in.content(), "world!");
    // Nothing to read is "would block", not a failure.
    char none[8];
    cr_ssl_status status;
    struct cr_ssl_error e;
    EXPECT_EQ(cr_ssl_session_read(&client, none, sizeof none, &status, &e), 0);
    EXPECT_EQ(status, CR_SSL_WOULD_BLOCK);

    SSL_shutdown(server);
    pump();
    EXPECT_EQ(cr_cbuf_ssl_read(0, &in.b, -1, &n), CR_CBUF_EOF);
    EXPECT_EQ(cr_ssl_session_read(&client, none, sizeof none, &status, &e), 0);
    EXPECT_EQ(status, CR_SSL_CLOSED);
    // The peer has closed already, so answering its alert completes the shutdown.
    EXPECT_EQ(cr_ssl_session_shutdown(&client), CR_SSL_OK);

    SSL_free(server);
    cr_ssl_session_free(&client);
    EXPECT_EQ(client.md, nullptr);
    SSL_CTX_free(server_ctx);
    cr_ssl_free(&client_ctx);
    EXPECT_EQ(client_ctx.md, nullptr);
    X509_free(cert);
    EVP_PKEY_free(key);
}

TEST(SessionResponse, RecordsAreTakenWholeWhateverTheirPieces) {
    const uint64_t text = UINT64_MAX;
    const uint32_t max = TOLVANE_WRITER_REPLY_MAX;
    const std::string nul(1, '\0');
    const auto more = TOLVANE_WRITER_REPLY_MORE, too_large = TOLVANE_WRITER_REPLY_TOO_LARGE;
    struct Case {
        const char *name;
        std::string stream;
        Fed whole;
    } cases[] = {
        {"a head short of a byte", record(0, 0, 0, "").substr(0, 23), {{}, more, 23, 0}},
        {"no body; what follows waits", record(0, 0, 0, "next"), {{"0/0/7:"}, more, 4, 0}},
        {"a counted body", record(2, 3, 5, "abcde"), {{"2/3/7:abcde"}, more, 0, 0}},
        {"a counted body short of a byte", record(0, 0, 5, "abcd"), {{}, more, 28, 0}},
        {"text up to and with its zero byte",
         record(0, 0, text, "ok" + nul + "more"),
         {{"0/0/7:ok" + nul}, more, 4, 0}},
        {"text still arriving", record(0, 0, text, "abc"), {{}, more, 27, 3}},
        {"records back to back",
         record(0, 0, 2, "ab") + record(1, 0, text, nul) + record(2, 4, 0, ""),
         {{"0/0/7:ab", "1/0/7:" + nul, "2/4/7:"}, more, 0, 0}},
        {"a counted body at the limit",
         record(0, 0, max, std::string(max, 'x')),
         {{"0/0/7:" + std::string(max, 'x')}, more, 0, 0}},
        {"a counted body past the limit, refused at its head",
         record(0, 0, max + 1, ""),
         {{}, too_large, 0, 0}},
        {"a body of 4 GiB", record(0, 0, 4294967296, ""), {{}, too_large, 0, 0}},
        {"text at the limit",
         record(0, 0, text, std::string(max - 1, 'y') + nul),
         {{"0/0/7:" + std::string(max - 1, 'y') + nul}, more, 0, 0}},
        {"text past the limit",
         record(0, 0, text, std::string(max, 'y') + nul),
         {{}, too_large, 0, max}},
        {"text that does not end",
         record(0, 0, text, std::string(max + 9, 'z')),
         {{}, too_large, 0, max}},
        {"a good record, then one too large",
         record(0, 0, 1, "a") + record(0, 0, max + 1, ""),
         {{"0/0/7:a"}, too_large, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(feed(c.stream), c.whole);
        // Any cut of the same bytes gives the same records and the same end.
        for (size_t piece : {1, 2, 23, 24, 25, 4096, 65536})
            EXPECT_EQ(feed(c.stream, piece), c.whole) << piece;
    }
}

TEST(SessionResponse, TextIsSearchedOnceAsItArrives) {
    tolvane_writer_replies r;
    ASSERT_TRUE(tolvane_writer_replies_init(&r));
    std::string head = record(0, 0, UINT64_MAX, "");
    ASSERT_TRUE(tolvane_writer_replies_feed(&r, head.data(), head.size()));
    tolvane_writer_response rec;
    // Byte by byte up to the limit: searched again from the start each time, this would take
    // half a million million steps.
    for (uint32_t i = 1; i < TOLVANE_WRITER_REPLY_MAX; i++) {
        ASSERT_TRUE(tolvane_writer_replies_feed(&r, "t", 1));
        ASSERT_EQ(tolvane_writer_replies_next(&r, &rec), TOLVANE_WRITER_REPLY_MORE);
        ASSERT_EQ(r.scanned, i);
    }
    ASSERT_TRUE(tolvane_writer_replies_feed(&r, "", 1));
    ASSERT_EQ(tolvane_writer_replies_next(&r, &rec), TOLVANE_WRITER_REPLY_RECORD);
    EXPECT_EQ(rec.length, uint32_t{TOLVANE_WRITER_REPLY_MAX});
    // The record taken is dropped by the next call, and the search starts afresh.
    EXPECT_EQ(tolvane_writer_replies_next(&r, &rec), TOLVANE_WRITER_REPLY_MORE);
    EXPECT_EQ(tolvane_writer_replies_held(&r), 0u);
    EXPECT_EQ(r.scanned, 0u);
    tolvane_writer_replies_free(&r);
}

TEST(SessionResponse, ErrorTexts) {
    EXPECT_STREQ(cr_session_strerror(CR_SESSION_ERROR_PARSE), "server parsing error");
    EXPECT_STREQ(cr_session_strerror(CR_SESSION_ERROR_EXISTS), "trace already exists with UUID");
    EXPECT_STREQ(cr_session_strerror(CR_SESSION_ERROR_TOKEN), "invalid token");
    EXPECT_STREQ(cr_session_strerror(CR_SESSION_ERROR_PROTOCOL), "protocol error");
    EXPECT_STREQ(cr_session_strerror(static_cast<cr_session_error_code>(7)), "");
    // The substatus is 64 bits wide on the wire: its high half must not vanish into "exists".
    EXPECT_STREQ(cr_session_strerror(static_cast<cr_session_error_code>((1ULL << 32) + 1)), "");

    struct cr_ssl_error eof {
        0, SSL_ERROR_SYSCALL, 0
    };
    EXPECT_STREQ(cr_ssl_strerror(&eof), "unexpected EOF");
    struct cr_ssl_error io {
        - 1, SSL_ERROR_SYSCALL, 0
    };
    EXPECT_STREQ(cr_ssl_strerror(&io), "I/O error");
    struct cr_ssl_error proto {
        - 1, SSL_ERROR_SSL, 0
    };
    EXPECT_STREQ(cr_ssl_strerror(&proto), "unknown protocol error");
}
