#include "daemon.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "dump_io.h"

namespace swsim {

namespace {

volatile sig_atomic_t g_dump_requested = 0;
volatile sig_atomic_t g_stop_requested = 0;

extern "C" void on_dump_signal(int)
{
    g_dump_requested = 1;
}
extern "C" void on_stop_signal(int)
{
    g_stop_requested = 1;
}

void complain(const std::string& msg)
{
    std::fprintf(stderr, "swfabric-sim: %s\n", msg.c_str());
}

std::unique_ptr<DumpSource> make_source(const Options& o, std::string& err)
{
    if (o.scenario == Scenario::Replay) {
        auto replay = std::make_unique<ReplaySource>();
        if (!replay->open(o.replay_dir, err))
            return nullptr;
        return replay;
    }
    return std::make_unique<GeneratedSource>(o.model, o.scenario, o.seed, o.target, o.counter_base);
}

bool dump_once(DumpSource& source, DumpSink& sink)
{
    Dump dump;
    std::string err;
    if (!source.produce(dump, err) || !sink.publish(dump, err)) {
        complain(err);
        return false;
    }
    return true;
}

int run_daemon(DumpSource& source, DumpSink& sink, const Paths& paths)
{
    // The handlers only set flags; the signals stay blocked except while the
    // loop waits in sigsuspend, so a dump is never interrupted and signals
    // that arrive during one stay pending and wake the next wait.
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGUSR1);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    struct sigaction sa {};
    sigfillset(&sa.sa_mask);
    sa.sa_handler = on_dump_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::string err;
    if (!write_file_atomic(paths.pid_file(), std::to_string(::getpid()) + "\n", err)) {
        complain(err);
        return 1;
    }

    for (;;) {
        while (!g_stop_requested && !g_dump_requested)
            sigsuspend(&wait_mask);
        if (g_stop_requested)
            break;
        g_dump_requested = 0;
        dump_once(source, sink);  // a failed dump is reported; the next signal retries
    }

    ::unlink(paths.pid_file().c_str());
    return 0;
}

}  // namespace

int run(const Options& o)
{
    Paths paths{o.root};
    std::string err;
    if (!o.root.empty() && (!make_dirs(paths.tmp_dir(), err) || !make_dirs(paths.run_dir(), err))) {
        complain(err);
        return 1;
    }
    if (!o.record_dir.empty() && !make_dirs(o.record_dir, err)) {
        complain(err);
        return 1;
    }

    std::unique_ptr<DumpSource> source = make_source(o, err);
    if (!source) {
        complain(err);
        return 2;
    }
    DumpSink sink(paths, o.truth_path, o.record_dir, o.delay_ms);

    if (o.once) {
        for (uint64_t i = 0; i < o.count; ++i)
            if (!dump_once(*source, sink))
                return 1;
        return 0;
    }
    return run_daemon(*source, sink, paths);
}

}  // namespace swsim
