// A fake smartctl for the fake NAS: a shell script that replays replies per
// device and command line, keeps a self-test's state and the position in a
// sequence of replies in files between calls, and logs every call. Replies
// come from the recorded ones in tests/data, changed where a state needs it
// (json_set), so the code under test reads what real drives print.
//
//   FakeSmartctl sc = FakeSmartctl::in(nas);              // /usr/sbin/smartctl
//   sc.reply("sdb", kScSnapshot, smartctl_sample("emulated/smartctl-x-sata.json"));
//   sc.selftest("sdb", {.family = SelftestFamily::kAta, .remaining = {90, 40}});
//   sc.sequence("sdb", kScTemperature, temperature_replies({40, 52, 58, 50}));
//
// A command line's key is its arguments without "-d TYPE" and the device,
// each without its first '-', joined by '_' ("-c -l selftest -j": c_l_selftest_j).
// Devices are named as on the command line without "/dev/" ("sdb", "nvme0");
// "" stands for any device without replies of its own.
//
// The script uses shell built-ins only, so it runs in a fake NAS that holds
// nothing but a shell.
#pragma once

#include <string>
#include <vector>

class FakeNas;

inline constexpr char kScIdentify[] = "i_j";
inline constexpr char kScIdentifyStandby[] = "i_j_n_standby";
inline constexpr char kScSnapshot[] = "x_j";
inline constexpr char kScTemperature[] = "A_j";
inline constexpr char kScSiblingCounters[] = "A_l_sataphy_j_n_standby";
inline constexpr char kScSelftestStart[] = "t_short_j";
inline constexpr char kScSelftestProgressAta[] = "c_l_selftest_j";
inline constexpr char kScSelftestProgress[] = "l_selftest_j";
inline constexpr char kScSelftestAbort[] = "X_j";

// The key of an argument vector (argv[0] included or not: an absolute path is skipped).
std::string fake_smartctl_key(const std::vector<std::string>& argv);

enum class SelftestFamily { kAta, kNvme, kScsi };

struct SelftestPlan {
    SelftestFamily family = SelftestFamily::kAta;
    // Percent still to run at each progress poll while the test runs.
    std::vector<int> remaining{};
    enum Outcome { kPassed, kFailed, kAborted } outcome = kPassed;
    bool refuse = false;  // the start reply says the drive cannot start it
};

// Replies of one simulated self-test: the start, one progress reply per
// poll (the outcome last), and what a poll answers after an abort.
struct SelftestReplies {
    std::string start;
    std::vector<std::string> progress;
    std::string aborted;
};
SelftestReplies selftest_replies(const SelftestPlan& plan);
// The LBA that a failed simulated self-test names.
inline constexpr long long kSelftestFailedLba = 494591083;

// A recorded "-x" reply of a SATA disk (it answers "-A -j" too) at temp_c.
std::string temperature_reply(int temp_c);
std::vector<std::string> temperature_replies(const std::vector<int>& temps_c);

class FakeSmartctl {
   public:
    // Writes the script to script_path (a host path); replies and state live in data_dir.
    FakeSmartctl(const std::string& script_path, const std::string& data_dir);
    // The script at platform_path inside nas, its data in nas's own folder.
    static FakeSmartctl in(FakeNas& nas, const std::string& platform_path = "/usr/sbin/smartctl");

    // The one reply of key on dev.
    void reply(const std::string& dev, const std::string& key, const std::string& json);
    // One reply per call, in order; the last repeats. A self-test start rewinds
    // the progress sequences.
    void sequence(const std::string& dev, const std::string& key,
                  const std::vector<std::string>& replies);
    // Start, progress and abort replies of a simulated self-test on dev.
    void selftest(const std::string& dev, const SelftestPlan& plan);
    // A healthy SATA disk dev that identifies as serial (recorded replies),
    // reads 35 degrees C and passes its short self-test.
    void healthy_sata(const std::string& dev, const std::string& serial);

    // One line per call so far: its arguments after the executable, space-separated.
    std::vector<std::string> calls() const;
    // "idle", "running" (started) or "aborted" (-X was sent).
    std::string selftest_state(const std::string& dev) const;

   private:
    std::string dir(const std::string& dev) const;
    void clear_key(const std::string& dev, const std::string& key) const;

    std::string data_;
};
