// Test-side reader of the simulator's dump files, written from the monitor's
// line rules (first marker wins, first "[", "(" or "xe" of the line, value key
// looked for from the marker on) with its own copy of the index tables, and a
// reader of the truth log. Items are named as in the truth log
// ("port 5 pg 3", "global total_shared").
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace simcheck {

struct Reading {
    std::map<std::string, std::vector<uint64_t>> items;  // every value seen per item
    std::vector<std::string> problems;                  // lines a parser would choke on
};

// model: 42, 24 or 30.
Reading read_dump(int model, const std::string& global, const std::string& port,
                  const std::string& pg);

struct TruthRecord {
    uint64_t number = 0;
    std::string source;  // replayed set name, if any
    std::map<std::string, uint64_t> items;
};

// Empty error on success.
std::vector<TruthRecord> parse_truth(const std::string& text, std::string& error);

// The items a complete dump of the model must carry.
std::set<std::string> expected_items(int model);

// "" when the reading holds each truth item exactly once with its value and
// nothing else; otherwise a description of the first differences.
std::string compare(const Reading& reading, const TruthRecord& truth);

int port_count(int model);
uint32_t cell_scale(int model);

std::vector<std::string> split_lines(const std::string& text);

}  // namespace simcheck
