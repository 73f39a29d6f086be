// Shared by the unit tests: files, streams, stderr, the dump paths, stores.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "exchange/exchange.h"
#include "store/store.h"

namespace testutil {

// Everything in a stream, from its start.
inline std::string contents_of(std::FILE* stream)
{
    std::string out;
    char buf[4096];
    std::fflush(stream);
    for (std::rewind(stream); size_t n = std::fread(buf, 1, sizeof buf, stream);)
        out.append(buf, n);
    return out;
}

// The whole file at path, "" when there is none.
inline std::string read_file(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    std::string text = f != nullptr ? contents_of(f) : "";
    if (f != nullptr)
        std::fclose(f);
    return text;
}

// A rewound stream over text.
inline std::FILE* stream_of(const std::string& text)
{
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

// What fn writes to stderr.
template <typename Fn>
std::string capture_stderr(Fn fn)
{
    std::fflush(stderr);
    std::FILE* file = std::tmpfile();
    const int saved = dup(2);
    dup2(fileno(file), 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = contents_of(file);
    std::fclose(file);
    return text;
}

inline void put(const std::string& path, const std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

inline bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A scratch folder with the dump paths in it, removed afterwards.
struct Scratch {
    std::string dir = make();
    std::string global = dir + "/sw_global_info.1", port = dir + "/port_info.1", pg = dir + "/pg_info.1";
    std::string marker = dir + "/complete", pidfile = dir + "/pid", report = dir + "/report";
    std::string proc = dir + "/proc", state = dir + "/state";  // proc: status files the test makes
    cellscope::DumpPaths paths{global.c_str(), port.c_str(),  pg.c_str(),   marker.c_str(),
                               pidfile.c_str(), proc.c_str(), state.c_str()};

    static std::string make()
    {
        std::string d = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/cellscope-XXXXXX";
        EXPECT_NE(mkdtemp(d.data()), nullptr);
        return d;
    }
    ~Scratch() { EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0); }
    // A complete dump: the three files, then the marker.
    void dump(const std::string& global_text, const std::string& port_text, const std::string& pg_text) const
    {
        put(global, global_text);
        put(port, port_text);
        put(pg, pg_text);
        put(marker, "");
    }
};

// The parts of the store that differ: "switch" or "ports[N]"; none if equal.
inline std::vector<std::string> store_diff(const cellscope::StatsStore& want, const cellscope::StatsStore& got)
{
    std::vector<std::string> out;
    if (std::memcmp(&want.sw, &got.sw, sizeof want.sw) != 0)
        out.push_back("switch");
    for (int p = 0; p < cellscope::kMaxPorts; ++p) {
        if (std::memcmp(&want.ports[p], &got.ports[p], sizeof want.ports[p]) != 0)
            out.push_back("ports[" + std::to_string(p) + "]");
    }
    return out;
}

}  // namespace testutil
