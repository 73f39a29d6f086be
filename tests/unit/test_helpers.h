// Helpers shared by the unit tests: temporary files, captured output, streams.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testutil {

inline std::string make_temp_path()
{
    const char* dir = std::getenv("TMPDIR");
    std::string templ = std::string(dir ? dir : "/tmp") + "/cellscope-test-XXXXXX";
    const int fd = mkstemp(templ.data());
    if (fd >= 0)
        close(fd);
    return templ;
}

// Everything written to a stream, from its start.
inline std::string contents_of(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, stream)) > 0;)
        out.append(buf, n);
    return out;
}

// A stream over the given bytes (tmpfile-backed, rewound).
inline std::FILE* stream_of(const std::string& content)
{
    std::FILE* f = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), f);
    std::rewind(f);
    return f;
}

// A temporary file holding the given bytes; removed on destruction.
class TempFile {
public:
    explicit TempFile(const std::string& content) : path_(make_temp_path())
    {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Redirects file descriptor fd (1 or 2) into a temporary file while alive.
class FdCapture {
public:
    explicit FdCapture(int fd) : fd_(fd), file_(std::tmpfile()), saved_((std::fflush(nullptr), dup(fd)))
    {
        dup2(fileno(file_), fd);
    }
    ~FdCapture()
    {
        text();
        std::fclose(file_);
    }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Ends the capture and returns what was written.
    std::string text()
    {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
            text_ = contents_of(file_);
        }
        return text_;
    }

private:
    int fd_;
    std::FILE* file_;
    int saved_;
    std::string text_;
};

template <typename Fn>
std::string capture_stderr(Fn fn)
{
    FdCapture capture(2);
    fn();
    return capture.text();
}

}  // namespace testutil
