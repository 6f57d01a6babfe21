// The put command: loads and checks every named trace file, then uploads them one at a time
// over HTTP(S) or the session protocol, printing one result line per stored file. The handler
// runs four steps: parse the options and words, load the files, choose the writer, run.
#include "tolvane/commands/put.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "tolvane/config/cf_universe.h"
#include "tolvane/net/curl_writer.h"
#include "tolvane/net/network.h"
#include "tolvane/net/writer.h"
#include "tolvane/trace/qvif.h"
#include "tolvane/util/crypto.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/misc.h"

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

const char kUsage[] =
    "Usage: put [-h | --help] [-U | --randomize-uuid[=<bytes>]]\n"
    "       [-u | --unlink] [-S | --randomize-sha256[=<bytes>]]\n"
    "       [-k | --insecure]\n"
    "       <project> <token> <file>...\n";
static_assert(sizeof kUsage - 1 == 178);

// One named trace file. It owns its mapping (private and writable, so identity rewrites stay in
// this process) until the writer is done with the file, then hands it to `unmapping`.
struct file_record {
    char *path;  // the word on the command line
    void *data;
    off_t length;
    // The file as it was loaded: what the path must still name for the file to be deleted, and
    // what tells a file rewritten in place during its upload.
    dev_t device;
    ino_t inode;
    timespec modified;
    // Set when a page of the mapping vanished (the file shrank) or the file was found changed.
    volatile sig_atomic_t changed;
    // Its identity as result lines show it, taken when it is handed to a writer.
    char uuid[33];
    cr_sha256_string_t sha256;

    void load();
    // Rewrites the identity as the options ask and records its text.
    void prepare();
    // Whether the bytes about to leave are still the file's (see the definition).
    bool intact();
    // A descriptor of the loaded file again, or -1 when its path names another file now.
    int reopen() const;
    void release();
};

// A trace this large is sent from a descriptor of its file (see the writers), not from its
// mapping, whose pages are then only read in if needed; for a small one the extra open would
// cost more than it saves.
const off_t kReadThrough = 1 << 20;

file_record *files;
int n_file;
int n_processed;  // files handed to a writer; the one in flight is files[n_processed - 1]

// Mappings of files that are done. Every munmap call costs a TLB flush on each CPU the process
// has run on, whatever the size, so they are unmapped together, adjacent ones in one call, once
// enough bytes wait and files are still to be sent; at the end they go with the process.
struct {
    std::vector<std::pair<char *, size_t>> ranges;  // page-rounded
    size_t bytes;
} unmapping;
const size_t kUnmapBatch = 64 << 20;

void unmap_waiting() {
    auto &r = unmapping.ranges;
    std::sort(r.begin(), r.end());
    for (size_t i = 0; i < r.size();) {
        char *start = r[i].first;
        size_t length = 0;
        for (; i < r.size() && r[i].first == start + length; i++) length += r[i].second;
        munmap(start, length);
    }
    r.clear();
    unmapping.bytes = 0;
}

void file_record::release() {
    if (data == nullptr) return;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = (static_cast<size_t>(length) + page - 1) / page * page;
    unmapping.ranges.emplace_back(static_cast<char *>(data), size);
    unmapping.bytes += size;
    data = nullptr;
    if (unmapping.bytes >= kUnmapBatch && n_processed < n_file) unmap_waiting();
}

// A byte count for a rewrite: strtol's leading number, within 1 to max.
int count_arg(const char *text, int max, const char *message) {
    long n = strtol(text, nullptr, 10);
    if (n < 1 || n > max) tolvane_fatal("%s", message);
    return static_cast<int>(n);
}

size_t page_size;

[[noreturn]] void not_regular(const char *path) {
    tolvane_fatal("error: failed to open file (%s): not a regular file\n", path);
}

[[noreturn]] void report_changed(const file_record *f) {
    tolvane_fatal("error: file \"%s\" changed during its upload.\n", f->path);
}

