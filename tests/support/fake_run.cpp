#include "tests/support/fake_run.h"

#include <stdexcept>

#include "core/strbuf.h"
#include "tests/support/fake_nas.h"

namespace {
FakeRun* s_active = nullptr;
}

FakeRun::FakeRun() {
    if (s_active) throw std::logic_error("one FakeRun at a time");
    s_active = this;
    before_ = run_capture_replace(fake_run);
}

FakeRun::~FakeRun() {
    run_capture_replace(before_);
    s_active = nullptr;
}

int FakeRun::fake_run(const char* const argv[], StrBuf* out, int timeout_s) {
    FakeRun* f = s_active;
    std::vector<std::string> args;
    for (const char* const* a = argv; *a; ++a) args.emplace_back(*a);
    f->calls_.push_back(args);
    f->timeouts_.push_back(timeout_s);
    FakeReply reply{127, ""};
    if (f->handler_) {
        reply = f->handler_(args);
    } else if (!f->queue_.empty()) {
        reply = std::move(f->queue_.front());
        f->queue_.pop_front();
    }
    if (!reply.out.empty() && sb_append(out, reply.out.data(), reply.out.size()) != 0) return -1;
    return reply.rc;
}
