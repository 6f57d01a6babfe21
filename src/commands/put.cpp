// The put command: loads and checks every named trace file, then uploads them one at a time
// over HTTP(S) or the session protocol, printing one result line per stored file. The handler
// runs four steps: parse the options and words, load the files, choose the writer, run.
#include "tolvane/commands/put.h"

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
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "put_channel.h"
#include "put_progress.h"
#include "tolvane/config/cf.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_universe.h"
#include "tolvane/net/curl_writer.h"
#include "tolvane/net/limits.h"
#include "tolvane/net/network.h"
#include "tolvane/net/payload.h"
#include "tolvane/net/writer.h"
#include "tolvane/trace/qvif.h"
#include "tolvane/util/crypto.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"
#include "tolvane/util/text.h"
#include "tolvane/util/unique.h"

namespace {
// The settings of one run, all reset as it starts: stacklore calls the handler in-process.
struct settings {
    bool use_uuid;
    int rb;
    bool use_sha256;
    int srb;
    bool disconnect;
    bool unlink;
    bool insecure;
    uint64_t limit_rate;  // bytes per second from --limit-rate; 0: upload.max_rate decides
};
settings cf;

const char kUsage[] =
    "Usage: put [-h | --help] [-U | --randomize-uuid[=<bytes>]]\n"
    "       [-u | --unlink] [-S | --randomize-sha256[=<bytes>]]\n"
    "       [-k | --insecure] [--limit-rate <rate>]\n"
    "       <project> <token> <file>...\n";
static_assert(sizeof kUsage - 1 == 200);

// What both writers are held to: --limit-rate over upload.max_rate, and upload.connect_timeout.
tolvane_net_limits limits() {
    tolvane_net_limits l;
    l.max_rate = cf.limit_rate != 0 ? cf.limit_rate : tolvane_cf_upload_max_rate_get();
    l.connect_timeout = tolvane_cf_upload_connect_timeout_get();
    return l;
}

// A path as messages show it: one line, no byte that acts on a terminal.
std::string shown(const char *path) {
    return tolvane_printable(path);
}

// One named trace file. Its payload record (see payload.h) holds the path, the mapping (private
// and writable, so identity rewrites stay in this process) until the writer is done with the
// file, the file as it was loaded and, while it is sent, the file opened again.
struct file_record {
    tolvane_payload payload;
    // Its identity as result lines show it, taken when it is handed to a writer.
    char uuid[33];
    cr_sha256_string_t sha256;

