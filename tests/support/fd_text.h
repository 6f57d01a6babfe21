// Reads what a descriptor still gives (a child's pipe, say) until its end, then closes it.
#pragma once

#include <unistd.h>

#include <string>

inline std::string drain(int fd) {
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}
