// Helpers of the dump parser tests: run a parser over text, compare whole
// stores field by field, and table-driven line cases.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "models/profile.h"
#include "store/store.h"
#include "test_helpers.h"

namespace parsertest {

using cellscope::ParseFn;
using cellscope::StatsStore;
using cellscope::UsageRecord;

inline const std::string kNoDigits = "No digits were found\n";
inline const std::string kStrtolRange = std::string("strtol: ") + std::strerror(ERANGE) + "\n";
inline const std::string kStrtoulRange = std::string("strtoul: ") + std::strerror(ERANGE) + "\n";

inline std::unique_ptr<StatsStore> fresh_store(uint32_t scale)
{
    auto store = std::make_unique<StatsStore>();
    cellscope::store_init(*store, scale);
    return store;
}

// Runs fn over text into store and returns what went to stderr; the parser
// must have read the stream to its end.
inline std::string parse_text(ParseFn fn, const std::string& text, StatsStore& store)
{
    std::FILE* stream = testutil::stream_of(text);
    const std::string err = testutil::capture_stderr([&] { fn(stream, store); });
    EXPECT_EQ(std::fgetc(stream), EOF) << "stream not read to its end";
    std::fclose(stream);
    return err;
}

inline void diff_value(std::vector<std::string>& out, const std::string& name, uint64_t want, uint64_t got)
{
    if (want != got)
        out.push_back(name + ": want " + std::to_string(want) + ", got " + std::to_string(got));
}

inline void diff_record(std::vector<std::string>& out, const std::string& name, const UsageRecord& want,
                        const UsageRecord& got)
{
    diff_value(out, name + ".sample", want.sample, got.sample);
    diff_value(out, name + ".current", want.current, got.current);
    diff_value(out, name + ".max", want.max, got.max);
    for (int b = 0; b < cellscope::kBuckets; ++b) {
        const std::string bucket = name + ".buckets[" + std::to_string(b) + "]";
        diff_value(out, bucket + ".hits", want.buckets[b].hits, got.buckets[b].hits);
        diff_value(out, bucket + ".threshold", want.buckets[b].threshold, got.buckets[b].threshold);
    }
}

// Every field that differs, named; empty when the stores are equal.
inline std::vector<std::string> store_diff(const StatsStore& want, const StatsStore& got)
{
    std::vector<std::string> out;
    diff_record(out, "total_shared", want.sw.total_shared, got.sw.total_shared);
    diff_record(out, "shared_limit", want.sw.shared_limit, got.sw.shared_limit);
    for (int p = 0; p < cellscope::kMaxPorts; ++p) {
        const auto& w = want.ports[p];
        const auto& g = got.ports[p];
        const std::string slot = "ports[" + std::to_string(p) + "]";
        diff_value(out, slot + ".id", static_cast<uint32_t>(w.id), static_cast<uint32_t>(g.id));
        if (std::strncmp(w.name, g.name, sizeof w.name) != 0)
            out.push_back(slot + ".name");
        diff_value(out, slot + ".ibp_drop", w.ibp_drop, g.ibp_drop);
        diff_value(out, slot + ".rxpp", w.rxpp, g.rxpp);
        diff_value(out, slot + ".txpp", w.txpp, g.txpp);
        diff_record(out, slot + ".port_shared", w.port_shared, g.port_shared);
        for (int k = 0; k < cellscope::kGroups; ++k) {
            const std::string n = "[" + std::to_string(k) + "]";
            diff_value(out, slot + ".hol_drop" + n, w.hol_drop[k], g.hol_drop[k]);
            diff_record(out, slot + ".pg_shared" + n, w.pg_shared[k], g.pg_shared[k]);
            diff_record(out, slot + ".queue_shared" + n, w.queue_shared[k], g.queue_shared[k]);
        }
    }
    return out;
}

// ---- table-driven single-line cases

// What a case does to a freshly initialised store.
using Edit = std::function<void(StatsStore&)>;

inline Edit nothing() { return [](StatsStore&) {}; }
inline Edit total(uint32_t v) { return [=](StatsStore& s) { cellscope::record_value(s.sw.total_shared, v); }; }
inline Edit limit(uint32_t v) { return [=](StatsStore& s) { cellscope::record_value(s.sw.shared_limit, v); }; }
inline Edit pg(int slot, int g, uint32_t v)
{
    return [=](StatsStore& s) { cellscope::record_value(s.ports[slot].pg_shared[g], v); };
}
inline Edit queue(int slot, int q, uint32_t v)
{
    return [=](StatsStore& s) { cellscope::record_value(s.ports[slot].queue_shared[q], v); };
}
inline Edit shared(int slot, uint32_t v)
{
    return [=](StatsStore& s) { cellscope::record_value(s.ports[slot].port_shared, v); };
}
inline Edit rxpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].rxpp = v; }; }
inline Edit txpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].txpp = v; }; }
inline Edit ibp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].ibp_drop = v; }; }
inline Edit hol(int slot, int q, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].hol_drop[q] = v; }; }

struct LineCase {
    std::string text;    // one or more lines
    Edit expect;         // the change to a fresh store
    std::string err{};   // stderr expected
};

// Each case runs on its own fresh store; the whole store is compared.
inline void check_cases(ParseFn fn, uint32_t scale, const std::vector<LineCase>& cases)
{
    for (const LineCase& c : cases) {
        SCOPED_TRACE("input: " + c.text.substr(0, 120));
        auto got = fresh_store(scale);
        auto want = fresh_store(scale);
        c.expect(*want);
        EXPECT_EQ(parse_text(fn, c.text, *got), c.err);
        EXPECT_EQ(store_diff(*want, *got), std::vector<std::string>{});
    }
}

// A line that fills the first fgets piece (255 characters) with filler and
// then continues with tail; head is placed so that it ends at character 255.
inline std::string split_line(const std::string& head, const std::string& tail)
{
    return std::string(255 - head.size(), '.') + head + tail + "\n";
}

// printf into a std::string, for generated dumps.
inline std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// Slot of a front-panel label in a model's label table, -1 when absent.
inline int slot_of(const char* const* labels, const std::string& label)
{
    for (int p = 0; p < cellscope::kMaxPorts; ++p) {
        if (label == labels[p])
            return p;
    }
    return -1;
}

inline bool queues_untouched(const StatsStore& store)
{
    for (const auto& port : store.ports) {
        for (const auto& q : port.queue_shared) {
            if (q.sample != 0 || q.current != 0 || q.max != 0)
                return false;
            for (const auto& b : q.buckets) {
                if (b.hits != 0)
                    return false;
            }
        }
    }
    return true;
}

}  // namespace parsertest
