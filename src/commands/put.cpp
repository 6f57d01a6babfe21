// The put command: loads and checks every named trace file, then uploads them one at a time
// over HTTP(S) or the session protocol, printing one result line per stored file.
#include "tolvane/put.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tolvane/cf_universe.h"
#include "tolvane/crypto.h"
#include "tolvane/curl_writer.h"
#include "tolvane/fatal.h"
#include "tolvane/misc.h"
#include "tolvane/network.h"
#include "tolvane/qvif.h"
#include "tolvane/writer.h"

namespace {
struct {
    bool use_uuid;
    int rb;
    bool use_sha256;
    int srb;
    bool disconnect;
    bool unlink;
    bool insecure;
} cf;

struct file_record {
    char *path;
    void *data;
    off_t length;
};

file_record *files;
int n_file;
int n_processed;

// The identity of the file handed last to the session writer, for its result line.
struct {
    char uuid[33];
    cr_sha256_string_t sha256;
} file_data;

const char kUsage[] =
    "Usage: put [-h | --help] [-U | --randomize-uuid[=<bytes>]]\n"
    "       [-u | --unlink] [-S | --randomize-sha256[=<bytes>]]\n"
    "       [-k | --insecure]\n"
    "       <project> <token> <file>...\n";
static_assert(sizeof kUsage - 1 == 178);

// A byte count for a rewrite: strtol's leading number, within 1 to max.
int count_arg(const char *text, int max, const char *message) {
    long n = strtol(text, nullptr, 10);
    if (n < 1 || n > max) tolvane_fatal("%s", message);
    return static_cast<int>(n);
}

void put_load_file(file_record *f) {
    int fd = open(f->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        tolvane_fatal("error: failed to open file (%s): %s\n", f->path, tolvane_strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) tolvane_perror_exit("error: failed to get file information");
    if (static_cast<uintmax_t>(st.st_size) > 4294967295u)
        tolvane_fatal("error: file exceeds maximum length.\n");
    f->length = st.st_size;
    if (f->length <= static_cast<off_t>(sizeof(qvif_header)))
        tolvane_fatal("error: file appears truncated.\n");
    // Private and writable: identity rewrites change only this process's copy. Populating a
    // writable private mapping would copy every page up front, so the pages are read in while
    // the mapping is read-only and only then made writable; just a rewritten page is copied.
    size_t size = static_cast<size_t>(f->length);
    f->data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (f->data == MAP_FAILED || mprotect(f->data, size, PROT_READ | PROT_WRITE) != 0)
        tolvane_perror_exit("error: failed to load file");
    while (close(fd) != 0 && errno == EINTR) {
    }
    uint64_t expected;
    if (qvif_check_size(f->data, static_cast<uint64_t>(f->length), &expected) != QVIF_CHECK_OK)
        tolvane_fatal("error: size mismatch: %llu != %ju.\n",
                      static_cast<unsigned long long>(expected), static_cast<uintmax_t>(f->length));
}

void rewrite_identity(file_record *f) {
    auto *header = static_cast<qvif_header *>(f->data);
    if (cf.use_uuid) qvif_randomize_uuid(header, cf.rb);
    if (cf.use_sha256) qvif_randomize_sig(header, cf.srb);
}

// The 64 signature digits and 32 UUID digits of a header, as printed in result lines.
void identity_text(const void *data, cr_sha256_string_t sig, char uuid[33]) {
    auto *header = static_cast<const qvif_header *>(data);
    cr_sha256_to_string(sig, reinterpret_cast<const cr_sha256_t *>(header->sig));
    tolvane_uuid_to_string(uuid, reinterpret_cast<const cr_uuid_t *>(header->uuid));
}

void on_curl_post_complete(tolvane_curl_writer_t *writer, tolvane_curl_writer_response *response);

void submit_next_file_via_curl(tolvane_curl_writer_t *writer) {
    if (n_processed == n_file) {
        tolvane_curl_writer_destroy(writer);
        tolvane_exit(0);
    }
    file_record *f = &files[n_processed++];
    rewrite_identity(f);
    if (!tolvane_curl_writer_file_put(writer, f->path, f->data, static_cast<size_t>(f->length),
                                      on_curl_post_complete))
        tolvane_fatal("error: failed to prepare to post file.\n");
}

void on_curl_post_complete(tolvane_curl_writer_t *writer, tolvane_curl_writer_response *response) {
    const void *data;
    size_t length;
    tolvane_curl_writer_file_data_get(writer, &data, &length);
    if (tolvane_curl_writer_response_code_get(response) != TOLVANE_CURL_WRITER_RESPONSE_OK) {
        const char *why = tolvane_curl_writer_response_errstr_get(response);
        // Silent here: the transfer has already left the multi handle.
        tolvane_curl_writer_destroy(writer);
        tolvane_fatal("error: failed to post file \"%s\": %s\n", files[n_processed - 1].path, why);
    }
    cr_sha256_string_t sig;
    char uuid[33];
    identity_text(data, sig, uuid);
    printf("%s => %s\n", sig, uuid);
    fflush(stdout);
    if (cf.unlink) unlink(files[n_processed - 1].path);
    submit_next_file_via_curl(writer);
}

void put_prepare_data(tolvane_writer_t *writer) {
    file_record *f = &files[n_processed];
    rewrite_identity(f);
    identity_text(f->data, file_data.sha256, file_data.uuid);
    size_t length = static_cast<size_t>(f->length);
    uint32_t disconnect_after = UINT32_MAX;
    if (cf.disconnect) {
        uint64_t r;
        tolvane_random_write(&r, sizeof r);
        size_t point = static_cast<size_t>(r % length);
        fprintf(stderr, "warning: aborting after %zu bytes.\n", point);
        disconnect_after = static_cast<uint32_t>(point);
    }
    cr_session_command_code code =
        n_processed == n_file - 1 ? CR_SESSION_TOKEN_PUT_ONCE : CR_SESSION_TOKEN_PUT;
    tolvane_writer_enqueue(writer, code, f->data, length, disconnect_after);
    n_processed++;
}

void put_response(tolvane_writer_t *writer, tolvane_writer_response *response) {
    cr_session_response_status status = tolvane_writer_response_status(response);
    if (status == CR_SESSION_RESPONSE_ERROR) {
        cr_session_error_code code = tolvane_writer_response_error_code(response);
        const char *message = cr_session_strerror(code);
        if (code != CR_SESSION_ERROR_EXISTS || n_processed < 1)
            tolvane_fatal("error: %s\n", message);
        const char *path = files[n_processed - 1].path;
        if (cf.unlink) unlink(path);
        tolvane_fatal("error: failed to upload %s: %s\n", path, message);
    }
    if (status != CR_SESSION_RESPONSE_OK) tolvane_fatal("error: unrecognized server status\n");
    if (n_processed >= 1) {
        size_t length;
        const char *body = tolvane_writer_response_string(response, &length);
        // A body need not end in a zero byte: never print past its length.
        if (length > 1) {
            printf("%.*s => %s\n", static_cast<int>(std::min<size_t>(length, INT32_MAX)), body,
                   file_data.uuid);
        } else {
            printf("%s => %s\n", file_data.sha256, file_data.uuid);
        }
        fflush(stdout);
        if (cf.unlink) unlink(files[n_processed - 1].path);
    }
    if (n_processed >= n_file) tolvane_exit(0);
    put_prepare_data(writer);
}
}  // namespace

void tolvane_command_put_handler(int argc, char **argv) {
    static const option long_options[] = {
        {"randomize-uuid", optional_argument, nullptr, 'U'},
        {"randomize-sha256", optional_argument, nullptr, 'S'},
        {"disconnect", no_argument, nullptr, 'D'},
        {"unlink", no_argument, nullptr, 'u'},
        {"insecure", no_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    cf.use_uuid = cf.use_sha256 = cf.disconnect = false;
    optind = 0;  // a fresh scan, whatever scanned this process's options before
    int c;
    while ((c = getopt_long(argc, argv, "kuhU:S:D", long_options, nullptr)) != -1) {
        switch (c) {
            case 'U':
                cf.use_uuid = true;
                cf.rb =
                    optarg ? count_arg(optarg, 16, "error: uuid bytes must be <= 16 bytes.\n") : 16;
                break;
            case 'S':
                cf.use_sha256 = true;
                cf.srb = optarg
                             ? count_arg(optarg, 32, "error: sha256 bytes must be <= 32 bytes.\n")
                             : 32;
                break;
            case 'D':
                cf.disconnect = true;
                break;
            case 'u':
                cf.unlink = true;
                break;
            case 'k':
                cf.insecure = true;
                break;
            case 'h':
                tolvane_usage(stdout, kUsage);
            default:
                tolvane_usage(stderr, kUsage);
        }
    }
    int words = argc - optind;
    if (words < 1) {
        fputs("error: no project specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    if (words < 2) {
        fputs("error: no token specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    tolvane_cf_token_t *token = tolvane_cf_token_get(argv[optind + 1]);
    if (token == nullptr) tolvane_fatal("error: no such token found.\n");
    n_file = words - 2;
    if (n_file == 0) {
        fputs("error: no file specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    files = static_cast<file_record *>(calloc(static_cast<size_t>(n_file), sizeof(file_record)));
    if (files == nullptr) tolvane_perror_exit("memory allocation");
    for (int i = 0; i < n_file; i++) {
        files[i].path = argv[optind + 2 + i];
        put_load_file(&files[i]);
    }
    if (cf.use_uuid || cf.use_sha256 || cf.disconnect) tolvane_random_init();

    tolvane_cf_universe_t *universe = tolvane_cf_universe_get(nullptr);
    if (universe == nullptr) tolvane_fatal("error: no universe has been configured.\n");
    tolvane_cf_server_t *server = tolvane_cf_writer_next(universe, nullptr);
    tolvane_cf_server_type_t type = server ? tolvane_cf_server_type(server) : TOLVANE_CF_SERVER_RAW;
    tolvane_network_init();
    if (type == TOLVANE_CF_SERVER_HTTP || type == TOLVANE_CF_SERVER_HTTPS) {
        bool insecure = cf.insecure || tolvane_cf_universe_curl_insecure_get(universe);
        tolvane_curl_writer_t *writer = tolvane_curl_writer_create(
            universe, token,
            insecure ? TOLVANE_CURL_WRITER_F_INSECURE : TOLVANE_CURL_WRITER_F_NONE);
        if (writer == nullptr) tolvane_fatal("error: failed to create cURL network writer.\n");
        submit_next_file_via_curl(writer);
    } else if (tolvane_writer_create(universe, token, put_response) == nullptr) {
        tolvane_fatal("error: failed to create network writer.\n");
    }
    tolvane_network_run();
}
