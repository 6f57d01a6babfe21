#include "tolvane/util/misc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tempdir.h"
#include "tolvane/util/text.h"

namespace {
// A random device whose bytes are known: byte k of the stream is k modulo 251.
int pattern_device(const TempDir &dir, size_t size) {
    std::string p = dir.path + "/device";
    std::vector<unsigned char> bytes(size);
    for (size_t k = 0; k < size; k++) bytes[k] = static_cast<unsigned char>(k % 251);
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

::testing::AssertionResult from_stream(const unsigned char *got, size_t n, size_t stream_offset) {
    for (size_t i = 0; i < n; i++) {
        if (got[i] != (stream_offset + i) % 251) {
            return ::testing::AssertionFailure()
                   << "byte " << i << " is not stream byte " << stream_offset + i;
        }
    }
    return ::testing::AssertionSuccess();
}
}  // namespace

TEST(RandomPool, HandsOutEachByteOnceAndRefillsInWholeBlocks) {
    TempDir dir;
    int fd = pattern_device(dir, 3 * 4096);
    tolvane_random_init_fd(fd);
    unsigned char out[4096];

    tolvane_random_write(out, 0);  // asks nothing of the device
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);

    tolvane_random_write(out, 16);
    EXPECT_TRUE(from_stream(out, 16, 0));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 4096);
    tolvane_random_write(out, 16);
    EXPECT_TRUE(from_stream(out, 16, 16));
    tolvane_random_write(out, 4096 - 32);  // exactly the rest of the pool
    EXPECT_TRUE(from_stream(out, 4096 - 32, 32));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 4096);

    tolvane_random_write(out, 8);
    EXPECT_TRUE(from_stream(out, 8, 4096));
    // Too few left (4088 < 4089): the rest of the pool is dropped and the next block drawn.
    tolvane_random_write(out, 4089);
    EXPECT_TRUE(from_stream(out, 4089, 8192));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3 * 4096);
    tolvane_random_write(out, 7);
    EXPECT_TRUE(from_stream(out, 7, 8192 + 4089));
    close(fd);
}

TEST(RandomPool, RefillContinuesAfterShortReads) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::thread writer([fd = p[1]] {
        unsigned char chunk[1000];
        for (size_t sent = 0; sent < 4096; sent += sizeof chunk) {
            size_t n = std::min(sizeof chunk, 4096 - sent);
            for (size_t i = 0; i < n; i++) chunk[i] = static_cast<unsigned char>((sent + i) % 251);
            EXPECT_EQ(write(fd, chunk, n), static_cast<ssize_t>(n));
            usleep(5000);
        }
    });
    tolvane_random_init_fd(p[0]);
    unsigned char out[32];
    tolvane_random_write(out, 32);
    writer.join();
    EXPECT_TRUE(from_stream(out, 32, 0));
    close(p[0]);
    close(p[1]);
}

TEST(RandomPool, DeviceFailuresEndTheProcess) {
    TempDir dir;
    EXPECT_EXIT(
        {
            tolvane_random_init_fd(pattern_device(dir, 100));  // runs dry before a full block
            unsigned char out[8];
            tolvane_random_write(out, 8);
        },
        ::testing::ExitedWithCode(1),
        "^error: failed to acquire random number: Input/output error\n$");
    EXPECT_EXIT(
        {
            tolvane_random_init_fd(-1);
            unsigned char out[8];
            tolvane_random_write(out, 8);
        },
        ::testing::ExitedWithCode(1),
        "^error: failed to acquire random number: Bad file descriptor\n$");
}

TEST(RandomPool, SystemDeviceGivesDifferentDraws) {
    tolvane_random_init();
    unsigned char a[32], b[32];
    tolvane_random_write(a, sizeof a);
    tolvane_random_write(b, sizeof b);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
}

TEST(UuidText, LowercaseDigitsInByteOrder) {
    cr_uuid_t u;
    for (int i = 0; i < 16; i++) u.uuid[i] = static_cast<unsigned char>(i);
    char out[33];
    memset(out, 'X', sizeof out);
    tolvane_uuid_to_string(out, &u);
    EXPECT_STREQ(out, "000102030405060708090a0b0c0d0e0f");
    memset(u.uuid, 0xfe, sizeof u.uuid);
    tolvane_uuid_to_string(out, &u);
    EXPECT_STREQ(out, "fefefefefefefefefefefefefefefefe");
}

TEST(Readlink, CopiesTheTargetOrFailsWithNull) {
    TempDir dir;
    std::string link = dir.path + "/link";
    ASSERT_EQ(symlink("servers/one", link.c_str()), 0);
    char *target = reinterpret_cast<char *>(1);
    ASSERT_TRUE(tolvane_readlink(&target, link.c_str()));
    EXPECT_STREQ(target, "servers/one");
    free(target);
    // Around the sizes the reader tries, up to the longest target the system takes.
    for (size_t n : {255, 256, 257, 4095}) {
        std::string name(n, 'x');
        for (size_t i = 100; i < n; i += 100) name[i] = '/';
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0) << n;
        ASSERT_TRUE(tolvane_readlink(&target, link.c_str()));
        EXPECT_EQ(target, name);
        free(target);
    }

    target = reinterpret_cast<char *>(1);
    EXPECT_FALSE(tolvane_readlink(&target, dir.path.c_str()));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(target, nullptr);
    EXPECT_FALSE(tolvane_readlink(&target, (dir.path + "/missing").c_str()));
    EXPECT_EQ(errno, ENOENT);
}

TEST(Strerror, KeepsErrnoAndThreadOwnText) {
    errno = EAGAIN;
    EXPECT_STREQ(tolvane_strerror(ENOENT), "No such file or directory");
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_STREQ(tolvane_strerror(12345), "Unknown error 12345");
    std::string other;
    std::thread([&] { other = tolvane_strerror(99999); }).join();
    EXPECT_EQ(other, "Unknown error 99999");
}

TEST(ProcessEndingAllocation, SucceedOrEndWithTheirMessage) {
    char *s = tolvane_xasprintf("%s=%d", "port", 9090);
    EXPECT_STREQ(s, "port=9090");
    free(s);
    s = tolvane_xstrndup("abcdef", 3);
    EXPECT_STREQ(s, "abc");
    free(s);
    s = tolvane_xstrdup("");
    EXPECT_STREQ(s, "");
    free(s);

    volatile size_t huge = SIZE_MAX;
    EXPECT_EXIT(tolvane_xmalloc(huge), ::testing::ExitedWithCode(1),
                ": error: Cannot allocate memory\n\n$");
}

TEST(Printable, ControlsAndBrokenUtf8AreEscapedAndLongTextCut) {
    const struct {
        std::string in, out;
        size_t limit = std::string::npos;
    } cases[] = {
        {"plain text, a \\ and a \"quote\"", "plain text, a \\ and a \"quote\""},
        {"a\": aborted.\nFORGED warning: x\r\t", "a\": aborted.\\nFORGED warning: x\\r\\t"},
        {"\x1b[2J\x07\x7f", "\\x1b[2J\\x07\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa5"},
        // C1 controls (CSI among them), overlong forms, surrogates, cut sequences, stray bytes.
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J"},
        {"\xc0\x8a", "\\xc0\\x8a"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xe2\x82", "\\xe2\\x82"},
        {"\xff\x80", "\\xff\\x80"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"0123456789", "01234...", 5},
        {"01234", "01234", 5},
    };
    for (const auto &c : cases) EXPECT_EQ(tolvane_printable(c.in, c.limit), c.out) << c.in;
}
