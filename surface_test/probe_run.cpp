#include "surface_test/probe_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cli.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "core/unique_fd.h"
#include "core/util.h"
#include "surface_test/probe_map.h"
#include "surface_test/probe_result.h"
#include "surface_test/probe_selftest.h"
#include "surface_test/probe_snapshot.h"
#include "surface_test/probe_state.h"
#include "surface_test/probe_state_file.h"
#include "surface_test/thermal.h"
#include "surface_test/verdict.h"

namespace {

constexpr double kQueuePollMs = 1000.0;
constexpr double kQueueRewriteMs = 10000.0;
constexpr double kNeutralMinDuty = 0.15;

enum class Outcome { kDone, kStopped, kFailed };

void set_status(const char* status) {
    str_copy(g_probe.status, sizeof g_probe.status, status);
}

void set_phase(const char* phase) {
    g_probe.phase = phase;
    probe_state_save(0);
}

void install_handlers() {
    struct sigaction sa {};
    sa.sa_handler = probe_on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a stop must end a sleep or a read at once
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
}

// One disk at a time: waits in phase "queued" for the test of another disk
// to end. false when a stop came while waiting.
bool wait_turn() {
    ProbeState& p = g_probe;
    char path[700];
    probe_format(path, sizeof path, "%s/.all.lock", p.probe_dir);
    g_probe_queue_fd = file_open_lock(path);
    if (g_probe_queue_fd < 0) {
        log_msg("probe: cannot open %s: %s; the test does not wait for others", path,
                std::strerror(errno));
        return true;
    }
    if (::flock(g_probe_queue_fd, LOCK_EX | LOCK_NB) == 0) return true;
    const char* before = p.phase;
    p.last_save_ms = 0;
    set_phase("queued");
    log_msg("probe: %s waits for the test of another disk", p.serial_arg);
    for (;;) {
        if (g_probe_stop) return false;
        if (::flock(g_probe_queue_fd, LOCK_EX | LOCK_NB) == 0) break;
        probe_wait_ms(kQueuePollMs);
        if (clock_mono_ms() - p.last_save_ms > kQueueRewriteMs) probe_state_save(0);
    }
    p.last_save_ms = 0;
    set_phase(before);
    log_msg("probe: %s: its turn", p.serial_arg);
    return true;
}

void run_phases() {
    ProbeState& p = g_probe;
    set_phase("snapshot0");
    probe_snapshot_take(&p.snap0, 0, 1);
    probe_thermal_setup();
    if (!g_probe_stop) {
        set_phase("verify");
        if (p.cells != 0) {
            probe_map_choose_method();
            probe_map_run();
        }
    }
    auto go_on = [&p] { return !g_probe_stop && !p.fatal && !p.thermal.thermal_stop; };
    if (go_on()) probe_samples_run();
    if (go_on()) probe_repeat_run();
    if (go_on()) probe_selftest_run();
    p.stopped = g_probe_stop ? 1 : 0;
    set_phase("snapshot1");
    probe_snapshot_take(&p.snap1, 1, !p.fatal && !p.stopped);
    p.snap1_taken = 1;
}

void compute_verdict() {
    set_phase("verdict");
    VerdictInput in;
    probe_verdict_input(&in);
    verdict_compute(&in, &g_probe.verdict);
    g_probe.has_verdict = 1;
}

// Frees what the run allocated and releases the locks, the queue lock first.
void release(UniqueFd* lock) {
    ProbeState& p = g_probe;
    std::free(p.codes);
    std::free(p.bad);
    std::free(p.io_buf);
    p.codes = nullptr;
    p.bad = nullptr;
    p.io_buf = nullptr;
    if (g_probe_queue_fd >= 0) ::close(g_probe_queue_fd);
    g_probe_queue_fd = -1;
    lock->reset();
}

int finish(Outcome outcome, UniqueFd* lock) {
    ProbeState& p = g_probe;
    int code = outcome == Outcome::kFailed ? 1 : 0;
    if (outcome == Outcome::kFailed) set_status("failed");
    if (p.sg_fd >= 0) ::close(p.sg_fd);
    if (p.io_fd >= 0) ::close(p.io_fd);
    p.sg_fd = p.io_fd = -1;
    p.finished_ts = clock_now();
    p.eta_s = 0;
    const bool saved = probe_state_save(1) == 0;
    StrBuf doc;
    probe_state_to_json(&doc);
    const char* verdict = p.has_verdict ? p.verdict.code : nullptr;
    const std::int64_t id =
        probe_db_record(p.serial[0] ? p.serial : p.serial_arg, p.wwn, p.mode, p.status, verdict,
                        p.started_ts, p.finished_ts, doc.c_str());
    log_msg("probe: %s %s verdict %s (probe_id %lld)", p.serial_arg, p.status,
            verdict ? verdict : "-", static_cast<long long>(id));
    // Either copy of the result is enough; with neither, the run is lost to
    // everyone who reads it later, whatever its verdict.
    const bool lost = id == 0 && !saved;
    if (lost) {
        log_msg("probe: %s: the result is recorded neither in %s nor in %s", p.serial_arg,
                g_db_path, p.state_path);
        code = 1;
    }
    probe_reply("{\"ok\":%s,\"status\":\"%s\",\"verdict\":%s%s%s,\"probe_id\":%lld%s}",
                code == 0 ? "true" : "false", p.status, verdict ? "\"" : "",
                verdict ? verdict : "null", verdict ? "\"" : "", static_cast<long long>(id),
                lost ? ",\"error\":\"not_recorded\"" : "");
    release(lock);
    return code;
}

// Everything from the start of the run (lock held) to its outcome.
Outcome run_locked() {
    ProbeState& p = g_probe;
    probe_reap_stale(p.serial_arg);
    install_handlers();
    p.started_ts = clock_now();
    p.start_mono_ms = clock_mono_ms();
    p.phase = "identify";
    set_status("running");
    str_copy(p.st_status, sizeof p.st_status, "skipped");
    p.bad = static_cast<BadRange*>(std::calloc(kProbeBadMax, sizeof(BadRange)));
    p.io_buf = static_cast<unsigned char*>(std::aligned_alloc(kProbeIoAlign, kProbeIoBufSize));
    probe_state_save(0);
    log_msg("probe: serial %s mode %s pid %d", p.serial_arg, p.mode, static_cast<int>(::getpid()));
    thermal_guard_init(&p.thermal.guard, 0, 1, 2, kNeutralMinDuty);
    p.thermal.sensor = nullptr;
    if (!wait_turn()) {
        p.stopped = 1;
        set_status("stopped");
        return Outcome::kStopped;
    }
    if (!p.bad || !p.io_buf) {
        str_copy(p.error, sizeof p.error, "out_of_memory");
        return Outcome::kFailed;
    }
    set_phase("identify");
    if (probe_identify_disk() != 0) return Outcome::kFailed;
    run_phases();
    if (p.stopped) {
        set_status("stopped");
        return Outcome::kStopped;
    }
    compute_verdict();
    set_status("done");
    return Outcome::kDone;
}

int count_codes(const ProbeState& p, char code) {
    int n = 0;
    for (std::uint32_t i = 0; p.codes && i < p.cells; ++i) n += p.codes[i] == code;
    return n;
}

void count_ranges(const ProbeState& p, VerdictInput* in) {
    for (int i = 0; p.bad && i < p.bad_count && i < kProbeBadMax; ++i) {
        const BadRange& b = p.bad[i];
        const bool media = b.kind ? std::strcmp(b.kind, "media") == 0 : b.code == 'B';
        const bool link = b.kind ? std::strcmp(b.kind, "link") == 0 : b.code == 'L';
        if (media) ++(b.confirmed ? in->media_confirmed : in->media_unconfirmed);
        if (link) ++(b.via_read ? in->link_by_read : in->link_by_verify);
    }
}

void phy_deltas(const ProbeState& p, VerdictInput* in) {
    const SmartSnapshot& s1 = p.snap1.smart;
    for (int i = 0; i < s1.phy_count && i < kSmartPhyMax; ++i) {
        std::int64_t d = 0;
        if (!probe_snap_phy_delta(i, &d) || d <= 0) continue;
        if (phy_event_is_crc(s1.phy_id[i]))
            in->d_phy_crc += d;
        else if (phy_event_is_phy_error(s1.phy_id[i]))
            in->d_phy_other += d;
    }
}

std::int64_t start_value(const SmartSnapshot& s0, int slot) {
    return s0.attr_present[slot] ? s0.attr_raw[slot] : 0;
}

}  // namespace

