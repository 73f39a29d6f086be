#include "dump_check.h"

#include <strings.h>

#include <cstdlib>
#include <functional>
#include <sstream>

namespace simcheck {

namespace {

const int kXMap[17] = {40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32};
const int kYMap[25] = {16, 20, 24, 28, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                       17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31};
const int kMmuMap[49] = {-1, 0,  4,  8,  12, 1,  5,  9,  13, 2,  6,  10, 14, 3,  7,  11, 15,
                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                         16, 20, 24, 28, 17, 21, 25, 29, 18, 22, 26, -1, 19, 23, 27};

size_t ci_find(const std::string& s, const char* token, size_t from = 0) {
    const size_t n = std::char_traits<char>::length(token);
    for (size_t i = from; i + n <= s.size(); ++i)
        if (strncasecmp(s.c_str() + i, token, n) == 0) return i;
    return std::string::npos;
}

struct LineReader {
    const std::string& line;
    Reading& out;
    int ports;

    void problem(const std::string& what) { out.problems.push_back(what + ": " + line); }

    // Decimal number right after the first occurrence of token in the line.
    bool index_after(const char* token, long long& v) {
        const size_t pos = ci_find(line, token);
        if (pos == std::string::npos) {
            problem(std::string("no ") + token);
            return false;
        }
        const char* p = line.c_str() + pos + std::char_traits<char>::length(token);
        if (*p < '0' || *p > '9') {
            problem(std::string("no digits after ") + token);
            return false;
        }
        v = std::strtoll(p, nullptr, 10);
        return true;
    }

    bool slot(long long& s) {
        if (!index_after("xe", s)) return false;
        if (s >= ports) {
            problem("port beyond the module");
            return false;
        }
        return true;
    }

    // Value after key, searched from the marker's position on, base 0.
    bool value(size_t marker_pos, const char* key, uint64_t& v) {
        const size_t pos = ci_find(line, key, marker_pos);
        if (pos == std::string::npos) {
            problem(std::string("no key ") + key);
            return false;
        }
        const char* p = line.c_str() + pos + std::char_traits<char>::length(key);
        if (*p < '0' || *p > '9') {
            problem(std::string("no value after ") + key);
            return false;
        }
        char* end = nullptr;
        v = std::strtoull(p, &end, 0);
        return true;
    }

