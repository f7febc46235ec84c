#include "tests/support/fake_collector.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

#include "collector/platform.h"
#include "collector/polls.h"
#include "core/db.h"
#include "core/paths.h"
#include "core/run.h"
#include "core/strbuf.h"
#include "core/util.h"
#include "tests/support/fake_nas.h"
#include "tests/support/sqlite_file.h"

namespace {

const std::string* s_klog = nullptr;

std::int64_t fake_klog_read(StrBuf* out) {
    if (!s_klog || s_klog->empty()) return 0;
    return sb_append(out, s_klog->data(), s_klog->size()) == 0
               ? static_cast<std::int64_t>(s_klog->size())
               : -1;
}

std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

FakeCollector::FakeCollector()
    : root_(dir_.path() + "/root"),
      db_(dir_.path() + "/corvantis.db"),
      disk_root_(fake_disk_root(root_)) {
    make_dirs(root_ + "/sys/block");
    write_file(root_ + "/sbin/log_tool", "#!/bin/sh\n", 0755);
    str_copy(g_var_dir, sizeof g_var_dir, dir_.path().c_str());
    str_copy(g_db_path, sizeof g_db_path, db_.c_str());
    s_klog = &klog;
    const Platform p{root_.c_str(), fake_klog_read};
    platform_replace(&p);
    smartctl_path_remember("/usr/sbin/smartctl");
    run.set_handler([this](const std::vector<std::string>& argv) { return answer(argv); });
    g_poll_timeout = 0;
    (void)db_open(1);
}

FakeCollector::~FakeCollector() {
    db_close();
    tick_lock_release();
    ::alarm(0);
    g_poll_timeout = 0;
    platform_replace(nullptr);
    smartctl_path_remember(nullptr);
    s_klog = nullptr;
}

void FakeCollector::add(const FakeDisk& disk, const std::string& reply_text, int rc) {
    fake_disk_add(disk_root_, disk);
    reply(disk.dev, reply_text, rc);
}

void FakeCollector::remove(const std::string& dev) {
    ::unlink((disk_root_.sys_block + "/" + dev).c_str());
}

void FakeCollector::reply(const std::string& dev, const std::string& text, int rc) {
    replies_[dev] = {rc, text};
}

void FakeCollector::reply_dtype(const std::string& dev, const std::string& dtype,
                                const std::string& text) {
    replies_[dev + "|" + dtype] = {0, text};
}

void FakeCollector::reply_farm(const std::string& dev, const std::string& text) {
    replies_[dev + "|farm"] = {0, text};
}

FakeReply FakeCollector::answer(const std::vector<std::string>& argv) {
    if (base_name(argv[0]) == "log_tool") {
        for (const auto& [part, rc] : log_tool_rc_)
            if (argv.back().find(part) != std::string::npos) return {rc, ""};
        return {0, ""};
    }
    if (before_smartctl) before_smartctl(argv);
    std::string key = base_name(argv.back());
    for (size_t i = 1; i + 1 < argv.size(); ++i) {
        if (argv[i] == "farm") key += "|farm";
        if (argv[i] == "-d") key += "|" + argv[i + 1];
    }
    const auto it = replies_.find(key);
    return it == replies_.end() ? FakeReply{2, ""} : it->second;
}

int FakeCollector::poll(const char* kind, const char* filter) {
    DbTxn txn;
    const int ran = poll_run(kind, clock.now() - clock.now() % 3600, 1, filter);
    return txn.commit() == 0 ? ran : -1;
}

std::vector<std::string> FakeCollector::rows(const std::string& sql) const {
    return sql_rows(db_, sql);
}

std::string FakeCollector::value(const std::string& sql) const {
    return sql_value(db_, sql);
}

std::vector<std::vector<std::string>> FakeCollector::calls(const std::string& program) const {
    std::vector<std::vector<std::string>> out;
    for (const auto& c : run.calls())
        if (base_name(c[0]) == program) out.push_back(c);
    return out;
}

std::string ata_reply(const std::vector<AtaAttr>& attrs, const std::string& extra,
                      int exit_status) {
    std::string t = "{\"smartctl\":{\"exit_status\":" + std::to_string(exit_status) +
                    "},\"device\":{\"type\":\"sat\"},\"ata_smart_attributes\":{\"table\":[";
    for (size_t i = 0; i < attrs.size(); ++i) {
        const AtaAttr& a = attrs[i];
        t += (i ? "," : "") + std::string("{\"id\":") + std::to_string(a.id) + ",\"name\":\"" +
             a.name + "\",\"value\":" + std::to_string(a.value) +
             ",\"worst\":100,\"thresh\":10,\"when_failed\":\"" + a.when_failed +
             "\",\"raw\":{\"value\":" + std::to_string(a.raw) + "}}";
    }
    t += "]}";
    if (!extra.empty()) t += "," + extra;
    return t + "}";
}
