// FakeRun: stands in for the process runner underneath run_capture for as long
// as it lives, so that the code above meets recorded replies of smartctl,
// log_tool and hal_event without starting a program. It keeps every argument
// vector it was handed and answers each call from the handler when one is
// set, else from a queue (a program that could not be started, exit 127, when
// the queue is empty).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/run.h"
#include "tests/support/fake_nas.h"  // in_ci

struct FakeReply {
    int rc = 0;       // what run_capture returns: exit status, or -1 for a signal/time-out
    std::string out;  // what the program printed on standard output
};

class FakeRun {
   public:
    using Handler = std::function<FakeReply(const std::vector<std::string>& argv)>;

    FakeRun();
    ~FakeRun();
    FakeRun(const FakeRun&) = delete;
    FakeRun& operator=(const FakeRun&) = delete;

    void push(FakeReply reply) { queue_.push_back(std::move(reply)); }
    void set_handler(Handler h) { handler_ = std::move(h); }
    const std::vector<std::vector<std::string>>& calls() const { return calls_; }
    // The time limits that were asked for, one per call.
    const std::vector<int>& timeouts() const { return timeouts_; }

   private:
    static int fake_run(const char* const argv[], StrBuf* out, int timeout_s);

    RunCaptureFn before_ = nullptr;
    std::deque<FakeReply> queue_;
    Handler handler_;
    std::vector<std::vector<std::string>> calls_;
    std::vector<int> timeouts_;
};

// Code that runs smartctl asks smartctl_path() first; the fake answers in its
// place, but the search must find some executable. CI installs smartmontools;
// elsewhere a machine without it skips the test.
#define REQUIRE_SMARTCTL_PATH()                                                   \
    do {                                                                          \
        if (!smartctl_path()) {                                                   \
            if (in_ci()) FAIL() << "no smartctl on this machine (smartmontools)"; \
            GTEST_SKIP() << "no smartctl on this machine (smartmontools)";        \
        }                                                                         \
    } while (0)