// A file that shrinks under its mapping makes the next read of a vanished page fault here, in a
// writer or in the TLS or HTTP library. Zero pages then stand in for the rest of the mapping, so
// the reader runs on; the mark makes the upload fail before its last bytes leave. A fault
// anywhere else is not ours: the default action comes back and the fault repeats.
void on_bus_error(int, siginfo_t *info, void *) {
    auto *at = static_cast<char *>(info->si_addr);
    for (int i = 0; files != nullptr && i < n_file; i++) {
        auto *start = static_cast<char *>(files[i].data);
        size_t size =
            (static_cast<size_t>(files[i].length) + page_size - 1) / page_size * page_size;
        if (start == nullptr || at < start || at >= start + size) continue;
        char *page = start + static_cast<size_t>(at - start) / page_size * page_size;
        if (mmap(page, static_cast<size_t>(start + size - page), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
            break;
        files[i].changed = 1;
        return;
    }
    signal(SIGBUS, SIG_DFL);
}

void catch_vanished_pages() {
    page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    struct sigaction sa {};
    sa.sa_sigaction = on_bus_error;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
}

void file_record::load() {
    // Only regular files are traces. The open cannot block (a FIFO) or take a terminal; what
    // it opens is refused unless it is a regular file, and so is a socket, which cannot be
    // opened at all.
    struct stat st;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        int e = errno;
        if (e == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) not_regular(path);
        tolvane_fatal("error: failed to open file (%s): %s\n", path, tolvane_strerror(e));
    }
    if (fstat(fd, &st) != 0) tolvane_perror_exit("error: failed to get file information");
    if (!S_ISREG(st.st_mode)) not_regular(path);
    device = st.st_dev;
    inode = st.st_ino;
    modified = st.st_mtim;
    if (static_cast<uintmax_t>(st.st_size) > 4294967295u)
        tolvane_fatal("error: file exceeds maximum length.\n");
    length = st.st_size;
    if (length <= static_cast<off_t>(sizeof(qvif_header)))
        tolvane_fatal("error: file appears truncated.\n");
    // A small trace is sent from its mapping, so its pages are read in now. The mapping stays
    // read-only (populating a writable private one would copy every page) until its header is
    // rewritten, if it is (see prepare).
    size_t size = static_cast<size_t>(length);
    data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (length < kReadThrough ? MAP_POPULATE : 0),
                fd, 0);
    if (data == MAP_FAILED) tolvane_perror_exit("error: failed to load file");
    // The header is read through the descriptor: this process's first touch of a page of the
    // mapping costs more than the read, and sending may not need the page at all.
    qvif_header header;
    ssize_t got = pread(fd, &header, sizeof header, 0);
    while (close(fd) != 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof header)) report_changed(this);  // it has shrunk
    uint64_t expected;
    qvif_check_result r = qvif_check_size(&header, static_cast<uint64_t>(length), &expected);
    if (r != QVIF_CHECK_OK)
        tolvane_fatal("error: size mismatch: %llu != %ju.\n",
                      static_cast<unsigned long long>(expected), static_cast<uintmax_t>(length));
}

// Asked before the last bytes of the file leave. While the path names the same file, its size
// and modification time must be as loaded, so a shrink or a rewrite in place shows. A path that
// names another file now (or none) leaves the mapping as the only copy of ours: a trace moved
// over it must not cost this one. It is whole unless a page of it has vanished, which reading
// its last byte makes show now, even after the last page was sent.
bool file_record::intact() {
    struct stat st;
    if (stat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode) {
        if (st.st_size != length || st.st_mtim.tv_sec != modified.tv_sec ||
            st.st_mtim.tv_nsec != modified.tv_nsec)
            changed = 1;
    } else {
        (void)*static_cast<volatile const char *>(static_cast<const char *>(data) + length - 1);
    }
    return !changed;
}

int file_record::reopen() const {
    struct stat st;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != device || st.st_ino != inode)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void file_record::prepare() {
    auto *header = static_cast<qvif_header *>(data);
    // Only the page that holds the header is ever written, and only the rewritten bytes change.
    if ((cf.use_uuid || cf.use_sha256) &&
        mprotect(data, sizeof *header, PROT_READ | PROT_WRITE) != 0)
        tolvane_perror_exit("error: failed to load file");
    if (cf.use_uuid) qvif_randomize_uuid(header, cf.rb);
    if (cf.use_sha256) qvif_randomize_sig(header, cf.srb);
    cr_sha256_to_string(sha256, reinterpret_cast<const cr_sha256_t *>(header->sig));
    tolvane_uuid_to_string(uuid, reinterpret_cast<const cr_uuid_t *>(header->uuid));
}

// The progress line: while a trace of over 8 MiB goes out and standard error is a terminal, one
// line "<path>  37%  390.0 MiB  812.3 MiB/s" there, redrawn four times a second and erased
// before the result line or any message that ends the process. Without a terminal, nothing.
struct {
    bool on;  // standard error is a terminal
    uv_timer_t timer;
    const file_record *file;          // the trace shown; null when none is
    uint64_t start;                   // when it was handed to the writer (uv_hrtime)
    bool drawn;                       // a line is on the terminal
    tolvane_curl_writer_t *http;      // the writer that knows how far the upload is
    const tolvane_writer_t *session;  // (the other one is null)
} progress;
const off_t kProgressAbove = 8 << 20;

