// swfabric-sim's replay of recorded sets. Its dumps are cross-checked by the
// monitor's unit tests, its daemon by every end-to-end test that runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
const char* const kFiles[] = {"sw_global_info.1", "port_info.1", "pg_info.1"};

std::string slurp(const fs::path& p)
{
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

std::string dump_files(const fs::path& d)
{
    return slurp(d / kFiles[0]) + slurp(d / kFiles[1]) + slurp(d / kFiles[2]);
}

// The dump number of a whole file (its header and last line agree), else -1.
long whole_dump(const fs::path& p)
{
    const std::string t = slurp(p);
    long n = -1;
    if (std::sscanf(t.c_str(), "# swfabric shared buffer dump %ld,", &n) != 1)
        return -1;
    return t.ends_with("\n# end of dump " + std::to_string(n) + "\n") ? n : -1;
}

bool at_dump(const fs::path& d, long n)
{
    return whole_dump(d / kFiles[0]) == n && whole_dump(d / kFiles[1]) == n && whole_dump(d / kFiles[2]) == n;
}

// Starts the simulator (through the cross build's emulator) with its output in LOG.out and LOG.err.
pid_t spawn(const Args& args, const std::string& log)
{
    Args words;
    std::istringstream command(SWFABRIC_SIM_COMMAND);  // words joined by '|'
    for (std::string w; std::getline(command, w, '|');)
        words.push_back(w);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv(words.size() + 1);  // null-terminated
    for (size_t i = 0; i < words.size(); ++i)
        argv[i] = words[i].data();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen((log + ".out").c_str(), "w", stdout) && std::freopen((log + ".err").c_str(), "w", stderr))
            ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int finish(pid_t pid)
{
    int st = 0;
    return ::waitpid(pid, &st, 0) == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class SimProcess : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    // Runs the simulator to its end: exit status, standard output and error.
    std::array<std::string, 3> run(const Args& args)
    {
        const std::string log = dir / ("run" + std::to_string(++runs));
        const int status = finish(spawn(args, log));
        return {std::to_string(status), slurp(log + ".out"), slurp(log + ".err")};
    }
    fs::path dir = ::mkdtemp((fs::temp_directory_path() / "swfabric-sim-test-XXXXXX").string().data());
    int runs = 0;
};

TEST_F(SimProcess, ReplayPlaysRecordedSetsInNameOrderThenRepeatsTheLastWithOneNote)
{
    ASSERT_EQ(run({"--model", "24", "--once", "--count", "4", "--root", dir / "r1", "--record", dir / "sets"})[0], "0");
    EXPECT_EQ(dump_files(dir / "r1/tmp"), dump_files(dir / "sets/000004"));
    fs::rename(dir / "sets/000001", dir / "sets/000009");  // name order is now dumps 2, 3, 4, 1
    const auto [status, out, err] = run({"--model", "24", "--scenario", "replay", "--replay-dir", dir / "sets",
                                         "--once", "--count", "6", "--root", dir / "r2", "--record", dir / "again"});
    ASSERT_EQ(status, "0") << err;
    for (long n = 1; n <= 6; ++n)
        EXPECT_TRUE(at_dump(dir / "again" / ("00000" + std::to_string(n)), n < 4 ? n + 1 : 1)) << n;
    EXPECT_EQ(dump_files(dir / "r2/tmp"), dump_files(dir / "sets/000009"));
    EXPECT_EQ(err, "swfabric-sim: replay: past the last set (000009), repeating it\n");
}

}  // namespace