void probe_on_stop_signal(int) {
    g_probe_stop = 1;
}

void probe_paths_init(const char* serial) {
    ProbeState& p = g_probe;
    // A path that does not fit stays empty: the lock then cannot be opened,
    // and no file of another name is ever written.
    p.state_path[0] = p.lock_path[0] = '\0';
    if (probe_format(p.probe_dir, sizeof p.probe_dir, "%s/probe", g_var_dir) != 0) return;
    ::mkdir(p.probe_dir, 0755);
    if (probe_format(p.state_path, sizeof p.state_path, "%s/%s.json", p.probe_dir, serial) != 0 ||
        probe_format(p.lock_path, sizeof p.lock_path, "%s/%s.lock", p.probe_dir, serial) != 0)
        p.state_path[0] = p.lock_path[0] = '\0';
}

int probe_lock_open() {
    const int fd = file_open_lock(g_probe.lock_path);
    if (fd < 0 && g_probe.lock_path[0])
        log_msg("probe: cannot open %s: %s", g_probe.lock_path, std::strerror(errno));
    return fd;
}

void probe_verdict_input(VerdictInput* in) {
    const ProbeState& p = g_probe;
    *in = VerdictInput{};
    in->is_nvme = p.is_nvme;
    in->link_analysis = p.is_nvme ? 0 : 1;
    in->fatal = p.fatal;
    in->cells = p.cells;
    in->done = p.done;
    in->cells_b = count_codes(p, 'B');
    in->cells_l = count_codes(p, 'L');
    in->cells_e = count_codes(p, 'E');
    in->read_fallback = p.read_fallback;
    in->selftest = p.st_status;
    count_ranges(p, in);
    std::int64_t* const deltas[kSmartAttrSlots] = {&in->d_a5,   &in->d_a187, &in->d_a188,
                                                   &in->d_a197, &in->d_a198, &in->d_a199};
    for (int k = 0; k < kSmartAttrSlots; ++k) *deltas[k] = probe_snap_attr_delta(k);
    phy_deltas(p, in);
    if (p.snap0.smart_ok && p.snap1.smart_ok) {
        in->xerr_icrc = p.snap1.smart.errlog_icrc_newer;
        in->xerr_unc = p.snap1.smart.errlog_unc_newer;
    }
    in->ering_bus = p.snap1.ering_bus;
    in->ering_media = p.snap1.ering_media;
    in->speed_drop = probe_snap_speed_drop();
    in->dmesg_link = p.snap1.dmesg_link;
    in->dmesg_media = p.snap1.dmesg_media;
    for (int i = 0; i < p.sibling_count && i < kProbeSiblingMax; ++i) {
        const SiblingLink& s = p.siblings[i];
        in->siblings_rising += s.ok0 && s.ok1 && (s.crc1 > s.crc0 || s.phy1 > s.phy0);
    }
    if (p.snap0.smart_ok) {
        const SmartSnapshot& s0 = p.snap0.smart;
        in->s0_a5 = start_value(s0, 0);
        in->s0_a197 = start_value(s0, 3);
        in->s0_a198 = start_value(s0, 4);
        in->s0_nvme_media = s0.nvme_health_present ? s0.nvme_media_errors : 0;
    }
    in->d_nvme_media = probe_snap_nvme_media_delta();
    in->thermal_stop = p.thermal.thermal_stop;
}

