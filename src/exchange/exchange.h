// The exchange with the switch daemon, shared by every monitor and exporter
// on the module.
//
// The daemon writes the three dump files on SIGUSR1 and then creates the
// completion marker. A request deletes the previous files and marker first,
// so every file present once the marker is back belongs to the new dump.
// One state file (shared_state.h), changed under flock for moments only,
// says which request is the latest (its generation), whether it is still
// outstanding, who made it and when, whether the daemon was signalled, when
// its dump was complete, what a request could not delete, and which
// monitors run and what they read. Readers open a dump's files under the
// lock and read them after it: an open file outlives its deletion, so no
// reader ever holds up a request, and no request tears a set being read.
//
// | who              | may request a dump                                  | reads                                  |
// |------------------|-----------------------------------------------------|----------------------------------------|
// | monitor          | at start, and after reading each dump, unless a     | every dump once: each of its files     |
// |                  | request is outstanding or another monitor with a    | that is present (a missing one's       |
// |                  | pass in the last 10 s has not read the dump yet     | figures stay), in the fixed order      |
// |                  | (waited for at most 4 s after the dump came)        |                                        |
// | exporter         | as a monitor, and only when the latest request of   | a dump complete within --interval      |
// |                  | anyone is --interval old (1 s): scrapes within it   | before the scrape began, one a monitor |
// |                  | share one dump                                      | is still to read, or one that comes    |
// |                  |                                                     | while it waits; all three files        |
// | batch run        | never                                               | whatever files are present             |
//
// | fault                                          | what happens                                            |
// |------------------------------------------------|---------------------------------------------------------|
// | the marker appears (a regular file, not stale) | whoever looks first records the dump as complete        |
// | the daemon cannot be signalled (no pid file,   | said once; every pass looks again and signals once the  |
// | a process SIGUSR1 would end)                   | pid file names a process that catches or blocks it      |
// | no marker, and the daemon was restarted since  | the request is repeated after 10 passes of a monitor or |
// | the signal                                     | 30 s; a merely slow daemon is never asked twice         |
// | a file or marker cannot be deleted             | said once; its stamp is recorded as stale, so no reader |
// |                                                | takes it for part of a later dump                       |
// | a process stalls holding the state's lock      | the others give up on it after 2 s: a monitor's pass    |
// |                                                | reads nothing, an exporter answers cellscope_up 0       |
// | a monitor stops or dies                        | a dump waits at most 4 s for it; forgotten after 10 s   |
// | an exporter stops or dies mid-read             | nobody waits for it; its request, if any, stays valid   |
// | the state file is removed or replaced          | reopened where the path leads; its new epoch makes      |
// |                                                | every dump new                                          |
// | the state file cannot be used (read-only       | said once; a monitor works alone, as a lone monitor     |
// | /var/run, not a regular file, a link)          | always did; an exporter answers cellscope_up 0          |
#pragma once

#include <cstdint>

#include "exchange/dump_set.h"
#include "exchange/files.h"
#include "exchange/shared_state.h"
#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

// Diagnostics that would repeat on every pass are written once, until their
// text changes: one slot per path a request deletes, then the pid file, the
// state file and the set an exporter found lacking a file.
inline constexpr int kNoteSlots = 8;
inline constexpr int kNoteSize = 200;

// What one process keeps of the exchange.
struct ExchangeState {
    int state_fd = 0;               // the state file, once opened (0: not yet; never a standard stream)
    bool alone = false;             // the state file cannot be used: `own` stands for it
    SharedState own{};              // this process's own state, when alone
    uint64_t epoch = 0;             // the state's epoch as last seen
    uint32_t read = 0;              // the generation read last (0: none)
    uint32_t waited_for = 0;        // the request passes_waiting counts for
    int passes_waiting = 0;         // a monitor's passes without its marker
    bool monitor = false;           // a monitor: registered in the state, may work alone
    bool quiet = false;             // notes are kept, not written
    int32_t id = 0;                 // who this process is in the state: its pid, unless set
    Nanos (*clock)() = nullptr;     // the monotonic clock, unless set
    char notes[kNoteSlots][kNoteSize]{};
};

// The latest note kept about the exchange (a refusal, a failed deletion),
// or "" when there is none.
const char* last_note(const ExchangeState& state);

// A monitor joins the exchange: it is recorded as one, and asks for a dump
// when it may (deleting whatever dump lies there), as the refresh loop
// starts. leave_exchange takes it out again when it ends.
void join_exchange(ExchangeState& state, const DumpPaths& paths = kDumpPaths);
void leave_exchange(ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// One pass of a monitor's exchange: reads the latest dump if it is complete
// and not read yet (true), then asks for the next when it may; repeats a
// request the daemon was restarted during, and signals a daemon that could
// not be signalled before once it can.
bool exchange_pass(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                   const DumpPaths& paths = kDumpPaths);

// Reads whatever dump files are present, as a batch run does; asks for
// nothing and says nothing.
void read_present_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                       const DumpPaths& paths = kDumpPaths);

// What an exporter's scrape asks of the exchange.
struct DumpWanted {
    Nanos timeout;   // the longest wait for a fresh dump
    Nanos interval;  // scrapes within it share one dump; at most one request per interval
    Nanos max_age;   // the oldest dump to fall back on when no fresh one came in time
};

// An exporter's dump: a whole dump (all three files) read into the store,
// complete no earlier than `interval` before the call, or still to be read
// by a running monitor (at most kMonitorGrace old), or complete while it
// waits (asked for when the protocol allows); or else, when none came within
// `timeout`, the latest one complete at most `max_age` before the return.
// 0 with the moment it was complete (real time), or -1 (the reason in
// last_note).
int obtain_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpWanted& wanted,
                Nanos* completed, const DumpPaths& paths = kDumpPaths);

}  // namespace cellscope
