#include "core/smartctl.h"

#include <cstdint>
#include <cstring>

#include "core/json.h"
#include "core/run.h"
#include "core/strbuf.h"

namespace {

constexpr int kArgsMax = 6;

struct CmdLine {
    const char* args[kArgsMax + 1];  // NULL-terminated
    int timeout_s;
};

// Indexed by SmartctlCmd.
constexpr CmdLine kCmdLines[kSmartctlCmdCount] = {
    {{"-x", "-j"}, 30},
    {{"-l", "farm", "-j"}, 30},
    {{"-i", "-j"}, 30},
    {{"-i", "-j", "-n", "standby"}, 30},
    {{"-x", "-j"}, 60},
    {{"-A", "-l", "sataphy", "-j", "-n", "standby"}, 30},
    {{"-A", "-j"}, 20},
    {{"-t", "short", "-j"}, 30},
    {{"-c", "-l", "selftest", "-j"}, 30},
    {{"-l", "selftest", "-j"}, 30},
    {{"-X", "-j"}, 30},
};

bool known(SmartctlCmd cmd) {
    return cmd >= 0 && cmd < kSmartctlCmdCount;
}

}  // namespace

int smartctl_timeout_s(SmartctlCmd cmd) {
    return known(cmd) ? kCmdLines[cmd].timeout_s : -1;
}

int smartctl_build(SmartctlCmd cmd, const char* path, const char* dtype, const char* device,
                   SmartctlArgv* out) {
    if (!known(cmd) || !path || !*path || !device || !*device) return -1;
    int n = 0;
    out->argv[n++] = path;
    for (const char* const* a = kCmdLines[cmd].args; *a; ++a) out->argv[n++] = *a;
    if (dtype && *dtype) {
        out->argv[n++] = "-d";
        out->argv[n++] = dtype;
    }
    out->argv[n++] = device;
    out->argv[n] = nullptr;
    out->argc = n;
    return n;
}

int smartctl_call(SmartctlCmd cmd, const char* dtype, const char* device, StrBuf* out) {
    // Emptied first in every case, so that a caller that reuses its buffer
    // never judges an earlier reply as this one.
    sb_free(out);
    const char* path = smartctl_path();
    if (!path) return -1;
    SmartctlArgv line;
    if (smartctl_build(cmd, path, dtype, device, &line) < 0) return -1;
    return run_capture(line.argv, out, kCmdLines[cmd].timeout_s);
}

int smartctl_exit_mask(SmartctlCmd cmd, int is_nvme) {
    switch (cmd) {
        case kSmartctlCollect:
            // Bit 2 only says that one of the many commands behind "-x" failed
            // (an unsupported log, a checksum): the rest of the reply is the
            // drive's own data, and refusing it would hide a disk with
            // reallocated sectors behind a "SMART read error".
            return 3;
        case kSmartctlSelftestStart:
            return is_nvme ? 3 : 7;
        case kSmartctlFarm:
            return 7;
        case kSmartctlIdentify:
        case kSmartctlIdentifyStandby:
        case kSmartctlSnapshot:
        case kSmartctlSiblingCounters:
        case kSmartctlTemperature:
        case kSmartctlSelftestProgressAta:
        case kSmartctlSelftestProgress:
        case kSmartctlSelftestAbort:
            return 3;
        case kSmartctlCmdCount:
            break;
    }
    return 0;
}

int smartctl_status_ok(SmartctlCmd cmd, int is_nvme, int status) {
    return (status & smartctl_exit_mask(cmd, is_nvme)) == 0 ? 1 : 0;
}

int smartctl_exit_status(const char* text, const JsonTok* toks, int count) {
    // A blank reply tokenises to no tokens at all: the first one was never written.
    if (!text || !toks || count < 1 || toks[0].type != kJsonObject) return 0;
    const int smartctl = json_obj_get(text, toks, 0, "smartctl");
    const int status = json_obj_get(text, toks, smartctl, "exit_status");
    std::int64_t v = 0;
    if (status < 0 || !json_tok_int(text, &toks[status], &v)) return 0;
    return static_cast<int>(static_cast<std::uint32_t>(v));
}

int smartctl_reply_status(const char* text, std::size_t len, int* status) {
    if (!text || len == 0) return 0;
    int count = 0;
    const JsonTokens toks(json_parse(text, len, &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject) return 0;
    *status = smartctl_exit_status(text, toks.get(), count);
    return 1;
}

int smartctl_reply_refused(const char* text, std::size_t len) {
    static constexpr char kRefused[] = "Can't start";
    if (!text) return 0;
    return ::memmem(text, len, kRefused, sizeof kRefused - 1) != nullptr ? 1 : 0;
}

int smartctl_reply_ok(SmartctlCmd cmd, int is_nvme, const char* text, std::size_t len) {
    if (!known(cmd) || !text || len == 0) return 0;
    if ((cmd == kSmartctlCollect || cmd == kSmartctlFarm) && text[0] != '{') return 0;
    int status = 0;
    if (!smartctl_reply_status(text, len, &status)) {
        // A FARM reply that begins like an object but does not read as JSON
        // still shows the drive has the log; only its status cannot be judged.
        return cmd == kSmartctlFarm ? 1 : 0;
    }
    if (!smartctl_status_ok(cmd, is_nvme, status)) return 0;
    if (cmd == kSmartctlSelftestStart && smartctl_reply_refused(text, len)) return 0;
    return 1;
}