int probe_run(const char* serial, const char* mode) {
    if (!serial || !name_is_safe(serial, 79)) {
        probe_reply("{\"ok\":false,\"error\":\"bad_serial\"}");
        return 2;
    }
    if (!mode) mode = "quick";
    if (std::strcmp(mode, "quick") != 0 && std::strcmp(mode, "full") != 0) {
        probe_reply("{\"ok\":false,\"error\":\"bad_mode\"}");
        return 2;
    }
    std::memset(static_cast<void*>(&g_probe), 0, sizeof g_probe);
    g_probe.sg_fd = g_probe.io_fd = -1;
    // Until the handler is installed below, SIGTERM still ends the process
    // outright, so no stop request can be lost here; an earlier run in the
    // same process (tests) must not leave its own behind.
    g_probe_stop = 0;
    str_copy(g_probe.serial_arg, sizeof g_probe.serial_arg, serial);
    str_copy(g_probe.mode, sizeof g_probe.mode, mode);
    probe_paths_init(serial);

    UniqueFd lock(probe_lock_open());
    if (!lock.valid()) {
        probe_reply("{\"ok\":false,\"error\":\"lock\"}");
        return 1;
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        probe_reply("{\"ok\":false,\"refused\":\"running\"}");
        return 4;
    }
    const Outcome outcome = run_locked();
    return finish(outcome, &lock);
}
