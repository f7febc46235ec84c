// probe-stop: stops the running test of one disk with SIGTERM, after making
// sure that the process named in its state file really is that test.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_result.h"
#include "surface_test/probe_run.h"
#include "surface_test/probe_state.h"
#include "surface_test/probe_state_file.h"

namespace {

// The number after the first "pid": of the state file; the writer puts the
// top-level one first. 0 when the file is unreadable or holds none, and for a
// number no process id can be.
int state_file_pid() {
    StrBuf text;
    if (file_read_all(g_probe.state_path, &text, kProbeStateReadMax) <= 0) return 0;
    const char* at = std::strstr(text.c_str(), "\"pid\":");
    if (!at) return 0;
    const long long pid = std::strtoll(at + 6, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

}  // namespace

int cmd_probe_stop(const char* serial) {
    if (!serial || !name_is_safe(serial, 79)) {
        probe_reply("{\"ok\":false,\"error\":\"bad_serial\"}");
        return 2;
    }
    std::memset(static_cast<void*>(&g_probe), 0, sizeof g_probe);
    g_probe.sg_fd = g_probe.io_fd = -1;
    probe_paths_init(serial);
    UniqueFd lock(probe_lock_open());
    if (!lock.valid()) {
        probe_reply("{\"ok\":false,\"error\":\"lock\"}");
        return 1;
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
        // No test holds the disk: at most a dead run's file to repair.
        const int fixed = probe_reap_stale(serial);
        lock.reset();
        probe_reply("{\"ok\":false,\"error\":\"not_running\",\"stale_state_fixed\":%s}",
                    fixed ? "true" : "false");
        return 1;
    }
    lock.reset();
    const int pid = state_file_pid();
    if (pid > 1 && probe_pid_is_probe(pid, serial)) {
        if (::kill(pid, SIGTERM) == 0) {
            probe_reply("{\"ok\":true,\"pid\":%d}", pid);
            return 0;
        }
        probe_reply("{\"ok\":false,\"error\":\"kill\",\"pid\":%d}", pid);
        return 1;
    }
    probe_reply("{\"ok\":false,\"error\":\"pid_mismatch\",\"pid\":%d}", pid);
    return 1;
}
