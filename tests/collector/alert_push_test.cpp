// The alert push to the NAS log: batches of 20, the log tool's command line,
// and alerts the tool refuses.
#include "collector/alert_push.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/db.h"
#include "tests/support/fake_collector.h"

namespace {

void add_alerts(int n, const char* prefix, int severity = 1) {
    for (int i = 0; i < n; ++i)
        alert_add(1, "R-A1", severity, (prefix + std::to_string(i)).c_str());
}

TEST(AlertPush, OldestTwentyFirstThenTheRest) {
    FakeCollector fc;
    add_alerts(24, "m");
    alert_add(2, "R-A10", 2, "grave");
    alert_push_pending();
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE pushed_ts IS NULL"), "5");
    EXPECT_EQ(fc.value("SELECT MAX(alert_id) FROM alerts WHERE pushed_ts IS NOT NULL"), "20");
    alert_push_pending();
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE pushed_ts IS NULL"), "0");
    EXPECT_EQ(fc.rows("SELECT DISTINCT pushed_ts,push_rc FROM alerts"),
              std::vector<std::string>{std::to_string(kFakeStart) + "|0"});
    const auto calls = fc.calls("log_tool");
    ASSERT_EQ(calls.size(), 25u);
    EXPECT_EQ(calls.back(),
              (std::vector<std::string>{fc.root() + "/sbin/log_tool", "-t2", "-uqorm",
                                        "-p127.0.0.1", "-mlocalhost", "-a", "grave"}));
    EXPECT_EQ(fc.run.timeouts().back(), 10);
}

// A refused alert stays unsent with the tool's answer in push_rc, and waits
// behind every alert that was never refused.
TEST(AlertPush, RefusedAlertsStayAndWaitBehindTheOthers) {
    FakeCollector fc;
    fc.log_tool_rc("bad", 3);
    add_alerts(21, "bad");
    alert_push_pending();
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE push_rc=3 AND pushed_ts IS NULL"), "20");
    add_alerts(2, "good");
    alert_push_pending();
    // The never-tried bad alert and both good ones came first.
    EXPECT_EQ(fc.rows("SELECT message FROM alerts WHERE pushed_ts IS NOT NULL"),
              (std::vector<std::string>{"good0", "good1"}));
    const auto calls = fc.calls("log_tool");
    ASSERT_EQ(calls.size(), 40u);
    EXPECT_EQ(calls[20].back(), "bad20");
    EXPECT_EQ(calls[21].back(), "good0");
    EXPECT_EQ(calls[23].back(), "bad0");
}

TEST(AlertPush, NoLogToolSendsNothing) {
    FakeCollector fc;
    ::unlink((fc.root() + "/sbin/log_tool").c_str());
    add_alerts(3, "m");
    alert_push_pending();
    EXPECT_TRUE(fc.calls("log_tool").empty());
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM alerts WHERE pushed_ts IS NULL AND push_rc IS NULL"),
              "3");
}

}  // namespace
