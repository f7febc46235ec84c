#include "tests/support/fake_smartctl.h"

#include <unistd.h>

#include <sstream>

#include "tests/support/fake_nas.h"
#include "tests/support/json_edit.h"
#include "tests/support/smartctl_samples.h"

namespace {

constexpr char kAnyDevice[] = "_any";

// $D is replaced by the data folder. Shell built-ins only.
constexpr char kScript[] = R"SH(#!/bin/sh
D='$D'
printf '%s\n' "$*" >> "$D/calls.log"
dev=_any key= skip=0
for a in "$@"; do
  if [ "$skip" = 1 ]; then skip=0; continue; fi
  case "$a" in
    -d) skip=1 ;;
    /dev/*) dev=${a#/dev/} ;;
    *) key="$key${key:+_}${a#-}" ;;
  esac
done
[ -d "$D/$dev" ] || dev=_any
S="$D/$dev"
case "$key" in
  t_short_j)
    echo running > "$S/selftest.state"
    for d in "$S" "$D/_any"; do echo 0 > "$d/c_l_selftest_j.n"; echo 0 > "$d/l_selftest_j.n"; done ;;
  X_j) echo aborted > "$S/selftest.state" ;;
esac
state=idle
[ -f "$S/selftest.state" ] && read -r state < "$S/selftest.state"
pick() {
  if [ "$state" != running ] && [ -f "$1/$key.$state.json" ]; then f="$1/$key.$state.json"; return 0; fi
  if [ -f "$1/$key.json" ]; then f="$1/$key.json"; return 0; fi
  [ -f "$1/$key.1.json" ] || return 1
  n=0
  [ -f "$1/$key.n" ] && read -r n < "$1/$key.n"
  n=$((n + 1))
  [ -f "$1/$key.$n.json" ] || n=$((n - 1))
  echo "$n" > "$1/$key.n"
  f="$1/$key.$n.json"
}
for d in "$D/$dev" "$D/_any"; do
  if pick "$d"; then
    while IFS= read -r line || [ -n "$line" ]; do printf '%s\n' "$line"; done < "$f"
    exit 0
  fi
done
exit 1
)SH";

std::string with_exit_status(const std::string& json, int status) {
    return json_set(json, "smartctl.exit_status", std::to_string(status));
}

SelftestReplies ata_replies(const SelftestPlan& plan) {
    SelftestReplies r;
    r.start = smartctl_sample("emulated/smartctl-t-short-sata.json");
    const std::string running = smartctl_sample("ata-hdd-wd140edfz-selftest-in-progress.json");
    for (int pct : plan.remaining)
        r.progress.push_back(json_set(running, "ata_smart_data.self_test.status.value",
                                      std::to_string(0xF0 | (pct / 10))));
    // The drive's self-test byte: high nibble 0 passed, 1 aborted by the host, 7 read failure.
    if (plan.outcome == SelftestPlan::kPassed) {
        r.progress.push_back(smartctl_sample("emulated/smartctl-c-sata.json"));
    } else if (plan.outcome == SelftestPlan::kFailed) {
        // A drive whose newest log entry is a short test that failed at an LBA.
        r.progress.push_back(
            json_set(smartctl_sample("usb-jmicron-wd3200bevt-failing-exit216.json"),
                     "ata_smart_data.self_test.status.value", "121"));
    }
    r.aborted = json_set(running, "ata_smart_data.self_test.status.value", "16");
    if (plan.outcome == SelftestPlan::kAborted) r.progress.push_back(r.aborted);
    return r;
}

std::string nvme_entry(int result) {
    std::string e =
        "{\"self_test_code\":{\"value\":1,\"string\":\"Short\"},\"self_test_result\":{\"value\":" +
        std::to_string(result) + "},\"power_on_hours\":1240";
    if (result == 7) e += ",\"lba\":" + std::to_string(kSelftestFailedLba);
    return e + "}";
}

SelftestReplies nvme_replies(const SelftestPlan& plan) {
    SelftestReplies r;
    r.start = smartctl_sample("emulated/smartctl-t-short-nvme.json");
    const std::string idle = smartctl_sample("nvme-sabrent-rocket4-errorlog-selftestlog.json");
    const std::string op = "nvme_self_test_log.current_self_test_operation.value";
    for (int pct : plan.remaining)
        r.progress.push_back(json_set(json_set(idle, op, "1"),
                                      "nvme_self_test_log.current_self_test_completion_percent",
                                      std::to_string(100 - pct)));
    // Result codes of the NVMe self-test log: 0 no error, 1 aborted by a
    // command, 7 a segment failed.
    const int result = plan.outcome == SelftestPlan::kPassed   ? 0
                       : plan.outcome == SelftestPlan::kFailed ? 7
                                                               : 1;
    r.aborted = json_set(idle, "nvme_self_test_log.table", "[" + nvme_entry(1) + "]");
    r.progress.push_back(
        json_set(idle, "nvme_self_test_log.table", "[" + nvme_entry(result) + "]"));
    return r;
}

SelftestReplies scsi_replies(const SelftestPlan& plan) {
    SelftestReplies r;
    // The emulated SCSI disks refuse self-tests; a real SAS drive's start reply stands in.
    r.start = with_exit_status(smartctl_sample("emulated/smartctl-t-short-sas.json"), 0);
    const std::string done =
        smartctl_sample("scsi-sas-seagate-st18000nm004j-selftest-pending.json");
    const std::string result = "scsi_self_test_0.result.value";
    for (std::size_t i = 0; i < plan.remaining.size(); ++i)
        r.progress.push_back(json_set(done, result, "15"));
    r.aborted = json_set(done, result, "1");
    r.progress.push_back(plan.outcome == SelftestPlan::kPassed   ? done
                         : plan.outcome == SelftestPlan::kFailed ? json_set(done, result, "7")
                                                                 : r.aborted);
    return r;
}

}  // namespace

std::string fake_smartctl_key(const std::vector<std::string>& argv) {
    std::string key;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "-d") {
            ++i;
            continue;
        }
        if (a.rfind("/", 0) == 0) continue;  // the executable, the device
        if (!key.empty()) key += "_";
        key += a[0] == '-' ? a.substr(1) : a;
    }
    return key;
}

SelftestReplies selftest_replies(const SelftestPlan& plan) {
    SelftestReplies r = plan.family == SelftestFamily::kAta    ? ata_replies(plan)
                        : plan.family == SelftestFamily::kNvme ? nvme_replies(plan)
                                                               : scsi_replies(plan);
    if (plan.refuse) {
        // A drive busy with another test: smartctl says so and flags a failed command.
        r.start = with_exit_status(
            json_set(r.start, "smartctl.messages",
                     "[{\"string\":\"Can't start self-test without aborting current test\","
                     "\"severity\":\"error\"}]"),
            4);
    }
    return r;
}

std::string temperature_reply(int temp_c) {
    return json_set(smartctl_sample("ata-hdd-wd181kryz-all.json"), "temperature.current",
                    std::to_string(temp_c));
}

std::vector<std::string> temperature_replies(const std::vector<int>& temps_c) {
    std::vector<std::string> out;
    for (int t : temps_c) out.push_back(temperature_reply(t));
    return out;
}

FakeSmartctl::FakeSmartctl(const std::string& script_path, const std::string& data_dir)
    : data_(data_dir) {
    make_dirs(data_ + "/" + kAnyDevice);
    std::string script = kScript;
    script.replace(script.find("$D"), 2, data_);
    write_file(script_path, script, 0755);
}

FakeSmartctl FakeSmartctl::in(FakeNas& nas, const std::string& platform_path) {
    return FakeSmartctl(nas.host_path(platform_path), nas.base() + "/fake-smartctl");
}

std::string FakeSmartctl::dir(const std::string& dev) const {
    const std::string d = data_ + "/" + (dev.empty() ? kAnyDevice : dev);
    make_dirs(d);
    return d;
}

// A key holds one reply or a sequence at a time.
void FakeSmartctl::clear_key(const std::string& dev, const std::string& key) const {
    const std::string base = dir(dev) + "/" + key;
    for (const char* suffix : {".json", ".n", ".aborted.json"}) ::unlink((base + suffix).c_str());
    for (int i = 1; ::unlink((base + "." + std::to_string(i) + ".json").c_str()) == 0; ++i) {
    }
}

void FakeSmartctl::reply(const std::string& dev, const std::string& key, const std::string& json) {
    clear_key(dev, key);
    write_file(dir(dev) + "/" + key + ".json", json);
}

void FakeSmartctl::sequence(const std::string& dev, const std::string& key,
                            const std::vector<std::string>& replies) {
    clear_key(dev, key);
    for (std::size_t i = 0; i < replies.size(); ++i)
        write_file(dir(dev) + "/" + key + "." + std::to_string(i + 1) + ".json", replies[i]);
}

void FakeSmartctl::selftest(const std::string& dev, const SelftestPlan& plan) {
    const SelftestReplies r = selftest_replies(plan);
    const std::string key =
        plan.family == SelftestFamily::kAta ? kScSelftestProgressAta : kScSelftestProgress;
    reply(dev, kScSelftestStart, r.start);
    reply(dev, kScSelftestAbort, r.start);
    sequence(dev, key, r.progress);
    write_file(dir(dev) + "/" + key + ".aborted.json", r.aborted);
    ::unlink((dir(dev) + "/selftest.state").c_str());
}

void FakeSmartctl::healthy_sata(const std::string& dev, const std::string& serial) {
    const std::string x = json_set(smartctl_sample("emulated/smartctl-x-sata.json"),
                                   "serial_number", "\"" + serial + "\"");
    reply(dev, kScIdentify, x);
    reply(dev, kScIdentifyStandby, x);
    reply(dev, kScSnapshot, x);
    reply(dev, kScTemperature, temperature_reply(35));
    selftest(dev, SelftestPlan{.family = SelftestFamily::kAta});
}

std::vector<std::string> FakeSmartctl::calls() const {
    std::vector<std::string> out;
    std::istringstream in(read_file(data_ + "/calls.log"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string FakeSmartctl::selftest_state(const std::string& dev) const {
    std::string s = read_file(dir(dev) + "/selftest.state");
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s.empty() ? "idle" : s;
}
