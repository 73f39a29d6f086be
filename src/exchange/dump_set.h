// One dump's three files, opened together: an open file outlives its
// deletion, so once the set is open nobody can take it from under the
// reader, and nobody waits for a reader.
#pragma once

#include "exchange/files.h"
#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

inline constexpr int kDumpFiles = 3;  // switch-wide, per-port, priority-group, in reading order

struct DumpSet {
    int fd[kDumpFiles] = {-1, -1, -1};  // -1: missing
};

// The path of dump file k.
const char* dump_path(const DumpPaths& paths, int k);

// Opens each dump file present as a regular file, other than the one whose
// stamp stale[k] holds (a file a request could not delete is the old dump's).
void open_dump_set(const DumpPaths& paths, const FileStamp* stale, DumpSet& set);

// The first file the set lacks, or nullptr when it is whole.
const char* missing_file(const DumpSet& set, const DumpPaths& paths);

void close_dump_set(DumpSet& set);

// Parses the files of the set in their fixed order, then closes them: the
// switch-wide file, then the per-port file, whose reset also clears the
// priority-group peaks, then the priority-group file, which adds to them.
// A missing file is passed over and what it would refresh stays.
void read_dump_set(DumpSet& set, StatsStore& store, const ModelProfile& profile);

}  // namespace cellscope