    const char *path() const { return payload.path; }
    void load();
    // Rewrites the identity as the options ask and records its text.
    void prepare();
    // The writer is done with the file: its descriptor is closed and its mapping waits in
    // `unmapping`.
    void release();
};

// A trace this large is sent from a descriptor of its file (see the writers), not from its
// mapping, whose pages are then only read in if needed; for a small one the extra open would
// cost more than it saves.
const size_t kReadThrough = 1 << 20;

// Every named file, in order; the payloads stay where they are for the guard (payload.h).
std::vector<file_record> files;
int n_file;
int n_processed;     // files handed to a writer; the one in flight is files[n_processed - 1]
bool delete_failed;  // a stored file could not be deleted: put ends with status 1

// Mappings of files that are done. Every munmap call costs a TLB flush on each CPU the process
// has run on, whatever the size, so they are unmapped together, adjacent ones in one call, once
// enough bytes wait and files are still to be sent; at the end they go with the process.
struct {
    std::vector<std::pair<unsigned char *, size_t>> ranges;  // page-rounded
    size_t bytes;
} unmapping;
const size_t kUnmapBatch = 64 << 20;

void unmap_waiting() {
    auto &r = unmapping.ranges;
    std::sort(r.begin(), r.end());
    for (size_t i = 0; i < r.size();) {
        unsigned char *start = r[i].first;
        size_t length = 0;
        for (; i < r.size() && r[i].first == start + length; i++) length += r[i].second;
        munmap(start, length);
    }
    r.clear();
    unmapping.bytes = 0;
}

void file_record::release() {
    payload.file.reset();
    if (payload.data == nullptr) return;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = (payload.length + page - 1) / page * page;
    unmapping.ranges.emplace_back(const_cast<unsigned char *>(payload.data), size);
    unmapping.bytes += size;
    payload.data = nullptr;
    if (unmapping.bytes >= kUnmapBatch && n_processed < n_file) unmap_waiting();
}

// A byte count for a rewrite: strtol's leading number, within 1 to max.
int count_arg(const char *text, int max, const char *message) {
    long n = strtol(text, nullptr, 10);
    if (n < 1 || n > max) tolvane_fatal("%s", message);
    return static_cast<int>(n);
}

[[noreturn]] void not_regular(const char *path) {
    tolvane_fatal("error: failed to open file (%s): not a regular file\n", shown(path).c_str());
}

// The one end of an upload, for both writers: status 0, or the result's message and status 1.
[[noreturn]] void end(const tolvane_net_result &result);

void file_record::load() {
    // Only regular files are traces. The open cannot block (a FIFO) or take a terminal; what
    // it opens is refused unless it is a regular file, and so is a socket, which cannot be
    // opened at all.
    const char *path = payload.path;
    struct stat st;
    tolvane::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        int e = errno;
        if (e == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) not_regular(path);
        tolvane_fatal("error: failed to open file (%s): %s\n", shown(path).c_str(),
                      tolvane_strerror(e));
    }
    if (fstat(fd.get(), &st) != 0) tolvane_perror_exit("error: failed to get file information");
    if (!S_ISREG(st.st_mode)) not_regular(path);
    payload.device = st.st_dev;
    payload.inode = st.st_ino;
    payload.modified = st.st_mtim;
    if (static_cast<uintmax_t>(st.st_size) > 4294967295u)
        tolvane_fatal("error: file exceeds maximum length.\n");
    size_t length = static_cast<size_t>(st.st_size);
    if (length <= sizeof(qvif_header)) tolvane_fatal("error: file appears truncated.\n");
    // A small trace is sent from its mapping, so its pages are read in now. The mapping stays
    // read-only (populating a writable private one would copy every page) until its header is
    // rewritten, if it is (see prepare).
    void *data = mmap(nullptr, length, PROT_READ,
                      MAP_PRIVATE | (length < kReadThrough ? MAP_POPULATE : 0), fd.get(), 0);
    if (data == MAP_FAILED) tolvane_perror_exit("error: failed to load file");
    payload.data = static_cast<const unsigned char *>(data);
    payload.length = length;
    payload.fixed = sizeof(qvif_header);
    tolvane_payload_guard(&payload);
    // The header is read through the descriptor: this process's first touch of a page of the
    // mapping costs more than the read, and sending may not need the page at all.
    qvif_header header;
    ssize_t got = pread(fd.get(), &header, sizeof header, 0);
    fd.reset();
    if (got != static_cast<ssize_t>(sizeof header)) {  // it has shrunk
        tolvane_net_result changed;
        payload.fail_changed(&changed);
        end(changed);
    }
    uint64_t expected;
    qvif_check_result r = qvif_check_size(&header, uint64_t{length}, &expected);
    if (r != QVIF_CHECK_OK)
        tolvane_fatal("error: size mismatch: %llu != %ju.\n",
                      static_cast<unsigned long long>(expected), static_cast<uintmax_t>(length));
}

void file_record::prepare() {
    auto *header = reinterpret_cast<qvif_header *>(const_cast<unsigned char *>(payload.data));
    // Only the page that holds the header is ever written, and only the rewritten bytes change.
    if ((cf.use_uuid || cf.use_sha256) &&
        mprotect(header, sizeof *header, PROT_READ | PROT_WRITE) != 0)
        tolvane_perror_exit("error: failed to load file");
    if (cf.use_uuid) qvif_randomize_uuid(header, cf.rb);
    if (cf.use_sha256) qvif_randomize_sig(header, cf.srb);
    cr_sha256_to_string(sha256, reinterpret_cast<const cr_sha256_t *>(header->sig));
    tolvane_uuid_to_string(uuid, reinterpret_cast<const cr_uuid_t *>(header->uuid));
}

// The writer the files go through (step 4); the other one is null.
struct {
    tolvane_curl_writer_t *http;
    tolvane_writer_t *session;
} writer;

uint64_t bytes_sent() {
    if (writer.http != nullptr) return tolvane_curl_writer_sent(writer.http);
    return tolvane_writer_payload_sent(writer.session);
}

// Before put ends, whatever way: the progress line goes, and the progress channel hears of a
// file that failed.
void before_end() {
    tolvane_put_progress::erase();
    tolvane_put_channel::ending();
}

