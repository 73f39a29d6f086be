// Where the lower layers' diagnostics go. Each is one whole line, ending in a
// newline. Standard error unless the program chooses another sink: the
// exporter answering a connection on its standard streams sends them to
// syslog, so that nothing but the answer reaches the peer.
#pragma once

namespace cellscope {

using DiagnosticSink = void (*)(const char* line);

void set_diagnostic_sink(DiagnosticSink sink);
DiagnosticSink diagnostic_sink();

// Hands one line to the sink.
void diagnose(const char* line);
// "WHAT: REASON\n" with the reason errno names, worded as perror words it.
void diagnose_errno(const char* what);

}  // namespace cellscope