uint64_t bytes_sent() {
    if (progress.http != nullptr) return tolvane_curl_writer_sent(progress.http);
    return tolvane_writer_payload_sent(progress.session);
}

void progress_erase() {
    if (progress.drawn) fputs("\r\033[K", stderr);
    progress.drawn = false;
}

void progress_draw(uv_timer_t *) {
    const file_record *f = progress.file;
    double mib = static_cast<double>(bytes_sent()) / (1 << 20);
    double seconds = static_cast<double>(uv_hrtime() - progress.start) / 1e9;
    char figures[64];
    int n = snprintf(figures, sizeof figures, "  %d%%  %.1f MiB  %.1f MiB/s",
                     static_cast<int>(mib * (1 << 20) * 100 / static_cast<double>(f->length)), mib,
                     mib / seconds);
    // The line must fit the terminal, or "\r" would not take it back: a long path loses its head.
    winsize ws{};
    int room =
        (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80) - 1 - n;
    int length = static_cast<int>(strlen(f->path));
    const char *dots = length > room ? "..." : "";
    int shown = length > room ? std::max(room - 3, 0) : length;
    fprintf(stderr, "\r%s%s%s\033[K", dots, f->path + length - shown, figures);
    progress.drawn = true;
}

// `f` is handed to the writer now.
void progress_begin(const file_record *f) {
    if (!progress.on) return;
    progress_erase();
    progress.file = f->length > kProgressAbove ? f : nullptr;
    progress.start = uv_hrtime();
    if (progress.file != nullptr) {
        uv_timer_start(&progress.timer, progress_draw, 250, 250);
    } else {
        uv_timer_stop(&progress.timer);
    }
}

void progress_start(tolvane_curl_writer_t *http, const tolvane_writer_t *session) {
    progress.http = http;
    progress.session = session;
    if (!progress.on) return;
    uv_timer_init(tolvane_network_loop_get(), &progress.timer);
    uv_unref(reinterpret_cast<uv_handle_t *>(&progress.timer));
    tolvane_message_hook_set(progress_erase);
}

// Deletes a stored file, but only while its path still names the file that was loaded (same
// device, inode and size): a trace moved in under the same name meanwhile was never sent, so it
// stays. A symbolic link that was named is deleted itself; the file it leads to never is.
void delete_stored(const file_record *f) {
    struct stat st;
    if (stat(f->path, &st) == 0 &&
        (st.st_dev != f->device || st.st_ino != f->inode || st.st_size != f->length)) {
        progress_erase();
        fprintf(stderr, "warning: %s was replaced during its upload; the new file is kept.\n",
                f->path);
        return;
    }
    unlink(f->path);
}

// The one result line of a stored file: `left` (up to its length or a zero byte) and the UUID.
// Then the file is deleted if asked for.
void report_stored(const file_record *f, const char *left, size_t left_length) {
    progress_erase();
    if (progress.on) uv_timer_stop(&progress.timer);
    printf("%.*s => %s\n", static_cast<int>(std::min<size_t>(left_length, INT32_MAX)), left,
           f->uuid);
    fflush(stdout);
    if (cf.unlink) delete_stored(f);
}