void progress_start() {
    tolvane_message_hook_set(before_end);
    tolvane_put_channel::start(tolvane_network_loop_get(), bytes_sent);
    tolvane_put_progress::start(tolvane_network_loop_get(), bytes_sent);
}

// Deletes a stored file, but only while its path still names the file that was loaded (same
// device, inode and size): a trace moved in under the same name meanwhile was never sent, so it
// stays. A symbolic link that was named is deleted itself; the file it leads to never is.
// False when the file is still there because it could not be deleted (a read-only file system,
// no permission): said, and put goes on with the other files but ends with status 1.
bool delete_stored(const file_record *f) {
    const tolvane_payload &p = f->payload;
    struct stat st;
    if (stat(p.path, &st) == 0 && (st.st_dev != p.device || st.st_ino != p.inode ||
                                   static_cast<uintmax_t>(st.st_size) != p.length)) {
        tolvane_put_progress::erase();
        fprintf(stderr, "warning: %s was replaced during its upload; the new file is kept.\n",
                shown(p.path).c_str());
        return true;
    }
    if (unlink(p.path) == 0 || errno == ENOENT) return true;
    int e = errno;
    tolvane_put_progress::erase();
    fprintf(stderr, "error: stored \"%s\" but could not delete it: %s\n", shown(p.path).c_str(),
            tolvane_strerror(e));
    delete_failed = true;
    return false;
}

// The store holds file f now: deleted if asked for, and the progress channel told.
void settle(const file_record *f) {
    int i = static_cast<int>(f - files.data());
    if (!cf.unlink || delete_stored(f)) {
        tolvane_put_channel::stored(i);
    } else {
        tolvane_put_channel::kept(i);
    }
}

// The one result line of a stored file: `left` (up to its length or a zero byte) and the UUID.
// A line that cannot be written ends the run with status 1 and the file kept (it is stored, so
// it is only sent again to be told so). Then the file is deleted if asked for.
void report_stored(const file_record *f, const char *left, size_t left_length) {
    tolvane_put_progress::stop();
    if (printf("%.*s => %s\n", static_cast<int>(std::min<size_t>(left_length, INT32_MAX)), left,
               f->uuid) < 0)
        tolvane_stdout_lost(errno);
    tolvane_stdout_flush();
    settle(f);
}

// Step 1: the options; returns the index of the first word.
int parse_options(int argc, char **argv) {
    enum { kLimitRate = 256, kProgressFd };  // long options without a short form
    static const option long_options[] = {
        {"randomize-uuid", optional_argument, nullptr, 'U'},
        {"randomize-sha256", optional_argument, nullptr, 'S'},
        {"disconnect", no_argument, nullptr, 'D'},
        {"unlink", no_argument, nullptr, 'u'},
        {"insecure", no_argument, nullptr, 'k'},
        {"limit-rate", required_argument, nullptr, kLimitRate},
        {"help", no_argument, nullptr, 'h'},
        // Not in the usage: the daemon gives it to its upload children (put_channel.h).
        {"progress-fd", required_argument, nullptr, kProgressFd},
        {nullptr, 0, nullptr, 0},
    };
    cf = {};
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
            case kLimitRate:
                if (!tolvane_cf_rate(optarg, &cf.limit_rate))
                    tolvane_fatal("error: invalid --limit-rate value \"%s\"; %s\n",
                                  tolvane_printable(optarg).c_str(), TOLVANE_CF_RATE_FORM);
                break;
            case kProgressFd:
                tolvane_put_channel::open(optarg);
                break;
            case 'h':
                tolvane_usage(stdout, kUsage);
            default:
                tolvane_usage(stderr, kUsage);
        }
    }
    return optind;
}

