// Helpers shared by the unit tests: temporary files and captured stderr.
#pragma once

#include <cstdio>
#include <string>

namespace testutil {

// A temporary file holding the given bytes; removed on destruction.
class TempFile {
public:
    explicit TempFile(const std::string& content);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Runs fn with file descriptor 2 redirected and returns what it wrote.
template <typename Fn>
std::string capture_stderr(Fn fn);

std::string read_file(const std::string& path);

// Redirect stderr to a temp file for the lifetime of the object.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text();  // stops the capture and returns the text

private:
    int saved_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

template <typename Fn>
std::string capture_stderr(Fn fn)
{
    StderrCapture capture;
    fn();
    return capture.text();
}

// A stream over the given bytes (tmpfile-backed, rewound).
std::FILE* stream_of(const std::string& content);

}  // namespace testutil
