#include "export/http.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "exchange/exchange.h"

namespace cellscope {

namespace {

bool is_token_char(char c)
{
    // strchr finds the terminator too: a NUL is no token character.
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// One read of what `fd` sends before the deadline, through signals: the
// bytes read, 0 at the deadline or the peer's end, -1 on an error.
ssize_t read_before(int fd, char* buffer, size_t size, Nanos deadline)
{
    for (;;) {
        const int left = milliseconds_until(deadline);
        struct pollfd in = {fd, POLLIN, 0};
        const int ready = left > 0 ? poll(&in, 1, left) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready;
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool is(const char* text, size_t length, const char* word)
{
    return std::strlen(word) == length && std::memcmp(text, word, length) == 0;
}

// Whether text is word, letters compared without case (word in lower case).
bool is_nocase(const char* text, size_t length, const char* word)
{
    if (std::strlen(word) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != word[i])
            return false;
    }
    return true;
}

// Where the path of an absolute-form target (http://host:port/path?query)
// begins, the target's end when it has none (an empty path is "/"); nullptr
// when it is no http or https URI with a host and without user information.
const char* absolute_path(const char* target, const char* end)
{
    const char* colon = static_cast<const char*>(std::memchr(target, ':', static_cast<size_t>(end - target)));
    if (colon == nullptr || end - colon < 3 || colon[1] != '/' || colon[2] != '/')
        return nullptr;
    const size_t scheme = static_cast<size_t>(colon - target);
    if (!is_nocase(target, scheme, "http") && !is_nocase(target, scheme, "https"))
        return nullptr;
    const char* authority = colon + 3;
    const char* p = authority;
    for (; p < end && *p != '/' && *p != '?'; ++p) {
        if (*p == '@')
            return nullptr;
    }
    return p == authority ? nullptr : p;
}

// Whether a target is in authority form, host:port (CONNECT's).
bool is_authority(const char* target, const char* end)
{
    const char* p = end;
    while (p > target && p[-1] >= '0' && p[-1] <= '9')
        --p;
    if (p == end || p - target < 2 || p[-1] != ':')
        return false;
    for (const char* c = target; c < p - 1; ++c) {
        if (*c == '/' || *c == '?' || *c == '@')
            return false;
    }
    return true;
}

constexpr char kLandingPage[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\">\n"
    "<head><meta charset=\"utf-8\"><title>cellscope-export</title></head>\n"
    "<body>\n"
    "<h1>cellscope-export</h1>\n"
    "<p>The switch buffer figures of this module in the Prometheus text format: "
    "<a href=\"/metrics\">/metrics</a></p>\n"
    "</body>\n"
    "</html>\n";

}  // namespace

size_t request_head_length(const char* text, size_t length)
{
    for (size_t i = 0; i + 1 < length; ++i) {
        if (text[i] == '\n' && (text[i + 1] == '\n' || (text[i + 1] == '\r' && i + 2 < length && text[i + 2] == '\n')))
            return i + (text[i + 1] == '\n' ? 2 : 3);
    }
    return 0;
}

long read_request_head(int fd, char* buffer, size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = monotonic_now() + timeout;
    const size_t limit = size < kMaxRequestHead ? size : kMaxRequestHead;
    size_t length = 0;
    for (;;) {
        if (const size_t head = request_head_length(buffer, length))
            return static_cast<long>(head);
        if (length == limit)
            return -1;
        const ssize_t got = read_before(fd, buffer + length, limit - length, deadline);
        if (got <= 0)
            return 0;
        length += static_cast<size_t>(got);
    }
}

Verdict judge_request(const char* head, size_t length)
{
    Verdict verdict;  // 400 until the head proves well formed
    const char* const end = head + length;
    // Request line: method, one blank, target, one blank, version.
    const char* line_end = static_cast<const char*>(std::memchr(head, '\n', length));
    if (line_end == nullptr)
        return verdict;
    size_t line = static_cast<size_t>(line_end - head);
    if (line > 0 && head[line - 1] == '\r')
        --line;
    size_t method = 0;
    while (method < line && is_token_char(head[method]))
        ++method;
    if (method == 0 || head[method] != ' ')  // at the line's end: '\r' or '\n'
        return verdict;
    verdict.head = is(head, method, "HEAD");  // whatever the status: no content
    const char* target = head + method + 1;
    const char* target_end = static_cast<const char*>(std::memchr(target, ' ', line - method - 1));
    if (target_end == nullptr || target_end == target)
        return verdict;
    const size_t version_length = line - static_cast<size_t>(target_end + 1 - head);
    if (version_length != 8 ||
        (std::memcmp(target_end + 1, "HTTP/1.0", 8) != 0 && std::memcmp(target_end + 1, "HTTP/1.1", 8) != 0))
        return verdict;
    for (const char* p = target; p < target_end; ++p) {
        if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f)
            return verdict;
    }
    // The target's form: origin (/path?query), absolute (http://host/path),
    // asterisk (OPTIONS *) or authority (CONNECT host:port).
    const size_t target_length = static_cast<size_t>(target_end - target);
    const bool asterisk = is(head, method, "OPTIONS") && is(target, target_length, "*");
    const bool authority = is(head, method, "CONNECT") && is_authority(target, target_end);
    const char* path = *target == '/' ? target : asterisk || authority ? nullptr : absolute_path(target, target_end);
    if (path == nullptr && !asterisk && !authority)
        return verdict;
    // Every header field line is a token, a colon and a value free of control
    // characters but HTAB (a CR only as part of the line end); the head ends
    // with its one empty line.
    for (const char* p = line_end + 1;;) {
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (eol == nullptr)
            return verdict;
        const char* stop = eol > p && eol[-1] == '\r' ? eol - 1 : eol;
        if (stop == p) {
            if (eol + 1 != end)
                return verdict;
            break;
        }
        size_t name = 0;
        while (p + name < stop && is_token_char(p[name]))
            ++name;
        if (name == 0 || p[name] != ':')
            return verdict;
        for (const char* c = p + name + 1; c < stop; ++c) {
            const auto byte = static_cast<unsigned char>(*c);
            if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
                return verdict;
        }
        p = eol + 1;
    }
    if (!is(head, method, "GET") && !verdict.head) {
        verdict.status = 405;
        return verdict;
    }
    const size_t rest = static_cast<size_t>(target_end - path);
    const char* query = static_cast<const char*>(std::memchr(path, '?', rest));
    const size_t path_length = query != nullptr ? static_cast<size_t>(query - path) : rest;
    if (path_length == 0 || is(path, path_length, "/"))
        verdict.resource = Resource::Landing;
    else if (is(path, path_length, "/metrics"))
        verdict.resource = Resource::Metrics;
    verdict.status = verdict.resource == Resource::None ? 404 : 200;
    return verdict;
}

const char* answer_content(const Verdict& verdict)
{
    switch (verdict.status) {
    case 200:
        return verdict.resource == Resource::Landing ? kLandingPage : "";
    case 404:
        return "not found\n";
    case 405:
        return "method not allowed\n";
    default:
        return "bad request\n";
    }
}

size_t format_response_head(char* buffer, size_t size, const Verdict& verdict, long content_length)
{
    const int status = verdict.status;
    const char* reason = status == 200   ? "OK"
                         : status == 404 ? "Not Found"
                         : status == 405 ? "Method Not Allowed"
                                         : "Bad Request";
    const char* type = status != 200                           ? "text/plain; charset=utf-8"
                       : verdict.resource == Resource::Landing ? "text/html; charset=utf-8"
                                                               : "text/plain; version=0.0.4; charset=utf-8";
    char length_field[48] = "";
    if (content_length >= 0)
        std::snprintf(length_field, sizeof length_field, "Content-Length: %ld\r\n", content_length);
    const int written = std::snprintf(buffer, size, "HTTP/1.1 %d %s\r\nContent-Type: %s\r\n%s%sConnection: close\r\n\r\n",
                                      status, reason, type, status == 405 ? "Allow: GET, HEAD\r\n" : "",
                                      length_field);
    return written > 0 && static_cast<size_t>(written) < size ? static_cast<size_t>(written) : 0;
}

int write_answer(int fd, const char* head, size_t head_length, const char* content, size_t content_length)
{
    struct iovec parts[2] = {{const_cast<char*>(head), head_length}, {const_cast<char*>(content), content_length}};
    int first = 0;  // the first part not written whole
    while (first < 2) {
        if (parts[first].iov_len == 0) {
            ++first;
            continue;
        }
        const ssize_t written = writev(fd, parts + first, 2 - first);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        auto done = static_cast<size_t>(written);
        for (; first < 2 && done >= parts[first].iov_len; ++first)
            done -= parts[first].iov_len;
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return 0;
}

void finish_connection(int in, int out, char* scratch, size_t scratch_size, size_t max_bytes,
                       std::chrono::milliseconds max_time)
{
    struct stat st;
    if (fstat(out, &st) != 0 || !S_ISSOCK(st.st_mode))
        return;
    shutdown(out, SHUT_WR);  // the peer reads the answer to its end
    const auto deadline = monotonic_now() + max_time;
    for (size_t discarded = 0; discarded < max_bytes;) {
        const size_t want = max_bytes - discarded < scratch_size ? max_bytes - discarded : scratch_size;
        const ssize_t got = read_before(in, scratch, want, deadline);
        if (got <= 0)
            return;  // the deadline, the peer's end, or its connection gone
        discarded += static_cast<size_t>(got);
    }
}

}  // namespace cellscope
