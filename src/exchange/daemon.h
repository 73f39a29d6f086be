// The switch daemon as the exchange meets it: its pid file, whether SIGUSR1
// can safely be sent to the process it names, and the signal itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/files.h"

namespace cellscope {

// Parses the text of a pid file: decimal digits with at most one final
// newline, nothing else. 0 with the pid (above 1, within the pid type), or
// -1 with a short reason.
int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason);

// The pid the pid file names, or 0 with *reason (nullptr for a pid file that
// cannot be opened, errno set).
int32_t read_pidfile(const char* pidfile, const char** reason);

// Whether process pid takes SIGUSR1 without ending: it catches the signal
// (a handler is process-wide), or every one of its threads blocks it (a
// thread that neither blocks nor catches it would take it and end the
// process). 1 yes, 0 no, -1 no such process (errno set).
int handles_dump_signal(const char* proc, int32_t pid);

// Sends SIGUSR1 to the daemon the pid file names, only to a plain process id
// above 1 that is not this process's own and handles the signal. The pid
// signalled, or 0 with the reason in why (one line, no newline).
int32_t signal_daemon(const DumpPaths& paths, char* why, size_t size);

}  // namespace cellscope
