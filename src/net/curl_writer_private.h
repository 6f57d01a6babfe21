// The HTTP writer's state, shared by curl_writer.cpp (the handle and transfers) and
// curl_cause.cpp (what a failed transfer's lines say).
#pragma once

#include <curl/curl.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "tolvane/net/curl_writer.h"
#include "tolvane/net/network.h"
#include "tolvane/util/membuilder.h"

enum state_flag : unsigned int {
    S_INSECURE = 1,
    S_IN_MULTIHANDLE = 2,
    S_REPLY_TOO_LARGE = 8,  // the reply outgrew TOLVANE_CURL_WRITER_REPLY_MAX
    S_RETRIED = 16,         // the file is being sent again on a new connection
};

struct tolvane_curl_writer {
    CURL *curl_handle;
    unsigned int state_flags;  // state_flag bits
    struct curl_slist *http_headers;
    tolvane_payload *payload;  // the file being posted; null for a connection alone
    size_t offset;             // of the next body byte to hand to libcurl
    cr_mem_builder response_builder;
    tolvane_curl_writer_cb_t oncomplete;
    char err_curl[CURL_ERROR_SIZE];
    struct tolvane_network_transfer transfer;  // this writer's place on the multi handle
    const char *display;                       // the server, "host:port", for messages
    bool https;
    int connect_timeout;  // seconds, for the message when it runs out
    bool peer_reached;    // a socket of this transfer had its TCP connect done
    // The server's addresses with its port, when a proxy may be in use (from the configuration
    // or the environment): a connection libcurl opens to any other address goes to the proxy,
    // which messages then name. Empty when none can be.
    std::vector<sockaddr_storage> server_addresses;
    unsigned int sockets;     // opened for connections during this transfer (0: one was reused)
    sockaddr_storage opened;  // the address of the last of them
};

namespace curl_writer {
// libcurl's socket callbacks: where it connects, and whether a connection was made, for the
// cause lines.
curl_socket_t open_socket(void *userdata, curlsocktype purpose, struct curl_sockaddr *address);
int close_socket(void *userdata, curl_socket_t fd);

// What the transfer was doing when it failed: "name resolution", "TCP connect", "proxy tunnel"
// (a proxy refused to open one), "TLS handshake" or "upload" (the request and its reply).
const char *phase(const tolvane_curl_writer *w, CURLcode result);
// For a transfer libcurl reports as failed, the line before the one required for it.
std::string transfer_cause(tolvane_curl_writer *w, CURLcode result);
// For a reply that came whole but is not the JSON expected of it: what it was.
std::string reply_cause(tolvane_curl_writer *w);
}  // namespace curl_writer
