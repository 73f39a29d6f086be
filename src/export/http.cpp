#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "exchange/exchange.h"
#include "export/http.h"

namespace cellscope {

namespace {

// The end of the head: after the first empty line.
const char* head_end(const char* text, size_t length)
{
    for (size_t i = 0; i + 1 < length; ++i) {
        if (text[i] == '\n' && (text[i + 1] == '\n' || (text[i + 1] == '\r' && i + 2 < length && text[i + 2] == '\n')))
            return text + i + (text[i + 1] == '\n' ? 2 : 3);
    }
    return nullptr;
}

bool is_token_char(char c)
{
    // strchr finds the terminator too: a NUL is no token character.
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

}  // namespace

long read_request_head(int fd, char* buffer, size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = monotonic_now() + timeout;
    const size_t limit = size < kMaxRequestHead ? size : kMaxRequestHead;
    size_t length = 0;
    for (;;) {
        if (const char* end = head_end(buffer, length))
            return static_cast<long>(end - buffer);
        if (length == limit)
            return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - monotonic_now());
        struct pollfd in = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&in, 1, static_cast<int>(left.count())) <= 0)
            return 0;
        const ssize_t got = read(fd, buffer + length, limit - length);
        if (got <= 0)
            return 0;
        length += static_cast<size_t>(got);
    }
}

int judge_request(const char* head, size_t length)
{
    // Request line: method, one blank, target, one blank, version.
    const char* line_end = static_cast<const char*>(std::memchr(head, '\n', length));
    if (line_end == nullptr)
        return 400;
    size_t line = static_cast<size_t>(line_end - head);
    if (line > 0 && head[line - 1] == '\r')
        --line;
    size_t method = 0;
    while (method < line && is_token_char(head[method]))
        ++method;
    if (method == 0 || head[method] != ' ')  // at the line's end: '\r' or '\n'
        return 400;
    const char* target = head + method + 1;
    const char* target_end = static_cast<const char*>(std::memchr(target, ' ', line - method - 1));
    if (target_end == nullptr || target_end == target || *target != '/')
        return 400;
    const size_t version_length = line - static_cast<size_t>(target_end + 1 - head);
    if (version_length != 8 ||
        (std::memcmp(target_end + 1, "HTTP/1.0", 8) != 0 && std::memcmp(target_end + 1, "HTTP/1.1", 8) != 0))
        return 400;
    for (const char* p = target; p < target_end; ++p) {
        if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f)
            return 400;
    }
    // Every header line is a name and a colon.
    for (const char* p = line_end + 1; p < head + length;) {
        const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(head + length - p)));
        if (end == nullptr)
            return 400;
        size_t name = 0;
        while (p + name < end && is_token_char(p[name]))
            ++name;
        const bool blank = end == p || (end == p + 1 && *p == '\r');
        if (!blank && (name == 0 || p[name] != ':'))
            return 400;
        p = end + 1;
    }
    if (method != 3 || std::memcmp(head, "GET", 3) != 0)
        return 405;
    const size_t path = static_cast<size_t>(target_end - target);
    const char* query = static_cast<const char*>(std::memchr(target, '?', path));
    const size_t path_length = query != nullptr ? static_cast<size_t>(query - target) : path;
    return path_length == 8 && std::memcmp(target, "/metrics", 8) == 0 ? 200 : 404;
}

void write_response_head(std::FILE* out, int status, size_t body_length)
{
    const char* reason = status == 200   ? "OK"
                         : status == 404 ? "Not Found"
                         : status == 405 ? "Method Not Allowed"
                                         : "Bad Request";
    std::fprintf(out, "HTTP/1.1 %d %s\r\n", status, reason);
    std::fprintf(out, "Content-Type: %s\r\n", status == 200 ? "text/plain; version=0.0.4" : "text/plain");
    if (status == 405)
        std::fputs("Allow: GET\r\n", out);
    std::fprintf(out, "Content-Length: %zu\r\nConnection: close\r\n\r\n", body_length);
}

}  // namespace cellscope