// Step 1, continued: <project> <token> <file>...; returns the token and sets n_file.
tolvane_cf_token_t *parse_words(int words, char **word) {
    if (words < 1) {
        fputs("error: no project specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    if (words < 2) {
        fputs("error: no token specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    tolvane_cf_token_t *token = tolvane_cf_token_get(word[1]);
    if (token == nullptr) tolvane_fatal("error: no such token found.\n");
    n_file = words - 2;
    if (n_file == 0) {
        fputs("error: no file specified.\n", stderr);
        tolvane_usage(stderr, kUsage);
    }
    return token;
}

// Step 2: every file is loaded and checked before anything is sent.
void load_files(char **paths) {
    try {
        files = std::vector<file_record>(static_cast<size_t>(n_file));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        tolvane_perror_exit("memory allocation");
    }
    for (int i = 0; i < n_file; i++) {
        files[i].payload.path = paths[i];
        files[i].load();
    }
    if (cf.use_uuid || cf.use_sha256 || cf.disconnect) tolvane_random_init();
}

// Step 3: where the files go. The universe's first configured writer server decides the
// protocol; the first one whose name resolves is the server used.
struct writer_choice {
    tolvane_cf_universe_t *universe;
    bool http;
    tolvane_cf_server_t *server;  // null when no writer server resolves (or there is none)
    addrinfo *addresses;          // the server's, until the writer has been created
};

bool is_http(const tolvane_cf_server_t *server) {
    tolvane_cf_server_type_t type = tolvane_cf_server_type(server);
    return type == TOLVANE_CF_SERVER_HTTP || type == TOLVANE_CF_SERVER_HTTPS;
}

writer_choice choose_writer() {
    writer_choice c{};
    c.universe = tolvane_cf_universe_get(nullptr);
    if (c.universe == nullptr) tolvane_fatal("error: no universe has been configured.\n");
    tolvane_cf_server_t *first = tolvane_cf_writer_next(c.universe, nullptr);
    c.http = first != nullptr && is_http(first);
    tolvane_net_result r;
    if (!tolvane_network_init(&r)) end(r);
    c.server = tolvane_network_writer_server(c.universe, &c.addresses);
    return c;
}

// Step 4: the files go one at a time, through either writer, by one submit path (submit_next),
// one completion path for a stored file (stored) and one end (end). A writer's failure, a file
// found changed during its upload (payload.h) among them, comes as a result record whose
// message says it all; the server's refusals are worded here.
void on_http_complete(tolvane_curl_writer_t *, const tolvane_net_result *result);

void submit_next() {
    file_record *f = &files[n_processed++];
    tolvane_put_channel::sending(n_processed - 1);
    f->prepare();
    if (f->payload.length >= kReadThrough) f->payload.reopen();
    uint32_t disconnect_after = UINT32_MAX;
    if (writer.session != nullptr && cf.disconnect) {
        uint64_t r;
        tolvane_random_write(&r, sizeof r);
        size_t point = static_cast<size_t>(r % f->payload.length);
        fprintf(stderr, "warning: aborting after %zu bytes.\n", point);
        disconnect_after = static_cast<uint32_t>(point);
    }
    tolvane_put_progress::begin(f->path(), f->payload.length);
    if (writer.http != nullptr) {
        tolvane_net_result r;
        if (!tolvane_curl_writer_file_put(writer.http, &f->payload, on_http_complete, &r))
            tolvane_fatal("%serror: failed to prepare to post file.\n", r.message.c_str());
    } else {
        cr_session_command_code code =
            n_processed == n_file ? CR_SESSION_TOKEN_PUT_ONCE : CR_SESSION_TOKEN_PUT;
        tolvane_writer_enqueue(writer.session, code, &f->payload, disconnect_after);
    }
}

// The server stored the file in flight: its result line, then the next file or the end.
void stored(const char *left, size_t left_length) {
    file_record *f = &files[n_processed - 1];
    report_stored(f, left, left_length);
    f->release();
    if (n_processed == n_file) end({});
    submit_next();
}

void end(const tolvane_net_result &result) {
    // Silent here: a transfer has always left the multi handle by now.
    if (writer.http != nullptr) tolvane_curl_writer_destroy(writer.http);
    if (result.ok()) {
        tolvane_stdout_flush();  // nothing may wait unwritten behind a status of 0
        tolvane_exit(delete_failed ? 1 : 0);
    }
    tolvane_fatal("%s", result.message.c_str());
}

// A 409 reply says the store holds the file already (put was ended after storing it, say): as
// with the session protocol's "exists", it counts as stored and the run ends with the store's
// message. Every other reply is judged by its body.
void on_http_complete(tolvane_curl_writer_t *, const tolvane_net_result *result) {
    const file_record *f = &files[n_processed - 1];
    if (result->code == TOLVANE_NET_FAILED && result->http_status == 409) settle(f);
    if (!result->ok()) end(*result);
    stored(f->sha256, sizeof f->sha256 - 1);
}

void on_session_connected(tolvane_writer_t *) {
    submit_next();
}

void on_session_response(tolvane_writer_t *, tolvane_writer_response *response) {
    file_record *f = &files[n_processed - 1];
    cr_session_response_status status = tolvane_writer_response_status(response);
    if (status == CR_SESSION_RESPONSE_ERROR) {
        cr_session_error_code code = tolvane_writer_response_error_code(response);
        const char *message = cr_session_strerror(code);
        if (code != CR_SESSION_ERROR_EXISTS) tolvane_fatal("error: %s\n", message);
        settle(f);
        tolvane_fatal("error: failed to upload %s: %s\n", shown(f->path()).c_str(), message);
    }
    if (status != CR_SESSION_RESPONSE_OK) tolvane_fatal("error: unrecognized server status\n");
    size_t length;
    const char *body = tolvane_writer_response_string(response, &length);
    // A body of one byte is only the text's terminating zero: the signature stands instead. The
    // server's text is shown escaped and cut, so that it cannot forge lines.
    if (length > 1) {
        std::string left = tolvane_printable(std::string_view(body, strnlen(body, length)),
                                             TOLVANE_SERVER_TEXT_MAX);
        stored(left.data(), left.size());
    } else {
        stored(f->sha256, sizeof f->sha256 - 1);
    }
}

// Payloads are let go in the order they were sent, so the latest file is the likely one.
void on_session_released(tolvane_writer_t *, tolvane_payload *payload) {
    for (int i = n_processed - 1; i >= 0; i--) {
        if (&files[i].payload == payload) return files[i].release();
    }
}

void on_session_done(tolvane_writer_t *, const tolvane_net_result *result) {
    end(*result);
}

void start_http(const writer_choice &c, tolvane_cf_token_t *token) {
    static const char kFailed[] = "error: failed to create cURL network writer.\n";
    if (c.server == nullptr) tolvane_fatal("error: No reachable servers for writes.\n%s", kFailed);
    if (!is_http(c.server))
        tolvane_fatal("error: first reachable writer server %s is not an HTTP server.\n%s",
                      c.server->display, kFailed);
    bool insecure = cf.insecure || tolvane_cf_universe_curl_insecure_get(c.universe);
    tolvane_net_result r;
    tolvane_net_limits held = limits();
    // libcurl resolves the name itself; the writer keeps the addresses to tell a proxy's apart.
    writer.http = tolvane_curl_writer_create(
        c.universe, c.server, c.addresses, token,
        insecure ? TOLVANE_CURL_WRITER_F_INSECURE : TOLVANE_CURL_WRITER_F_NONE, &held, &r);
    freeaddrinfo(c.addresses);
    if (writer.http == nullptr) tolvane_fatal("%s%s", r.message.c_str(), kFailed);
    progress_start();
    submit_next();
}

// The first file goes when the connection is up, each next one from the response to the last.
void start_session(const writer_choice &c, tolvane_cf_token_t *token) {
    static const char kFailed[] = "error: failed to create network writer.\n";
    static const tolvane_writer_callbacks callbacks{on_session_connected, on_session_response,
                                                    on_session_released, on_session_done, nullptr};
    if (c.server == nullptr) tolvane_fatal("%s", kFailed);
    tolvane_net_result r;
    tolvane_net_limits held = limits();
    writer.session =
        tolvane_writer_create(c.universe, c.server, c.addresses, token, &callbacks, &held, &r);
    freeaddrinfo(c.addresses);
    if (writer.session == nullptr) {
        if (r.code != TOLVANE_NET_NO_WRITER) end(r);
        tolvane_fatal("%s%s", r.message.c_str(), kFailed);
    }
    progress_start();
}
}  // namespace

void tolvane_command_put_handler(int argc, char **argv) {
    n_processed = 0;
    writer = {};
    tolvane_put_progress::init();
    delete_failed = false;
    int first = parse_options(argc, argv);
    tolvane_cf_token_t *token = parse_words(argc - first, argv + first);
    load_files(argv + first + 2);
    // Step 4: the writer, then the loop; the callbacks end the process.
    writer_choice choice = choose_writer();
    if (choice.http) {
        start_http(choice, token);
    } else {
        start_session(choice, token);
    }
    tolvane_network_run();
}
