// Test-side reader of the simulator's dump files and truth log. The reader
// knows the line form the simulator writes, NAME[.unit][index](k).xeN: KEY=V,
// and places each value by the monitor's rules with its own copy of the
// index tables. Items are named as in the truth log ("port 5 pg 3").
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace simcheck {

struct Reading {
    std::map<std::string, std::vector<uint64_t>> items;  // every value seen per item
    std::vector<std::string> problems;                  // lines the monitor could not read
};

struct TruthRecord {
    uint64_t number = 0;
    std::string source;  // replayed set name, if any
    std::map<std::string, uint64_t> items;
};

inline uint32_t cell_scale(int model) { return model == 24 ? 16384 : 32768; }

namespace detail {

inline constexpr int kXMap[17] = {40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32};
inline constexpr int kYMap[25] = {16, 20, 24, 28, 11, 4,  12, 5,  13, 6,  14, 7, 15,
                                  17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31};
inline constexpr int kMmuMap[49] = {-1, 0,  4,  8,  12, 1,  5,  9,  13, 2,  6,  10, 14, 3,  7,  11, 15,
                                    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                    16, 20, 24, 28, 17, 21, 25, 29, 18, 22, 26, -1, 19, 23, 27};

enum File { kGlobal, kPort, kPg };

struct Line {
    std::string name;                             // before the first '.', '[', '(' or ':'
    long long index = -1, group = -1, port = -1;  // "[n]", "(n)", "xeN"; -1 when absent
    std::map<std::string, uint64_t> fields;       // KEY=value after the colon
};

inline long long number_after(const std::string& text, const char* token) {
    const size_t at = text.find(token);
    const size_t digits = at == std::string::npos ? at : at + std::char_traits<char>::length(token);
    if (digits >= text.size() || !std::isdigit(static_cast<unsigned char>(text[digits]))) return -1;
    return std::stoll(text.substr(digits));
}

inline Line split(const std::string& text) {
    Line l;
    const size_t colon = text.find(':');
    const std::string head = text.substr(0, colon);
    l.name = head.substr(0, head.find_first_of(".[("));
    l.index = number_after(head, "[");
    l.group = number_after(head, "(");
    l.port = number_after(head, ".xe");
    std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    for (char& c : rest) c = (c == '<' || c == '>' || c == ',') ? ' ' : c;
    std::istringstream words(rest);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) l.fields[word.substr(0, eq)] = std::stoull(word.substr(eq + 1), nullptr, 0);
    }
    return l;
}

inline std::string item(long long slot, const char* field, long long k = -1) {
    return "port " + std::to_string(slot) + " " + field + (k < 0 ? "" : " " + std::to_string(k));
}

inline std::string uc_drop_42(long long i) {
    long long slot = -1, q = 0;
    if (i >= 0 && i <= 203) slot = kXMap[i / 12], q = i % 12;
    else if (i >= 1536 && i <= 1575) slot = kYMap[(i - 1536) / 10], q = (i - 1536) % 10;
    else if (i >= 1576 && i <= 1787) slot = kYMap[4 + (i - 1576) / 12], q = (i - 1576) % 12;
    return slot >= 0 && q <= 7 ? item(slot, "hol_drop", q) : "";
}

inline std::string uc_drop_30(long long i) {
    long long mmu = -1, q = 0;
    if (i >= 872) mmu = 38 + (i - 872) / 10, q = (i - 872) % 10;
    else if (i >= 576) mmu = 34 + (i - 576) / 74, q = (i - 576) % 74;
    else if (i >= 296) mmu = 5 + (i - 296) / 10, q = (i - 296) % 10;
    else if (i >= 0) mmu = i / 74, q = i % 74;
    return mmu >= 1 && mmu <= 48 && kMmuMap[mmu] >= 0 && q <= 7 ? item(kMmuMap[mmu], "hol_drop", q) : "";
}

