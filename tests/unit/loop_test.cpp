// The refresh loop as an operator drives it: keys typed on a terminal (a
// pseudo-terminal, line by line) and dumps completed between passes.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>

#include "helpers.h"
#include "monitor/loop.h"

using namespace cellscope;

namespace {

using namespace std::chrono_literals;

// run_interactive in a child process on a pseudo-terminal; the screen a file.
struct Session {
    int master = -1;
    pid_t child = -1;
    std::string screen;

    // Keys from a pseudo-terminal, or (terminal false) from an empty pipe.
    Session(const testutil::Scratch& dir, int ports, uint32_t view, int wait_seconds, bool terminal = true)
    {
        int slave = -1;
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);  // line mode, as a login's
        screen = dir.dir + "/screen";
        child = fork();
        if (child == 0) {
            std::freopen("/dev/null", "w", stderr);  // the missing pid file's note
            static StatsStore store;
            const ModelProfile& m = *module_for_ports(ports);
            store_init(store, m.cell_scale);
            MonitorState state{false, view};
            static ExchangeState exchange;
            std::FILE* out = std::fopen(screen.c_str(), "w");
            std::setvbuf(out, nullptr, _IONBF, 0);
            int keys[2] = {slave, -1};
            if (!terminal && pipe(keys) == 0)
                close(keys[1]);
            const LoopIo io{keys[0], fdopen(keys[0], "r"), out, &dir.paths, dir.report.c_str(), wait_seconds};
            _exit(run_interactive(state, exchange, store, m, io));
        }
        close(slave);
    }
    ~Session()
    {
        if (child > 0)
            kill(child, SIGKILL), waitpid(child, nullptr, 0);
        close(master);
    }
    void type(const std::string& keys) { EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    std::string output() { return testutil::read_file(screen); }
    // Waits until pred holds, for at most 5 s.
    template <typename Pred>
    bool until(Pred pred)
    {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
            if (pred())
                return true;
        }
        return false;
    }
    // Waits until the screen shows text after offset `from`; its position.
    size_t await(const std::string& text, size_t from = 0)
    {
        EXPECT_TRUE(until([&] { return output().find(text, from) != std::string::npos; })) << "never shown: " << text;
        return output().find(text, from);
    }
    // The exit status, or -1 when the loop is still running after 5 s.
    int status()
    {
        int st = -1;
        const bool ended = until([&] { return child < 0 || waitpid(child, &st, WNOHANG) == child; });
        child = ended ? -1 : child;
        return ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(Loop, KeysOnATerminal)
{
    testutil::Scratch dir;
    Session s(dir, 42, 21, 100);  // a pass after each key only
    s.await("Egress Q7");
    const size_t mark = s.output().size();
    s.type("N\nQ\nx\n");  // nothing but a pass for each key and each Enter
    EXPECT_TRUE(s.until([&] { return count(s.output().substr(mark), "\033[H\033[K") == 6; }));
    for (int i = 0; i < 23; ++i)  // 21 wraps to 0 and on to 22 more views: 0 again
        s.type("n\n");
    s.type("\x04q\n");  // Ctrl-D: the terminal goes on (the help's keys are checked end to end)
    EXPECT_EQ(s.status(), 0);
    const std::string out = s.output();
    EXPECT_EQ(count(out, "\033[H\033[J Reloading please wait..."), 23u);
    EXPECT_EQ(out.substr(out.size() - 6), "\033[H\033[J");
    const size_t last_view = out.rfind("\033[H\033[K");
    EXPECT_EQ(out.compare(last_view + 6, 18, "Total Shared Count"), 0);
}

TEST(Loop, InputThatIsOverLeavesTheLoopToItsPace)
{
    testutil::Scratch dir;
    Session s(dir, 30, 0, 100, false);
    s.await("Total Shared Count");
    std::this_thread::sleep_for(300ms);  // a pass as it ends, then none before the wait's end
    EXPECT_EQ(count(s.output(), "Total Shared Count"), 2u);
}

TEST(Loop, EachPassTakesTheCompletedDumpAsksForTheNextThenDraws)
{
    testutil::Scratch dir;
    dir.dump("TOTAL_SHARED_COUNT=99\n", "", "");  // left over: deleted at start, never shown
    Session s(dir, 24, 0, 100);  // no pass but after a key
    s.await("Total Shared Count: 0000");
    EXPECT_FALSE(testutil::exists(dir.global));
    for (const char* count_text : {"0001", "0002"}) {
        dir.dump(std::string("TOTAL_SHARED_COUNT=") + count_text + "\n", "", "");
        // The first view after the key shows the dump, deleted to ask for the next.
        const size_t from = s.output().size();
        s.type("\n");
        EXPECT_EQ(s.await("Total Shared Count: ", from), s.await(std::string("Total Shared Count: ") + count_text, from));
        EXPECT_FALSE(testutil::exists(dir.marker));
    }
    s.type("w\nq\n");
    EXPECT_EQ(s.status(), 0);
    EXPECT_EQ(s.output().find("0063"), std::string::npos);
    EXPECT_EQ(testutil::read_file(dir.report).substr(0, 48), "Total Shared Count: 0002, Max: 0002 Limit: 0000 ");
}
