// swfabric-sim's replay of recorded sets. Its dumps are cross-checked by the
// monitor's unit tests, its daemon by every end-to-end test that runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p)
{
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// The three files of a dump folder, each whole (its header and last line name
// one dump number) and of dump n.
bool at_dump(const fs::path& d, long n)
{
    const std::string head = "# swfabric shared buffer dump " + std::to_string(n) + ",";
    const std::string end = "\n# end of dump " + std::to_string(n) + "\n";
    for (const char* file : {"sw_global_info.1", "port_info.1", "pg_info.1"}) {
        const std::string t = slurp(d / file);
        if (!t.starts_with(head) || !t.ends_with(end))
            return false;
    }
    return true;
}

class SimProcess : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    // Runs the simulator (through the cross build's emulator) to its end: exit status and standard error.
    std::pair<int, std::string> run(const std::string& args)
    {
        const std::string err = dir / "stderr";
        const int st = std::system((SWFABRIC_SIM_COMMAND " " + args + " >/dev/null 2>" + err).c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(err)};
    }
    fs::path dir = ::mkdtemp((fs::temp_directory_path() / "swfabric-sim-test-XXXXXX").string().data());
};

TEST_F(SimProcess, ReplayPlaysRecordedSetsInNameOrderThenRepeatsTheLastWithOneNote)
{
    const std::string d = dir.string();
    ASSERT_EQ(run("--model 24 --once --count 4 --root " + d + "/r1 --record " + d + "/sets").first, 0);
    EXPECT_TRUE(at_dump(dir / "r1/tmp", 4) && at_dump(dir / "sets/000004", 4));
    fs::rename(dir / "sets/000001", dir / "sets/000009");  // name order is now dumps 2, 3, 4, 1
    const auto [status, err] = run("--model 24 --scenario replay --replay-dir " + d + "/sets --once --count 6 --root " +
                                   d + "/r2 --record " + d + "/again");
    ASSERT_EQ(status, 0) << err;
    for (long n = 1; n <= 6; ++n)
        EXPECT_TRUE(at_dump(dir / "again" / ("00000" + std::to_string(n)), n < 4 ? n + 1 : 1)) << n;
    EXPECT_TRUE(at_dump(dir / "r2/tmp", 1));
    EXPECT_EQ(err, "swfabric-sim: replay: past the last set (000009), repeating it\n");
}

}  // namespace
