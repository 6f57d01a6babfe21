// Entry point: global options, configuration, the command table and dispatch.
#include <curl/curl.h>

#include <csignal>

#include <cstdio>
#include <cstring>

#include "tolvane/commands/check.h"
#include "tolvane/commands/command.h"
#include "tolvane/commands/daemon.h"
#include "tolvane/commands/put.h"
#include "tolvane/commands/retired.h"
#include "tolvane/commands/stacklore.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"
#include "tolvane/net/ssl.h"
#include "tolvane/util/fatal.h"
#include "tolvane/util/journal.h"

static const tolvane_command commands[] = {
    {"list", tolvane_command_list_handler},     {"get", tolvane_command_get_handler},
    {"put", tolvane_command_put_handler},       {"summary", tolvane_command_summary_handler},
    {"daemon", tolvane_command_daemon_handler}, {"view", tolvane_command_view_handler},
    {"alias", tolvane_command_alias_handler},   {"stacklore", tolvane_command_stacklore_handler},
    {"login", tolvane_command_login_handler},   {"check", tolvane_command_check_handler},
};

static const char *cf;
static const char *confighome;
static char stdio_buffer[131072];

static const char kUsage[] =
    "Usage: tolvane [--version] [-c | --cf=<configuration>] [-C | --ch=<confighome>] "
    "[--help]\n"
    "       <command> [<arguments>]\n"
    "\n"
    "Common tolvane commands:\n"
    "    stacklore     Perform a stacklore and put\n"
    "    daemon        Watch directory for trace files\n"
    "    put           Upload objects\n"
    "    check         Check the configuration\n";
// Scripts compare it byte for byte; the size guards against an accidental edit.
static_assert(sizeof kUsage - 1 == 317);

// Reads the global options in front of the command word and leaves *argv at the command word.
static void parse_argv(int *argc, char ***argv) {
    char **words = *argv;
    int i = 1;
    for (; i < *argc; i++) {
        const char *w = words[i];
        if (w[0] == '\0') tolvane_usage(stdout, kUsage);
        if (w[0] != '-') break;
        if (strcmp(w, "-v") == 0 || strcmp(w, "--version") == 0) {
            puts("tolvane version " TOLVANE_VERSION);
            tolvane_exit(0);
        }
        if (strcmp(w, "-h") == 0 || strcmp(w, "--help") == 0) tolvane_usage(stdout, kUsage);
        const char **value = nullptr;
        if (strcmp(w, "-c") == 0 || strcmp(w, "--cf") == 0) value = &cf;
        if (strcmp(w, "-C") == 0 || strcmp(w, "--ch") == 0) value = &confighome;
        if (value != nullptr) {
            if (i + 1 >= *argc || words[i + 1][0] == '\0') tolvane_usage(stderr, kUsage);
            *value = words[++i];
        } else if (strncmp(w, "--cf=", 5) == 0) {
            cf = w + 5;
        } else if (strncmp(w, "--ch=", 5) == 0) {
            confighome = w + 5;
        }
        // Any other word that begins with "-" is skipped without a message.
    }
    if (i >= *argc) tolvane_usage(stdout, kUsage);
    *argv = words + i;
    *argc -= i;
}

// The handler of the command word; an empty or unknown word ends the process.
static tolvane_command_handler_t *command_find(const char *word) {
    if (word == nullptr || word[0] == '\0') tolvane_usage(stderr, kUsage);
    for (const tolvane_command &c : commands) {
        if (strcmp(c.name, word) == 0) return c.handler;
    }
    tolvane_fatal("error: '%s' is not a valid command. See 'tolvane --help'.\n", word);
}

int main(int argc, char **argv) {
    tolvane_journal_setup();
    // A write to a peer that has gone is an ordinary write error, reported as such, never the
    // end of the process. Children put the default back before they run another program.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) tolvane_usage(stderr, kUsage);

    // Recorded first: the daemon re-runs this very file for its uploads.
    tolvane_cf_tolvane_binary_name_set(argv[0]);

    setvbuf(stdout, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    parse_argv(&argc, &argv);

    // Before the command word is looked up, so a configuration error is reported even for an
    // unknown word.
    tolvane_cf_load(confighome, cf);

    tolvane_command_handler_t *handler = command_find(argv[0]);

    curl_global_init(0);
    cr_ssl_subsystem_init();
    tolvane_cf_argv(&argc, &argv);

    handler(argc, argv);
    curl_global_cleanup();
    return 0;
}
