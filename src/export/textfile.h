// A file replaced atomically, for collectors that read files, with no
// temporary file left behind by a writer that was killed.
#pragma once

#include <cstdio>

namespace cellscope {

// What a writer puts into the file.
using TextWriter = void (*)(std::FILE* out, const void* context);

// Replaces the file at path with what write puts into a stream, so that a
// reader sees the old file or the new one whole: the text goes into a new
// file in path's folder (mode 0644), is synced, and is renamed over path.
// That file is made without a name (O_TMPFILE) and linked in as
// PATH.tmp-XXXXXX only just before the rename; where the file system cannot
// make unnamed files it has that name from the start. Either way the writer
// holds an exclusive flock on it until the rename, so a killed writer's
// file is told apart from a running writer's: before writing, every
// PATH.tmp-XXXXXX that is a regular file no writer holds is removed.
// unnamed false makes the named file from the start (for tests).
// 0, or an errno value (the temporary file removed, path as it was).
int replace_file(const char* path, TextWriter write, const void* context, bool unnamed = true);

// Removes the temporary files of earlier writers of path that are gone, as
// replace_file does first; how many it removed.
int remove_leftovers(const char* path);

}  // namespace cellscope
