// FakeCollector: the whole collector in process over a fake machine. It
// creates a database of its own, lays fake disks out below a folder that
// stands for "/" (the collector's platform root), answers every smartctl and
// log_tool call from what the test gave it (recorded replies of real drives),
// feeds a kernel log image to the scan, and puts a fake clock in place of the
// real one. Everything is put back when it goes out of scope.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/fake_run.h"
#include "tests/support/temp_dir.h"

// One ATA attribute of a made-up smartctl reply.
struct AtaAttr {
    int id;
    std::string name;
    long long raw;
    int value = 100;
    std::string when_failed{};
};
// A smartctl -x reply of a SATA disk with these attributes; `extra` is
// spliced in as further members of the root object ("\"temperature\":{...}").
std::string ata_reply(const std::vector<AtaAttr>& attrs, const std::string& extra = "",
                      int exit_status = 0);

// 2027-01-15 10:05:00 UTC: five minutes into an hour slot.
inline constexpr std::int64_t kFakeStart = 1800000000 - 1800000000 % 3600 + 300;

class FakeCollector {
   public:
    FakeCollector();
    ~FakeCollector();
    FakeCollector(const FakeCollector&) = delete;
    FakeCollector& operator=(const FakeCollector&) = delete;

    // Lays the disk out and answers `smartctl -x` on it with reply (exit rc).
    void add(const FakeDisk& disk, const std::string& reply, int rc = 0);
    // Removes the disk's /sys/block entry (it was pulled).
    void remove(const std::string& dev);
    // Answers for dev: the plain collection, the one with "-d <dtype>", the FARM log.
    void reply(const std::string& dev, const std::string& text, int rc = 0);
    void reply_dtype(const std::string& dev, const std::string& dtype, const std::string& text);
    void reply_farm(const std::string& dev, const std::string& text);
    // log_tool's exit code for a message containing `part` (0 for the rest).
    void log_tool_rc(const std::string& part, int rc) { log_tool_rc_[part] = rc; }

    // One poll of kind inside its own transaction, as tick and dump run it.
    int poll(const char* kind = "manual", const char* filter = nullptr);

    std::vector<std::string> rows(const std::string& sql) const;
    std::string value(const std::string& sql) const;
    // The smartctl and log_tool calls so far.
    std::vector<std::vector<std::string>> calls(const std::string& program) const;

    const std::string& root() const { return root_; }
    const std::string& db() const { return db_; }
    std::string klog;  // the kernel's ring buffer as the scan reads it
    // Called before each smartctl call is answered, with its arguments.
    std::function<void(const std::vector<std::string>&)> before_smartctl;
    FakeClock clock{kFakeStart};
    FakeRun run;

   private:
    FakeReply answer(const std::vector<std::string>& argv);

    TempDir dir_;
    std::string root_;
    std::string db_;
    FakeDiskRoot disk_root_;
    std::map<std::string, FakeReply> replies_;  // "dev", "dev|dtype", "dev|farm"
    std::map<std::string, int> log_tool_rc_;
};
