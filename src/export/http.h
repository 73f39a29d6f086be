// One HTTP/1.0 or 1.1 request on standard input, as inetd-style activation
// hands a connection over: read its head, judge it, answer it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace cellscope {

inline constexpr size_t kMaxRequestHead = 8192;

// Reads a request head (up to its blank line) from fd into buffer within
// timeout. Its length; 0 when it did not come complete in time or the peer
// closed first; -1 when it is longer than kMaxRequestHead.
long read_request_head(int fd, char* buffer, size_t size, std::chrono::milliseconds timeout);

// The status a request head earns: 400 malformed, 405 a method other than
// GET, 404 a path other than /metrics, 200.
int judge_request(const char* head, size_t length);

// The status line and headers of an answer with a body of body_length bytes.
void write_response_head(std::FILE* out, int status, size_t body_length);

}  // namespace cellscope