// Step 1: the options; returns the index of the first word.
int parse_options(int argc, char **argv) {
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
    files = static_cast<file_record *>(calloc(static_cast<size_t>(n_file), sizeof(file_record)));
    if (files == nullptr) tolvane_perror_exit("memory allocation");
    for (int i = 0; i < n_file; i++) {
        files[i].path = paths[i];
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
    if (tolvane_net_result r; !tolvane_network_init(&r)) tolvane_fatal("%s", r.message.c_str());
    c.server = tolvane_network_writer_server(c.universe, &c.addresses);
    return c;
}

// The HTTP path: one POST at a time, the next from the completion of the last.
void on_curl_post_complete(tolvane_curl_writer_t *writer, tolvane_curl_writer_response *response);

void submit_next_file_via_curl(tolvane_curl_writer_t *writer) {
    if (n_processed == n_file) {
        tolvane_curl_writer_destroy(writer);
        tolvane_exit(0);
    }
    file_record *f = &files[n_processed++];
    f->prepare();
    int fd = f->length >= kReadThrough ? f->reopen() : -1;
    progress_begin(f);
    if (!tolvane_curl_writer_file_put(writer, f->path, f->data, static_cast<size_t>(f->length), fd,
                                      sizeof(qvif_header), on_curl_post_complete))
        tolvane_fatal("error: failed to prepare to post file.\n");
}

bool curl_file_intact(tolvane_curl_writer_t *) {
    return files[n_processed - 1].intact();
}

void on_curl_post_complete(tolvane_curl_writer_t *writer, tolvane_curl_writer_response *response) {
    file_record *f = &files[n_processed - 1];
    if (tolvane_curl_writer_response_code_get(response) != TOLVANE_CURL_WRITER_RESPONSE_OK) {
        const char *why = tolvane_curl_writer_response_errstr_get(response);
        // Silent here: the transfer has already left the multi handle.
        tolvane_curl_writer_destroy(writer);
        if (f->changed) report_changed(f);
        tolvane_fatal("error: failed to post file \"%s\": %s\n", f->path, why);
    }
    report_stored(f, f->sha256, sizeof f->sha256 - 1);
    f->release();
    submit_next_file_via_curl(writer);
}

void start_http(const writer_choice &c, tolvane_cf_token_t *token) {
    static const char kFailed[] = "error: failed to create cURL network writer.\n";
    if (c.server == nullptr) tolvane_fatal("error: No reachable servers for writes.\n%s", kFailed);
    if (!is_http(c.server)) {
        const char *address, *service;
        tolvane_cf_server_get(c.server, &address, &service);
        tolvane_fatal("error: first reachable writer server %s:%s is not an HTTP server.\n%s",
                      address, service, kFailed);
    }
    freeaddrinfo(c.addresses);  // libcurl resolves the name itself
    bool insecure = cf.insecure || tolvane_cf_universe_curl_insecure_get(c.universe);
    tolvane_curl_writer_t *writer = tolvane_curl_writer_create(
        c.universe, c.server, token,
        insecure ? TOLVANE_CURL_WRITER_F_INSECURE : TOLVANE_CURL_WRITER_F_NONE);
    if (writer == nullptr) tolvane_fatal("%s", kFailed);
    writer->intact = curl_file_intact;
    progress_start(writer, nullptr);
    submit_next_file_via_curl(writer);
}

// The session path: the first file goes when the connection is up, each next one from the
// response to the last.
void submit_next_file(tolvane_writer_t *writer) {
    file_record *f = &files[n_processed];
    f->prepare();
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
    progress_begin(f);
    tolvane_writer_enqueue_file(writer, code, f->data, length, disconnect_after,
                                f->length >= kReadThrough ? f->reopen() : -1, sizeof(qvif_header));
    n_processed++;
}

void on_session_response(tolvane_writer_t *writer, tolvane_writer_response *response) {
    file_record *f = &files[n_processed - 1];
    cr_session_response_status status = tolvane_writer_response_status(response);
    if (status == CR_SESSION_RESPONSE_ERROR) {
        cr_session_error_code code = tolvane_writer_response_error_code(response);
        const char *message = cr_session_strerror(code);
        if (code != CR_SESSION_ERROR_EXISTS) tolvane_fatal("error: %s\n", message);
        if (cf.unlink) delete_stored(f);
        tolvane_fatal("error: failed to upload %s: %s\n", f->path, message);
    }
    if (status != CR_SESSION_RESPONSE_OK) tolvane_fatal("error: unrecognized server status\n");
    size_t length;
    const char *body = tolvane_writer_response_string(response, &length);
    // A body of one byte is only the text's terminating zero: the signature stands instead.
    if (length > 1) {
        report_stored(f, body, length);
    } else {
        report_stored(f, f->sha256, sizeof f->sha256 - 1);
    }
    if (n_processed >= n_file) tolvane_exit(0);
    submit_next_file(writer);
}

// The file whose mapping `payload` is; payloads are let go in the order they were sent, so the
// latest file is the likely one.
file_record *file_of(const void *payload) {
    for (int i = n_processed - 1; i >= 0; i--) {
        if (files[i].data == payload) return &files[i];
    }
    return nullptr;
}

void on_session_released(tolvane_writer_t *, const void *payload) {
    if (file_record *f = file_of(payload)) f->release();
}

void check_session_payload(tolvane_writer_t *, const void *payload) {
    file_record *f = file_of(payload);
    if (f != nullptr && !f->intact()) report_changed(f);
}

void start_session(const writer_choice &c, tolvane_cf_token_t *token) {
    static const tolvane_writer_callbacks callbacks{submit_next_file, on_session_response,
                                                    on_session_released, check_session_payload};
    tolvane_writer_t *writer = nullptr;
    if (c.server != nullptr) {
        writer = tolvane_writer_create(c.universe, c.server, c.addresses, token, &callbacks);
        freeaddrinfo(c.addresses);
    }
    if (writer == nullptr) tolvane_fatal("error: failed to create network writer.\n");
    progress_start(nullptr, writer);
}
}  // namespace

void tolvane_command_put_handler(int argc, char **argv) {
    progress.on = isatty(STDERR_FILENO);
    int first = parse_options(argc, argv);
    tolvane_cf_token_t *token = parse_words(argc - first, argv + first);
    catch_vanished_pages();
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
