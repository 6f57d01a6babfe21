// tolvane-mktrace: writes synthetic trace files with a valid header, for tests, the demo and
// benchmarks. For each file it prints "<path> <uuid> <signature>" on standard output.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tolvane/trace/qvif.h"
#include "tolvane/util/crypto.h"
#include "tolvane/util/misc.h"

namespace {
const char usage_text[] =
    "Usage: tolvane-mktrace [--size BYTES] [--sections LEN[,LEN...]] [--uuid HEX32]\n"
    "                       [--sig HEX64] [--count N] FILE...\n"
    "\n"
    "Writes trace files of BYTES bytes (default 1024) with a 330-byte header whose section\n"
    "lengths are LEN... (default: one section holding everything after the header). The UUID\n"
    "and signature are random unless given. With --count, FILE is a printf pattern taking\n"
    "the file's number (0 to N-1), as in dir/t%05d.slt.\n";

[[noreturn]] void die(const std::string &message) {
    fprintf(stderr, "tolvane-mktrace: %s\n", message.c_str());
    exit(2);
}

bool parse_hex(const char *text, unsigned char *out, size_t n) {
    if (strlen(text) != 2 * n) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned v;
        if (sscanf(text + 2 * i, "%2x", &v) != 1) return false;
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

uint64_t parse_number(const char *text, const char *what) {
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-')
        die(std::string("bad ") + what + ": " + text);
    return v;
}

// Fast filler so big traces do not look like runs of zeros on the wire.
void fill(unsigned char *buf, size_t n, uint64_t &state) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(buf + i, &state, 8);
    }
}

void write_all(int fd, const void *data, size_t n, const std::string &path) {
    auto *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) die(path + ": " + strerror(errno));
        p += w;
        n -= static_cast<size_t>(w);
    }
}
}  // namespace

int main(int argc, char **argv) {
    uint64_t size = 1024;
    std::vector<uint64_t> sections;
    bool fixed_uuid = false, fixed_sig = false;
    qvif_header header{};
    long count = -1;
    static const option options[] = {
        {"size", required_argument, nullptr, 's'},
        {"sections", required_argument, nullptr, 'l'},
        {"uuid", required_argument, nullptr, 'u'},
        {"sig", required_argument, nullptr, 'g'},
        {"count", required_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        switch (c) {
            case 's':
                size = parse_number(optarg, "size");
                break;
            case 'l':
                for (char *tok = strtok(optarg, ","); tok; tok = strtok(nullptr, ","))
                    sections.push_back(parse_number(tok, "section length"));
                if (sections.size() > QVIF_SECTION_MAX) die("at most 12 sections");
                break;
            case 'u':
                if (!parse_hex(optarg, header.uuid, 16)) die("--uuid takes 32 hexadecimal digits");
                fixed_uuid = true;
                break;
            case 'g':
                if (!parse_hex(optarg, header.sig, 32)) die("--sig takes 64 hexadecimal digits");
                fixed_sig = true;
                break;
            case 'n':
                count = static_cast<long>(parse_number(optarg, "count"));
                break;
            case 'h':
                fputs(usage_text, stdout);
                return 0;
            default:
                fputs(usage_text, stderr);
                return 2;
        }
    }
    if (optind >= argc || (count >= 0 && argc - optind != 1)) {
        fputs(usage_text, stderr);
        return 2;
    }
    if (sections.empty()) sections.push_back(size > sizeof header ? size - sizeof header : 0);
    memcpy(header.magic, "QVIF", 4);
    header.version = 1;
    for (size_t i = 0; i < sections.size(); i++) {
        header.section_table[i].id = static_cast<uint16_t>(i);
        header.section_table[i].len = sections[i];
    }

    std::vector<std::string> paths;
    if (count >= 0) {
        for (long i = 0; i < count; i++) {
            char path[4096];
            snprintf(path, sizeof path, argv[optind], static_cast<int>(i));
            paths.push_back(path);
        }
    } else {
        paths.assign(argv + optind, argv + argc);
    }

    tolvane_random_init();
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t state;
    tolvane_random_write(&state, sizeof state);
    state |= 1;
    for (const std::string &path : paths) {
        if (!fixed_uuid) tolvane_random_write(header.uuid, sizeof header.uuid);
        if (!fixed_sig) tolvane_random_write(header.sig, sizeof header.sig);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) die(path + ": " + strerror(errno));
        uint64_t left = size;
        size_t head = static_cast<size_t>(std::min<uint64_t>(left, sizeof header));
        write_all(fd, &header, head, path);
        left -= head;
        while (left > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
            fill(chunk.data(), n, state);
            write_all(fd, chunk.data(), n, path);
            left -= n;
        }
        if (close(fd) != 0) die(path + ": " + strerror(errno));
        char uuid[33];
        cr_sha256_string_t sig;
        tolvane_uuid_to_string(uuid, reinterpret_cast<const cr_uuid_t *>(header.uuid));
        cr_sha256_to_string(sig, reinterpret_cast<const cr_sha256_t *>(header.sig));
        printf("%s %s %s\n", path.c_str(), uuid, sig);
    }
    return 0;
}
