#include "collector/alert_push.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "collector/platform.h"
#include "core/clock.h"
#include "core/db.h"
#include "core/run.h"
#include "core/strbuf.h"

namespace {

constexpr int kLogToolTimeoutS = 10;
constexpr std::size_t kToolPathSize = 600;

struct Pending {
    std::int64_t alert_id;
    int severity;
    std::string message;
};

// Alerts the tool never refused come first, so that a few undeliverable
// ones cannot hold every newer alert back for ever.
std::vector<Pending> pending_batch() {
    std::vector<Pending> batch;
    DbStmt st(
        "SELECT alert_id,severity,message FROM alerts WHERE pushed_ts IS NULL "
        "ORDER BY push_rc IS NOT NULL,alert_id LIMIT 20");
    while (st.step() == SQLITE_ROW) {
        const char* msg = st.col_is_null(2) ? "Corvantis alert" : st.col_text(2);
        batch.push_back({st.col_int(0), static_cast<int>(st.col_int(1)), msg});
    }
    return batch;
}

int push_one(const char* tool, const Pending& a) {
    char type[4];
    (void)std::snprintf(type, sizeof type, "-t%d", a.severity);
    const char* argv[] = {tool,          type, "-uqorm",          "-p127.0.0.1",
                          "-mlocalhost", "-a", a.message.c_str(), nullptr};
    StrBuf out;
    return run_capture(argv, &out, kLogToolTimeoutS);
}

void mark(std::int64_t alert_id, int rc) {
    DbStmt st(rc == 0 ? "UPDATE alerts SET pushed_ts=?,push_rc=? WHERE alert_id=?"
                      : "UPDATE alerts SET push_rc=? WHERE alert_id=?");
    int i = 1;
    if (rc == 0) st.bind_int(i++, clock_now());
    st.bind_int(i++, rc);
    st.bind_int(i, alert_id);
    st.step();
}

}  // namespace

void alert_push_pending() {
    char tool[kToolPathSize];
    if (!platform_path(tool, sizeof tool, "/sbin/log_tool")) return;
    for (const Pending& a : pending_batch()) {
        if (::access(tool, X_OK) != 0) continue;
        mark(a.alert_id, push_one(tool, a));
    }
}
