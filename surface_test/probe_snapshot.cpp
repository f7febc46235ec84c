#include "surface_test/probe_snapshot.h"

#include "core/run.h"
#include "core/smartctl.h"
#include "core/strbuf.h"

void probe_run_smartctl(const char* const* args, const char* dtype, const char* device, StrBuf* out,
                        int timeout_s) {
    // Emptied even when nothing runs: a caller that reuses its buffer must
    // never judge an earlier reply as this one.
    sb_free(out);
    const char* path = smartctl_path();
    if (!path || !device || !*device) return;
    // Path, the arguments, "-d" and its type, the device, NULL.
    const char* argv[1 + kProbeSmartctlArgsMax + 2 + 1 + 1];
    int n = 0;
    argv[n++] = path;
    for (int i = 0; args && args[i] && i < kProbeSmartctlArgsMax; ++i) argv[n++] = args[i];
    if (dtype && *dtype) {
        argv[n++] = "-d";
        argv[n++] = dtype;
    }
    argv[n++] = device;
    argv[n] = nullptr;
    (void)run_capture(argv, out, timeout_s);
}

void probe_smartctl(SmartctlCmd cmd, const char* dtype, const char* device, StrBuf* out) {
    const char* const* args = smartctl_args(cmd);
    if (!args) {
        sb_free(out);
        return;
    }
    probe_run_smartctl(args, dtype, device, out, smartctl_timeout_s(cmd));
}
