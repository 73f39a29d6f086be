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

// Every field of the store as "name=value", in a fixed order.
inline std::vector<std::string> fields(const StatsStore& s)
{
    std::vector<std::string> out;
    auto value = [&](const std::string& name, uint64_t v) { out.push_back(name + "=" + std::to_string(v)); };
    auto record = [&](const std::string& name, const UsageRecord& r) {
        value(name + ".sample", r.sample);
        value(name + ".current", r.current);
        value(name + ".max", r.max);
        for (int b = 0; b < cellscope::kBuckets; ++b) {
            value(name + ".hits[" + std::to_string(b) + "]", r.buckets[b].hits);
            value(name + ".threshold[" + std::to_string(b) + "]", r.buckets[b].threshold);
        }
    };
    record("total_shared", s.sw.total_shared);
    record("shared_limit", s.sw.shared_limit);
    for (int p = 0; p < cellscope::kMaxPorts; ++p) {
        const cellscope::PortStats& port = s.ports[p];
        const std::string slot = "ports[" + std::to_string(p) + "].";
        value(slot + "id", static_cast<uint32_t>(port.id));
        out.push_back(slot + "name=" + std::string(port.name, strnlen(port.name, sizeof port.name)));
        value(slot + "ibp_drop", port.ibp_drop);
        value(slot + "rxpp", port.rxpp);
        value(slot + "txpp", port.txpp);
        record(slot + "port_shared", port.port_shared);
        for (int k = 0; k < cellscope::kGroups; ++k) {
            const std::string n = "[" + std::to_string(k) + "]";
            value(slot + "hol_drop" + n, port.hol_drop[k]);
            record(slot + "pg_shared" + n, port.pg_shared[k]);
            record(slot + "queue_shared" + n, port.queue_shared[k]);
        }
    }
    return out;
}

// The fields that differ, as "want ..., got ..."; empty when the stores are equal.
inline std::vector<std::string> store_diff(const StatsStore& want, const StatsStore& got)
{
    if (std::memcmp(&want, &got, sizeof want) == 0)
        return {};
    const std::vector<std::string> w = fields(want), g = fields(got);
    std::vector<std::string> out;
    for (size_t i = 0; i < w.size() && out.size() < 20; ++i) {
        if (w[i] != g[i])
            out.push_back("want " + w[i] + ", got " + g[i]);
    }
    return out;
}

// ---- table-driven line cases

// What a case does to a freshly initialised store.
using Edit = std::function<void(StatsStore&)>;

inline Edit nothing() { return [](StatsStore&) {}; }
inline Edit both(Edit a, Edit b) { return [=](StatsStore& s) { a(s), b(s); }; }
inline Edit total(uint32_t v) { return [=](StatsStore& s) { record_value(s.sw.total_shared, v); }; }
inline Edit limit(uint32_t v) { return [=](StatsStore& s) { record_value(s.sw.shared_limit, v); }; }
inline Edit pg(int slot, int g, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].pg_shared[g], v); }; }
inline Edit queue(int slot, int q, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].queue_shared[q], v); }; }
inline Edit shared(int slot, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].port_shared, v); }; }
inline Edit rxpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].rxpp = v; }; }
inline Edit txpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].txpp = v; }; }
inline Edit ibp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].ibp_drop = v; }; }
inline Edit hol(int slot, int q, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].hol_drop[q] = v; }; }

struct LineCase {
    std::string text;   // one or more lines
    Edit expect;        // the change to a fresh store
    std::string err{};  // stderr expected
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

// A line whose first fgets piece (255 characters) ends with head, the rest
// being filler before it; tail continues the line.
inline std::string split_line(const std::string& head, const std::string& tail)
{
    return std::string(255 - head.size(), '.') + head + tail + "\n";
}

// ---- whole dumps

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

struct Dump {
    std::string global, port, pg;
};

// One refresh cycle as the readers run it: reset and parse each file in
// turn. Returns what went to stderr.
inline std::string read_cycle(const cellscope::ModelProfile& profile, const Dump& d, StatsStore& store)
{
    store_reset_global(store);
    std::string err = parse_text(profile.parse_global, d.global, store);
    store_reset_ports(store);
    err += parse_text(profile.parse_port, d.port, store);
    return err + parse_text(profile.parse_pg, d.pg, store);
}

// Two refresh cycles over the dumps that make(cycle, want) writes while
// applying them to want: the stores must agree field by field, with nothing
// on stderr.
inline void check_dumps(const cellscope::ModelProfile& profile, const std::function<Dump(int, StatsStore&)>& make)
{
    auto got = fresh_store(profile.cell_scale);
    auto want = fresh_store(profile.cell_scale);
    for (int cycle = 1; cycle <= 2; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        store_reset_global(*want);
        store_reset_ports(*want);
        EXPECT_EQ(read_cycle(profile, make(cycle, *want), *got), "");
        EXPECT_EQ(store_diff(*want, *got), std::vector<std::string>{});
    }
}

}  // namespace parsertest