    void put(const std::string& item, uint64_t v) { out.items[item].push_back(v); }
};

using Branch = std::function<void(LineReader&, size_t marker_pos)>;
struct Marker {
    const char* name;
    Branch branch;
};

// First marker of the list found in the line decides; false when none is.
bool dispatch(LineReader& r, const std::vector<Marker>& markers) {
    for (const Marker& m : markers) {
        const size_t pos = ci_find(r.line, m.name);
        if (pos != std::string::npos) {
            m.branch(r, pos);
            return true;
        }
    }
    return false;
}

std::string port_item(long long slot, const char* field) {
    return "port " + std::to_string(slot) + " " + field;
}
std::string port_item(long long slot, const char* field, long long k) {
    return port_item(slot, field) + " " + std::to_string(k);
}

Branch global_branch(const char* key, const char* item) {
    return [key, item](LineReader& r, size_t pos) {
        uint64_t v;
        if (r.value(pos, key, v)) r.put(item, v);
    };
}

Branch counter_by_name(const char* key, const char* field) {
    return [key, field](LineReader& r, size_t pos) {
        uint64_t v;
        long long s;
        if (r.value(pos, key, v) && r.slot(s)) r.put(port_item(s, field), v);
    };
}

// ---- 42 ----

Branch pg42(const int* map, long long last) {
    return [map, last](LineReader& r, size_t pos) {
        long long idx;
        uint64_t v;
        if (!r.index_after("[", idx) || idx < 0 || idx > last) return;
        if (r.value(pos, "PG_SHARED_COUNT=", v)) r.put(port_item(map[idx / 8], "pg", idx % 8), v);
    };
}

Branch sp42(const int* map, long long last) {
    return [map, last](LineReader& r, size_t pos) {
        long long idx;
        uint64_t v;
        if (!r.index_after("[", idx) || idx % 4 != 0 || idx < 0 || idx > last) return;
        if (r.value(pos, "PORT_SP_SHARED_COUNT=", v)) r.put(port_item(map[idx / 4], "port_shared"), v);
    };
}

void ing42(LineReader& r, size_t pos) {
    uint64_t v;
    long long idx;
    if (!r.value(pos, "PKTCNT=", v) || !r.index_after("[", idx)) return;
    if (idx >= 64 && idx <= 88)
        r.put(port_item(kYMap[idx - 64], "ibp_drop"), v);
    else if (idx >= 0 && idx <= 16)
        r.put(port_item(kXMap[idx], "ibp_drop"), v);
}

void uc42(LineReader& r, size_t pos) {
    uint64_t v;
    long long idx, slot, q;
    if (!r.value(pos, "PKTCNT=", v) || !r.index_after("[", idx)) return;
    if (idx > 1787 || idx < 0 || (idx >= 204 && idx <= 1535)) return;
    if (idx >= 1576) {
        slot = kYMap[4 + (idx - 1576) / 12];
        q = (idx - 1576) % 12;
    } else if (idx >= 1536) {
        slot = kYMap[(idx - 1536) / 10];
        q = (idx - 1536) % 10;
    } else {
        slot = kXMap[idx / 12];
        q = idx % 12;
    }
    if (q <= 7) r.put(port_item(slot, "hol_drop", q), v);
}

// ---- 24 / 30 ----

Branch by_port_paren(const char* key, const char* field) {
    return [key, field](LineReader& r, size_t pos) {
        long long s, k;
        uint64_t v;
        if (!r.slot(s) || !r.index_after("(", k)) return;
        if (k > 7) {
            r.problem("group beyond 7");
            return;
        }
        if (r.value(pos, key, v)) r.put(port_item(s, field, k), v);
    };
}

void queue24(LineReader& r, size_t pos) {
    long long s, q;
    uint64_t v;
    if (!r.slot(s) || !r.index_after("(", q) || !r.value(pos, "AVGQSIZE_CELL=", v)) return;
    if (v > 0xffffffffULL) {
        r.problem("queue size beyond 32 bits");
        return;
    }
    r.put(port_item(s, "queue", q), (v >> 15) & 0x7fff);
}

void uc30(LineReader& r, size_t pos) {
    uint64_t v;
    long long i, mmu, q;
    if (!r.value(pos, "PKT_CNT=", v) || !r.index_after("[", i)) return;
    if (i >= 872) {
        mmu = 38 + (i - 872) / 10;
        q = (i - 872) % 10;
    } else if (i >= 576) {
        mmu = 34 + (i - 576) / 74;
        q = (i - 576) % 74;
    } else if (i >= 296) {
        mmu = 5 + (i - 296) / 10;
        q = (i - 296) % 10;
    } else {
        mmu = i / 74;
        q = i % 74;
    }
    if (mmu < 1 || mmu > 48 || kMmuMap[mmu] < 0 || q > 7) return;
    r.put(port_item(kMmuMap[mmu], "hol_drop", q), v);
}

void read_file(int model, const std::string& text, const std::vector<Marker>& markers,
               bool port_first, Reading& out) {
    for (const std::string& line : split_lines(text)) {
        LineReader r{line, out, port_count(model)};
        if (line.size() > 254) r.problem("line too long");
        if (!line.empty() && line[0] == '#') {
            if (ci_find(line, "xe") != std::string::npos) r.problem("comment with xe");
            continue;
        }
        // Modules whose readers take the port before any marker test.
        if (port_first) {
            long long s;
            if (!r.slot(s)) continue;
        }
        if (!dispatch(r, markers)) r.problem("unrecognised line");
    }
}

}  // namespace

int port_count(int model) { return model == 42 ? 42 : model == 24 ? 24 : 30; }
uint32_t cell_scale(int model) { return model == 24 ? 16384 : 32768; }

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

Reading read_dump(int model, const std::string& global, const std::string& port,
                  const std::string& pg) {
    Reading out;
    if (model == 42) {
        read_file(model, global,
                  {{"THDI_BUFFER_CELL_LIMIT_SP", global_branch("LIMIT=", "global shared_limit")},
                   {"MMU_THDM_DB_POOL_SHARED_COUNT", global_branch("COUNT=", "global total_shared")}},
                  false, out);
        read_file(model, pg,
                  {{"THDI_PORT_PG_CNTRS_RT1_X", pg42(kXMap, 135)},
                   {"THDI_PORT_PG_CNTRS_RT1_Y", pg42(kYMap, 199)}},
                  false, out);
        read_file(model, port,
                  {{"RXPP", counter_by_name("COUNT=", "rxpp")},
                   {"TXPP", counter_by_name("COUNT=", "txpp")},
                   {"THDI_PORT_SP_CNTRS_RT_X", sp42(kXMap, 67)},
                   {"THDI_PORT_SP_CNTRS_RT_Y", sp42(kYMap, 99)},
                   {"CTR_ING_DROP", ing42},
                   {"CTR_UC_DROP", uc42}},
                  false, out);
    } else if (model == 24) {
        read_file(model, global,
                  {{"TOTAL_SHARED_COUNT", global_branch("TOTAL_SHARED_COUNT=", "global total_shared")},
                   {"TOTAL_SHARED_LIMIT", global_branch("TOTAL_SHARED_LIMIT=", "global shared_limit")}},
                  false, out);
        read_file(model, pg, {{"PG_SHARED_COUNT", by_port_paren("=", "pg")}}, true, out);
        read_file(model, port,
                  {{"IRXPP", counter_by_name("COUNT=", "rxpp")},
                   {"ITXPP", counter_by_name("COUNT=", "txpp")},
                   {"PORT_SHARED_COUNT", counter_by_name("PORT_SHARED_COUNT=", "port_shared")},
                   {"WREDAVGQSIZE_CELL", queue24},
                   {"IBP_DROP_PKT_CNT", counter_by_name("COUNT=", "ibp_drop")},
                   {"HOLDROP_PKT_CNT", by_port_paren("COUNT=", "hol_drop")}},
                  true, out);
    } else {
        read_file(model, global,
                  {{"TOTAL_BUFFER_COUNT_CELL_SP", global_branch("TOTAL_BUFFER_COUNT=", "global total_shared")},
                   {"OP_BUFFER_SHARED_LIMIT_CELL",
                    global_branch("OP_BUFFER_SHARED_LIMIT_CELL=", "global shared_limit")}},
                  false, out);
        read_file(model, pg, {{"PG_SHARED_COUNT_CELL", by_port_paren("PG_SHARED_COUNT=", "pg")}}, true,
                  out);
        // The drop counter lines carry no port; everything else needs one.
        std::vector<Marker> named = {{"RXPP", counter_by_name("COUNT=", "rxpp")},
                                     {"TXPP", counter_by_name("COUNT=", "txpp")},
                                     {"PORT_SHARED_COUNT_CELL", counter_by_name("PORT_SHARED_COUNT=", "port_shared")},
                                     {"DROP_PKT_CNT_ING", counter_by_name("COUNT=", "ibp_drop")}};
        for (const std::string& line : split_lines(port)) {
            LineReader r{line, out, port_count(model)};
            if (line.size() > 254) r.problem("line too long");
            if (!line.empty() && line[0] == '#') continue;
            const size_t uc = ci_find(line, "CTR_UC_DROP");
            if (uc != std::string::npos) {
                uc30(r, uc);
                continue;
            }
            long long s;
            if (!r.slot(s)) continue;
            if (!dispatch(r, named)) r.problem("unrecognised line");
        }
    }
    return out;
}

std::vector<TruthRecord> parse_truth(const std::string& text, std::string& error) {
    std::vector<TruthRecord> records;
    bool open = false;
    for (const std::string& line : split_lines(text)) {
        std::istringstream in(line);
        std::vector<std::string> tok;
        for (std::string t; in >> t;) tok.push_back(t);
        if (tok.empty()) continue;
        if (tok[0] == "dump" && tok.size() == 2 && !open) {
            records.emplace_back();
            records.back().number = std::stoull(tok[1]);
            open = true;
        } else if (tok[0] == "end" && tok.size() == 2 && open) {
            if (std::stoull(tok[1]) != records.back().number) {
                error = "end does not match dump: " + line;
                return records;
            }
            open = false;
        } else if (open && tok[0] == "source" && tok.size() == 2) {
            records.back().source = tok[1];
        } else if (open && (tok[0] == "global" || tok[0] == "port") && tok.size() >= 3) {
            std::string key = tok[0];
            for (size_t i = 1; i + 1 < tok.size(); ++i) key += " " + tok[i];
            if (!records.back().items.emplace(key, std::stoull(tok.back())).second) {
                error = "duplicate item: " + line;
                return records;
            }
        } else {
            error = "unexpected truth line: " + line;
            return records;
        }
    }
    if (open) error = "truth record not closed";
    return records;
}

std::set<std::string> expected_items(int model) {
    std::set<std::string> items = {"global total_shared", "global shared_limit"};
    for (int s = 0; s < port_count(model); ++s) {
        for (const char* f : {"port_shared", "rxpp", "txpp", "ibp_drop"}) items.insert(port_item(s, f));
        const bool hol = !(model == 42 && s >= 29 && s <= 31) && !(model == 30 && s == 12);
        for (int k = 0; k < 8; ++k) {
            items.insert(port_item(s, "pg", k));
            if (model == 24) items.insert(port_item(s, "queue", k));
            if (hol) items.insert(port_item(s, "hol_drop", k));
        }
    }
    return items;
}

std::string compare(const Reading& reading, const TruthRecord& truth) {
    std::ostringstream diff;
    int shown = 0;
    auto note = [&](const std::string& s) {
        if (shown++ < 8) diff << s << "\n";
    };
    for (const std::string& p : reading.problems) note("problem: " + p);
    for (const auto& [key, value] : truth.items) {
        auto it = reading.items.find(key);
        if (it == reading.items.end())
            note("missing in dump: " + key);
        else if (it->second.size() != 1)
            note("written " + std::to_string(it->second.size()) + " times: " + key);
        else if (it->second[0] != value)
            note(key + ": dump " + std::to_string(it->second[0]) + ", truth " + std::to_string(value));
    }
    for (const auto& [key, values] : reading.items)
        if (!truth.items.count(key)) note("not in truth: " + key);
    return diff.str();
}

}  // namespace simcheck
