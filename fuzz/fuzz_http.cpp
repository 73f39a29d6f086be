// Fuzzes what the exporter does with the bytes of a connection: finding the
// end of the request head in what was read, judging the head, and wording
// the answer's head. Checks what must hold whatever the bytes: the head's
// length lies within them and ends at their first empty line; the status is
// one of the four; a well-formed verdict belongs to a head that is exactly
// one head, with no NUL and no CR but before a LF; the answer's head is one
// status line and fields ending with the empty line.
#include <cstdlib>
#include <cstring>

#include "export/http.h"

using namespace cellscope;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool ends_with(const char* text, size_t length, const char* tail)
{
    const size_t n = std::strlen(tail);
    return length >= n && std::memcmp(text + length - n, tail, n) == 0;
}

void check_answer_head(const Verdict& v, long content_length)
{
    char buffer[kMaxResponseHead];
    const size_t n = format_response_head(buffer, sizeof buffer, v, content_length);
    check(n > 0 && n < sizeof buffer && std::memchr(buffer, '\0', n) == nullptr);
    char status_line[32];
    const int line = std::snprintf(status_line, sizeof status_line, "HTTP/1.1 %d ", v.status);
    check(std::memcmp(buffer, status_line, static_cast<size_t>(line)) == 0);
    check(ends_with(buffer, n, "\r\nConnection: close\r\n\r\n"));
    check((std::strstr(buffer, "\r\nContent-Length: ") != nullptr) == (content_length >= 0));
    check((std::strstr(buffer, "\r\nAllow: GET, HEAD\r\n") != nullptr) == (v.status == 405));
    check(std::strstr(buffer, "charset=utf-8\r\n") != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const size_t head = request_head_length(text, size);
    check(head <= size);
    if (head != 0) {
        // It ends with an empty line (LF or CRLF after a LF), and no shorter read held one.
        check(head >= 2 && text[head - 1] == '\n' &&
              (text[head - 2] == '\n' || (head >= 3 && text[head - 2] == '\r' && text[head - 3] == '\n')));
        check(request_head_length(text, head - 1) == 0);
    }
    // The exporter judges a head it found; the bytes as a whole are judged
    // too, as a head that may lack its end or hold more after it. An exact
    // copy: a read past the end is a fault the sanitizer reports.
    for (const size_t length : {head != 0 ? head : size, size}) {
        char* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr)
            return 0;
        std::memcpy(copy, text, length);
        const Verdict v = judge_request(copy, length);
        const Verdict again = judge_request(copy, length);
        check(v.status == again.status && v.head == again.head && v.resource == again.resource);
        check(v.status == 200 || v.status == 400 || v.status == 404 || v.status == 405);
        check((v.status == 200) == (v.resource != Resource::None));
        if (v.head)
            check(length >= 5 && std::memcmp(copy, "HEAD ", 5) == 0);
        if (v.status != 400) {
            // Exactly one head: it ends where its end is found.
            check(request_head_length(copy, length) == length);
            check(std::memchr(copy, '\0', length) == nullptr);
            for (size_t i = 0; i < length; ++i)
                check(copy[i] != '\r' || (i + 1 < length && copy[i + 1] == '\n'));
            const bool get = length >= 4 && std::memcmp(copy, "GET ", 4) == 0;
            check((v.status == 405) == (!get && !v.head));
        }
        const char* content = answer_content(v);
        check(content != nullptr && (v.status != 200 || v.resource == Resource::Metrics || content[0] == '<'));
        check_answer_head(v, v.head && v.resource == Resource::Metrics ? -1 : static_cast<long>(std::strlen(content)));
        check_answer_head(v, static_cast<long>(size));
        std::free(copy);
    }
    return 0;
}
