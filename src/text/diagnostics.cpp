#include "text/diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cellscope {

namespace {

void to_stderr(const char* line)
{
    std::fputs(line, stderr);
}

DiagnosticSink g_sink = to_stderr;

}  // namespace

void set_diagnostic_sink(DiagnosticSink sink)
{
    g_sink = sink != nullptr ? sink : to_stderr;
}

DiagnosticSink diagnostic_sink()
{
    return g_sink;
}

void diagnose(const char* line)
{
    g_sink(line);
}

void diagnose_errno(const char* what)
{
    char line[160];
    std::snprintf(line, sizeof line, "%s: %s\n", what, std::strerror(errno));
    g_sink(line);
}

}  // namespace cellscope
