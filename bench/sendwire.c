// The least a client can do to upload prepared session bytes: sendfile(2) the whole file to
// the receiver, end its half of the connection, then read the answers until the receiver
// closes. bench/session.sh compiles it and measures tolvane put against it.
// Usage: sendwire PORT FILE   (the receiver on 127.0.0.1)
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <err.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) errx(2, "usage: sendwire PORT FILE");
    int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) err(1, "%s", argv[2]);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 || connect(s, (struct sockaddr *)&to, sizeof to) != 0) err(1, "connect");
    off_t at = 0;
    while (at < st.st_size) {
        if (sendfile(s, fd, &at, (size_t)(st.st_size - at)) <= 0) err(1, "sendfile");
    }
    if (shutdown(s, SHUT_WR) != 0) err(1, "shutdown");
    char answers[65536];
    ssize_t n;
    while ((n = read(s, answers, sizeof answers)) > 0) {
    }
    if (n < 0) err(1, "read");
    return 0;
}
