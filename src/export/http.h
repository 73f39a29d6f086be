// One HTTP/1.0 or 1.1 request on standard input, as inetd-style activation
// hands a connection over: read its head, judge it, answer it, and let the
// peer read the answer before the connection ends. Finding the head's end,
// judging it and wording the answer's head are pure functions over buffers
// (the fuzz target fuzz_http calls them); only reading and the end of the
// connection touch descriptors. Nothing here allocates.
#pragma once

#include <chrono>
#include <cstddef>

namespace cellscope {

inline constexpr size_t kMaxRequestHead = 8192;

// The length of the request head at the start of text: up to and including
// the first empty line (a line end LF or CRLF right after a line end LF);
// 0 while text holds no empty line yet. Never more than length.
size_t request_head_length(const char* text, size_t length);

// Reads a request head (up to its blank line) from fd into buffer within
// timeout. Its length; 0 when it did not come complete in time or the peer
// closed first; -1 when it is longer than kMaxRequestHead.
long read_request_head(int fd, char* buffer, size_t size, std::chrono::milliseconds timeout);

// What an answer serves.
enum class Resource { None, Landing, Metrics };

// The judgement of a request head.
struct Verdict {
    int status = 400;                    // 200, 400, 404 or 405
    bool head = false;                   // the method is HEAD: the answer carries no content
    Resource resource = Resource::None;  // what a 200 serves (None for every other status)
};

// The judgement a request head earns, head being exactly what
// request_head_length found (ending with its one empty line): 400 when it is
// malformed (request line, target form, version, a header field line with no
// token name and colon, a control character other than HTAB in a field
// value), else 405 for a method other than GET and HEAD, else 404 for a path
// other than / and /metrics, else 200. The target may be in origin form
// (/metrics?query) or absolute form (http://host:port/metrics); OPTIONS may
// name * and CONNECT an authority (both then get 405).
Verdict judge_request(const char* head, size_t length);

// The content of an answer other than the metrics: the landing page of a 200
// for /, or one line naming the status.
const char* answer_content(const Verdict& verdict);

// The status line and header fields of the answer to verdict, ending with the
// empty line, into buffer (at least kMaxResponseHead bytes): their length.
// content_length < 0 leaves Content-Length out (the answer to a HEAD of the
// metrics, whose length only making them would tell).
inline constexpr size_t kMaxResponseHead = 256;
size_t format_response_head(char* buffer, size_t size, const Verdict& verdict, long content_length);

// Writes the answer's head and then its content (content_length 0: none)
// to fd, whole, through interruptions and partial writes, in as few writes as
// the descriptor takes: 0, or the errno of the write that failed.
int write_answer(int fd, const char* head, size_t head_length, const char* content, size_t content_length);

// Once the answer is written: when out is a socket, ends its sending side
// (the peer sees the answer's end) and reads and discards what the peer still
// sends on in (a request body, the rest of an overlong head) until it closes
// its side, max_bytes are discarded or max_time has passed, using scratch. A
// connection closed with unread input is reset, and a peer that is still
// sending would lose the answer with it. Nothing is done when out is no
// socket (a pipe, a file).
void finish_connection(int in, int out, char* scratch, size_t scratch_size, size_t max_bytes,
                       std::chrono::milliseconds max_time);

}  // namespace cellscope
