/* Runs a command and reports its memory when it exits: peak resident set
 * (VmHWM) and, from smaps_rollup at the exit stop, the resident memory that
 * is its own (private dirty pages: data, bss, heap, stack) as opposed to
 * pages of shared libraries mapped from the page cache. KiB, on stderr. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

static long field(const char* path, const char* name)
{
    char line[256];
    long value = -1;
    FILE* f = fopen(path, "r");
    if (f == NULL)
        return -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (strncmp(line, name, strlen(name)) == 0)
            sscanf(line + strlen(name), " %ld", &value);
    fclose(f);
    return value;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: maxrss COMMAND [ARG...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFSTOPPED(status))
        return 1;
    ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, NULL, NULL);
    long hwm = -1, private_dirty = -1;
    while (waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        int sig = 0;
        if (WIFSTOPPED(status) && status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            /* "/proc/self/.." also works where /proc is a fake board's. */
            char path[96];
            snprintf(path, sizeof path, "/proc/self/../%d/status", (int)pid);
            hwm = field(path, "VmHWM:");
            snprintf(path, sizeof path, "/proc/self/../%d/smaps_rollup", (int)pid);
            private_dirty = field(path, "Private_Dirty:");
        } else if (WIFSTOPPED(status)) {
            sig = WSTOPSIG(status);
        }
        ptrace(PTRACE_CONT, pid, NULL, (void*)(long)sig);
    }
    fprintf(stderr, "maxrss_kib %ld private_dirty_kib %ld\n", hwm, private_dirty);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