// The truth item a line feeds and the field holding its value; item "" for a
// line the monitor reads past, "?" for one it does not know.
inline std::pair<std::string, std::string> locate(int model, File file, const Line& l) {
    const std::string& n = l.name;
    const long long i = l.index;
    const bool x = !n.empty() && n.back() == 'X';  // the pipeline of a 42-port register
    auto port = [&](const char* field, long long k = -1) { return item(l.port, field, k); };
    if (model == 42 && file == kGlobal) {
        if (n == "THDI_BUFFER_CELL_LIMIT_SP") return {"global shared_limit", "LIMIT"};
        if (n == "MMU_THDM_DB_POOL_SHARED_COUNT") return {"global total_shared", "COUNT"};
    } else if (model == 42 && file == kPg) {
        if (n == "THDI_PORT_PG_CNTRS_RT1_X" || n == "THDI_PORT_PG_CNTRS_RT1_Y")
            return {i >= 0 && i <= (x ? 135 : 199) ? item((x ? kXMap : kYMap)[i / 8], "pg", i % 8) : "",
                    "PG_SHARED_COUNT"};
    } else if (model == 42) {
        if (n == "RXPP" || n == "TXPP") return {port(n == "RXPP" ? "rxpp" : "txpp"), "COUNT"};
        if (n == "THDI_PORT_SP_CNTRS_RT_X" || n == "THDI_PORT_SP_CNTRS_RT_Y")
            return {i >= 0 && i <= (x ? 64 : 96) && i % 4 == 0 ? item((x ? kXMap : kYMap)[i / 4], "port_shared") : "",
                    "PORT_SP_SHARED_COUNT"};
        if (n == "CTR_ING_DROP") {
            const long long slot = i >= 0 && i <= 16 ? kXMap[i] : i >= 64 && i <= 88 ? kYMap[i - 64] : -1;
            return {slot < 0 ? "" : item(slot, "ibp_drop"), "PKTCNT"};
        }
        if (n == "CTR_UC_DROP") return {uc_drop_42(i), "PKTCNT"};
    } else if (model == 24 && file == kGlobal) {
        if (n == "TOTAL_SHARED_COUNT") return {"global total_shared", n};
        if (n == "TOTAL_SHARED_LIMIT") return {"global shared_limit", n};
    } else if (model == 24 && file == kPg) {
        if (n == "PG_SHARED_COUNT") return {port("pg", l.group), n};
    } else if (model == 24) {
        if (n == "IRXPP" || n == "ITXPP") return {port(n == "IRXPP" ? "rxpp" : "txpp"), "COUNT"};
        if (n == "PORT_SHARED_COUNT") return {port("port_shared"), n};
        if (n == "WREDAVGQSIZE_CELL") return {port("queue", l.group), "AVGQSIZE_CELL"};
        if (n == "IBP_DROP_PKT_CNT") return {port("ibp_drop"), "COUNT"};
        if (n == "HOLDROP_PKT_CNT") return {port("hol_drop", l.group), "COUNT"};
    } else if (file == kGlobal) {
        if (n == "TOTAL_BUFFER_COUNT_CELL_SP") return {"global total_shared", "TOTAL_BUFFER_COUNT"};
        if (n == "OP_BUFFER_SHARED_LIMIT_CELL") return {"global shared_limit", n};
    } else if (file == kPg) {
        if (n == "PG_SHARED_COUNT_CELL") return {port("pg", l.group), "PG_SHARED_COUNT"};
    } else {
        if (n == "RXPP" || n == "TXPP") return {port(n == "RXPP" ? "rxpp" : "txpp"), "COUNT"};
        if (n == "PORT_SHARED_COUNT_CELL") return {port("port_shared"), "PORT_SHARED_COUNT"};
        if (n == "DROP_PKT_CNT_ING") return {port("ibp_drop"), "COUNT"};
        if (n == "CTR_UC_DROP") return {uc_drop_30(i), "PKT_CNT"};
    }
    return {"?", ""};
}

}  // namespace detail

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
        nl = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, nl - start));
    }
    return lines;
}

