#include "options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace swsim {

namespace {

bool parse_u64(std::string_view text, uint64_t& out)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

ParsedArgs fail(std::string msg)
{
    ParsedArgs r;
    r.status = 2;
    r.message = "swfabric-sim: " + msg + " (see --help)";
    return r;
}

}  // namespace

const char* help_text()
{
    return "Usage: swfabric-sim --model 42|24|30 [options]\n"
           "\n"
           "Stand-in for the switch daemon: writes its pid to /var/run/swfabric_se_dump.pid\n"
           "and, on each SIGUSR1, a complete buffer dump of the chosen module into\n"
           "/tmp/sw_global_info.1, /tmp/port_info.1 and /tmp/pg_info.1, each file written\n"
           "under a temporary name and renamed into place, then creates the marker\n"
           "/tmp/swfabric_se_dump_complete (removed again when the next dump starts).\n"
           "Signals that arrive while a dump is written lead to one more dump.\n"
           "SIGTERM or SIGINT removes the pid file and exits with status 0.\n"
           "\n"
           "The shared count never passes the shared limit (7/8 of the buffer): cells\n"
           "that would are refused on entry and counted as the port's ingress drops.\n"
           "\n"
           "Options:\n"
           "  --model 42|24|30      switch module (required)\n"
           "  --scenario NAME       idle, steady (default), incast or replay\n"
           "                          idle:   near-empty buffer, counters barely move\n"
           "                          steady: moderate load on every port\n"
           "                          incast: four ports send to the target port, whose\n"
           "                                  port, priority-group and queue occupancy of one\n"
           "                                  traffic class climbs until the switch-wide shared\n"
           "                                  count reaches the shared limit (cycle of 24 dumps:\n"
           "                                  6 ramp-up, 12 saturated, 3 drain, 3 quiet); there\n"
           "                                  the target's queue of that class drops what the\n"
           "                                  target cannot take, and the senders count the\n"
           "                                  rest of the excess as ingress drops\n"
           "                          replay: plays recorded dump sets, see --replay-dir\n"
           "  --replay-dir DIR      dump sets for replay: one sub-directory per dump, taken\n"
           "                        in name order, each holding sw_global_info.1, port_info.1\n"
           "                        and pg_info.1, copied into place byte for byte. After\n"
           "                        the last set every further dump repeats the last set\n"
           "                        (a note goes to standard error once).\n"
           "  --seed N              seed of the generated traffic (default 1); a seed gives\n"
           "                        the same dumps on every run and host\n"
           "  --target SLOT         incast target port slot (default 0)\n"
           "  --counter-base N      start every packet and drop counter N higher (decimal,\n"
           "                        default 0), e.g. 4294967000 to cross 2^32 within a few\n"
           "                        dumps; the truth file holds the full 64-bit values, the\n"
           "                        dumps print them as the module does (hex or decimal)\n"
           "  --once                write one dump and the marker at once, then exit;\n"
           "                        no pid file, no signal\n"
           "  --count N             with --once: write N dumps in a row (default 1)\n"
           "  --root DIR            put /tmp and /var/run under DIR (created if missing)\n"
           "  --truth FILE          append a record of every dump written (below)\n"
           "  --record DIR          also copy every dump into DIR/NNNNNN/ (the dump number,\n"
           "                        six digits), a layout that --replay-dir plays back\n"
           "  --delay MS            pause MS milliseconds before each file is renamed into\n"
           "                        place, to mimic a slow daemon\n"
           "  --help                this text\n"
           "\n"
           "Truth file: one record per dump, one item per line, values in decimal, port\n"
           "slots as the number of the port's xe name:\n"
           "  dump N\n"
           "  global total_shared V\n"
           "  global shared_limit V\n"
           "  port SLOT port_shared V\n"
           "  port SLOT pg K V            K = 0..7\n"
           "  port SLOT queue K V         24-port module only: the queue size in cells\n"
           "                              (bits 15..29 of the AVGQSIZE_CELL value)\n"
           "  port SLOT rxpp V\n"
           "  port SLOT txpp V\n"
           "  port SLOT ibp_drop V\n"
           "  port SLOT hol_drop K V      only for slots whose queue 0..7 drop counters the\n"
           "                              dump places within the monitor's index range (none\n"
           "                              for 42-port slots 29-31 and 30-port slot 12)\n"
           "  end N\n"
           "Every item is written exactly once per dump; what the monitor should show\n"
           "after reading the dump is these values. A replayed dump is recorded as\n"
           "\"dump N\", \"source SETNAME\", \"end N\".\n"
           "\n"
           "Exit status: 0 on success, 1 when files cannot be written, 2 for bad arguments.\n";
}

