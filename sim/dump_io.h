// Putting dumps in place: the fixed paths (under an optional root), atomic
// file replacement, the completion marker, the truth log and the recording
// of dump sets; and the two sources of dumps, generated and replayed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dump_format.h"
#include "traffic.h"

namespace swsim {

inline constexpr char kGlobalName[] = "sw_global_info.1";
inline constexpr char kPortName[] = "port_info.1";
inline constexpr char kPgName[] = "pg_info.1";

struct Paths {
    std::string root;  // prefix for /tmp and /var/run; empty for the real ones

    std::string tmp_dir() const { return root + "/tmp"; }
    std::string run_dir() const { return root + "/var/run"; }
    std::string global() const { return tmp_dir() + "/" + kGlobalName; }
    std::string port() const { return tmp_dir() + "/" + kPortName; }
    std::string pg() const { return tmp_dir() + "/" + kPgName; }
    std::string marker() const { return tmp_dir() + "/swfabric_se_dump_complete"; }
    std::string pid_file() const { return run_dir() + "/swfabric_se_dump.pid"; }
};

// Writes content under a temporary name in the same directory and renames it
// over path, so readers see the old file or the new one, never a part.
// delay_ms: pause before the rename (a slow daemon). On failure err says why.
bool write_file_atomic(const std::string& path, const std::string& content, std::string& err, unsigned delay_ms = 0);
bool read_file(const std::string& path, std::string& out, std::string& err);
bool make_dirs(const std::string& path, std::string& err);

struct Dump {
    uint64_t number = 0;
    DumpText text;
    std::string truth;  // record for the truth log
};

class DumpSource {
public:
    virtual ~DumpSource() = default;
    virtual bool produce(Dump& out, std::string& err) = 0;
};

class GeneratedSource : public DumpSource {
public:
    GeneratedSource(Model model, Scenario scenario, uint64_t seed, int target, uint64_t counter_base)
        : traffic_(model, scenario, seed, target, counter_base)
    {
    }
    bool produce(Dump& out, std::string& err) override;

private:
    Traffic traffic_;
};

// Plays recorded dump sets: the sub-directories of dir sorted by name, each
// holding the three dump files. After the last set it keeps repeating it.
class ReplaySource : public DumpSource {
public:
    // Lists the sets; false with err when dir is unusable or holds none.
    bool open(const std::string& dir, std::string& err);
    bool produce(Dump& out, std::string& err) override;
    const std::vector<std::string>& sets() const { return sets_; }

private:
    std::string dir_;
    std::vector<std::string> sets_;
    size_t next_ = 0;
    uint64_t number_ = 0;
    bool told_last_ = false;
};

class DumpSink {
public:
    DumpSink(Paths paths, std::string truth_path, std::string record_dir, unsigned delay_ms)
        : paths_(std::move(paths)),
          truth_path_(std::move(truth_path)),
          record_dir_(std::move(record_dir)),
          delay_ms_(delay_ms)
    {
    }

    // Removes the marker, replaces the three files, records the set and the
    // truth, then creates the marker.
    bool publish(const Dump& dump, std::string& err);

private:
    Paths paths_;
    std::string truth_path_;
    std::string record_dir_;
    unsigned delay_ms_;
};

}  // namespace swsim