// model: 42, 24 or 30.
inline Reading read_dump(int model, const std::string& global, const std::string& port, const std::string& pg) {
    using namespace detail;
    Reading out;
    const std::pair<File, const std::string*> files[] = {{kGlobal, &global}, {kPort, &port}, {kPg, &pg}};
    for (const auto& [file, content] : files) {
        for (const std::string& text : split_lines(*content)) {
            auto problem = [&](const std::string& what) { out.problems.push_back(what + ": " + text.substr(0, 80)); };
            if (text.size() > 254)
                problem("line too long");  // the monitor reads 255 characters at a time
            if (!text.empty() && text[0] == '#') {
                if (text.find("xe") != std::string::npos || text.find("XE") != std::string::npos)
                    problem("comment with xe");  // would draw a port scan
                continue;
            }
            const Line line = split(text);
            const auto [name, key] = locate(model, file, line);
            if (name == "?") problem("unrecognised line");
            if (name.empty() || name == "?") continue;
            const auto field = line.fields.find(key);
            if (field == line.fields.end()) {
                problem("no " + key);
                continue;
            }
            uint64_t value = field->second;
            if (key == "AVGQSIZE_CELL") {  // 24-port queue size: the cells in bits 15 to 29
                if (value > 0xffffffffULL) problem("queue size beyond 32 bits");
                value = (value >> 15) & 0x7fff;
            }
            out.items[name].push_back(value);
        }
    }
    return out;
}

// Empty error on success.
inline std::vector<TruthRecord> parse_truth(const std::string& text, std::string& error) {
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
        } else if (tok[0] == "end" && tok.size() == 2 && open && std::stoull(tok[1]) == records.back().number) {
            open = false;
        } else if (open && tok[0] == "source" && tok.size() == 2) {
            records.back().source = tok[1];
        } else if (open && (tok[0] == "global" || tok[0] == "port") && tok.size() >= 3) {
            const std::string key = line.substr(0, line.rfind(' '));
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

// The items a complete dump of the model must carry.
inline std::set<std::string> expected_items(int model) {
    using detail::item;
    std::set<std::string> items = {"global total_shared", "global shared_limit"};
    for (int s = 0; s < (model == 42 ? 42 : model == 24 ? 24 : 30); ++s) {
        for (const char* f : {"port_shared", "rxpp", "txpp", "ibp_drop"}) items.insert(item(s, f));
        // Slots whose drop counters lie outside the decoded layout.
        const bool hol = !(model == 42 && s >= 29 && s <= 31) && !(model == 30 && s == 12);
        for (int k = 0; k < 8; ++k) {
            items.insert(item(s, "pg", k));
            if (model == 24) items.insert(item(s, "queue", k));
            if (hol) items.insert(item(s, "hol_drop", k));
        }
    }
    return items;
}

// "" when the reading holds each truth item exactly once with its value and
// nothing else; otherwise the first differences.
inline std::string compare(const Reading& reading, const TruthRecord& truth) {
    std::ostringstream diff;
    int shown = 0;
    auto note = [&](const std::string& s) {
        if (shown++ < 8) diff << s << "\n";
    };
    for (const std::string& p : reading.problems) note("problem: " + p);
    for (const auto& [key, value] : truth.items) {
        auto it = reading.items.find(key);
        if (it == reading.items.end()) note("missing in dump: " + key);
        else if (it->second.size() != 1) note("written " + std::to_string(it->second.size()) + " times: " + key);
        else if (it->second[0] != value)
            note(key + ": dump " + std::to_string(it->second[0]) + ", truth " + std::to_string(value));
    }
    for (const auto& [key, values] : reading.items)
        if (truth.items.count(key) == 0) note("not in truth: " + key);
    return diff.str();
}

}  // namespace simcheck
