#include "test_helpers.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace testutil {

static std::string make_temp_path()
{
    const char* dir = std::getenv("TMPDIR");
    std::string templ = std::string(dir ? dir : "/tmp") + "/cellscope-test-XXXXXX";
    int fd = mkstemp(templ.data());
    if (fd >= 0)
        close(fd);
    return templ;
}

TempFile::TempFile(const std::string& content) : path_(make_temp_path())
{
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
}

TempFile::~TempFile() { unlink(path_.c_str()); }

std::string read_file(const std::string& path)
{
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

StderrCapture::StderrCapture() : path_(make_temp_path())
{
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 2);
    close(fd);
}

std::string StderrCapture::text()
{
    if (!done_) {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        text_ = read_file(path_);
        unlink(path_.c_str());
        done_ = true;
    }
    return text_;
}

StderrCapture::~StderrCapture() { text(); }

std::FILE* stream_of(const std::string& content)
{
    std::FILE* f = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), f);
    std::rewind(f);
    return f;
}

}  // namespace testutil