ParsedArgs parse_args(int argc, const char* const* argv)
{
    ParsedArgs r;
    Options& o = r.opts;
    bool have_model = false, have_target = false, have_count = false, have_base = false;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool has_value = false;
        if (arg.substr(0, 2) == "--") {
            const size_t eq = arg.find('=');
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto need = [&](std::string_view& v) -> bool {
            if (has_value) {
                v = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            v = argv[++i];
            return true;
        };
        auto flag_only = [&]() { return !has_value; };

        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            r.status = 0;
            return r;
        } else if (arg == "--model") {
            if (!need(v))
                return fail("--model needs a value");
            auto m = parse_model(v);
            if (!m)
                return fail("unknown model '" + std::string(v) + "', expected 42, 24 or 30");
            o.model = *m;
            have_model = true;
        } else if (arg == "--scenario") {
            if (!need(v))
                return fail("--scenario needs a value");
            auto s = parse_scenario(v);
            if (!s)
                return fail("unknown scenario '" + std::string(v) + "', expected idle, steady, incast or replay");
            o.scenario = *s;
        } else if (arg == "--replay-dir") {
            if (!need(v))
                return fail("--replay-dir needs a directory");
            o.replay_dir = v;
        } else if (arg == "--seed") {
            if (!need(v) || !parse_u64(v, o.seed))
                return fail("--seed needs a decimal number");
        } else if (arg == "--target") {
            uint64_t t;
            if (!need(v) || !parse_u64(v, t) || t >= kMaxPorts)
                return fail("--target needs a port slot number");
            o.target = static_cast<int>(t);
            have_target = true;
        } else if (arg == "--counter-base") {
            if (!need(v) || !parse_u64(v, o.counter_base))
                return fail("--counter-base needs a decimal number");
            have_base = true;
        } else if (arg == "--once") {
            if (!flag_only())
                return fail("--once takes no value");
            o.once = true;
        } else if (arg == "--count") {
            if (!need(v) || !parse_u64(v, o.count) || o.count == 0)
                return fail("--count needs a number of at least 1");
            have_count = true;
        } else if (arg == "--root") {
            if (!need(v) || v.empty())
                return fail("--root needs a directory");
            o.root = v;
            while (o.root.size() > 1 && o.root.back() == '/')
                o.root.pop_back();
            if (o.root == "/")
                o.root.clear();
        } else if (arg == "--truth") {
            if (!need(v) || v.empty())
                return fail("--truth needs a file name");
            o.truth_path = v;
        } else if (arg == "--record") {
            if (!need(v) || v.empty())
                return fail("--record needs a directory");
            o.record_dir = v;
        } else if (arg == "--delay") {
            uint64_t ms;
            if (!need(v) || !parse_u64(v, ms) || ms > 60000)
                return fail("--delay needs milliseconds, at most 60000");
            o.delay_ms = static_cast<unsigned>(ms);
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + std::string(argv[i]) + "'");
        } else {
            return fail("unexpected argument '" + std::string(arg) + "'");
        }
    }

    if (!have_model)
        return fail("--model is required");
    const int ports = model_info(o.model).port_count;
    if (have_target && o.target >= ports)
        return fail("--target " + std::to_string(o.target) + " is not a port of the " + model_info(o.model).name +
                    "-port module");
    if (have_target && o.scenario != Scenario::Incast)
        return fail("--target applies to the incast scenario only");
    if (have_base && o.scenario == Scenario::Replay)
        return fail("--counter-base applies to the generated scenarios only");
    if (have_count && !o.once)
        return fail("--count applies to --once only");
    if (o.scenario == Scenario::Replay) {
        if (o.replay_dir.empty())
            return fail("the replay scenario needs --replay-dir DIR");
        struct stat st;
        if (::stat(o.replay_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return fail("replay directory '" + o.replay_dir + "' does not exist");
    } else if (!o.replay_dir.empty()) {
        return fail("--replay-dir applies to the replay scenario only");
    }
    return r;
}

}  // namespace swsim
