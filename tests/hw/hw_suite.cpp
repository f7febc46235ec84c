#include "tests/hw/hw_suite.h"

#include <cstdio>
#include <memory>
#include <sstream>

#include "core/json.h"
#include "tests/support/fake_nas.h"
#include "tests/support/temp_dir.h"

namespace {

std::map<std::string, HwGuestPlan>& registry() {
    static std::map<std::string, HwGuestPlan> plans;
    return plans;
}

struct HwState {
    std::string missing;      // packages the host lacks
    std::string build_error;  // the image builder's complaint
    std::unique_ptr<TempDir> dir;
    std::map<std::string, HwGuest> guests;  // by suite
};

HwState& state() {
    static HwState s;
    return s;
}

// The suites that have a test to run in this process.
std::vector<std::string> selected_suites() {
    std::vector<std::string> suites;
    const ::testing::UnitTest* ut = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < ut->total_test_suite_count(); ++i) {
        const ::testing::TestSuite* s = ut->GetTestSuite(i);
        if (s->test_to_run_count() > 0 && registry().count(s->name())) suites.push_back(s->name());
    }
    return suites;
}

class HwEnvironment : public ::testing::Environment {
   public:
    void SetUp() override {
        const std::vector<std::string> suites = selected_suites();
        if (suites.empty()) return;
        HwState& s = state();
        s.missing = hw_missing_prerequisites();
        if (!s.missing.empty()) return;
        s.dir = std::make_unique<TempDir>();
        const std::string base =
            std::getenv("HW_KEEP_DIR") ? std::getenv("HW_KEEP_DIR") : s.dir->path();
        s.build_error = hw_build_image(base + "/image");
        if (!s.build_error.empty()) return;
        std::vector<HwGuestPlan> plans;
        for (const std::string& suite : suites) plans.push_back(registry()[suite]);
        const std::vector<HwGuest> guests = hw_run_guests(plans, base + "/image", base);
        for (std::size_t i = 0; i < suites.size(); ++i) {
            s.guests[suites[i]] = guests[i];
            std::printf("[hw] guest %s: %.1f s%s\n", guests[i].name.c_str(), guests[i].seconds,
                        guests[i].finished ? "" : " (did not finish)");
        }
    }
};

[[maybe_unused]] const bool environment_added =
    (::testing::AddGlobalTestEnvironment(new HwEnvironment), true);

}  // namespace

bool hw_register_guest(const char* suite, const HwGuestPlan& plan) {
    registry()[suite] = plan;
    registry()[suite].name = suite;
    return true;
}

std::string hw_json(const std::string& doc, const std::string& path) {
    int count = 0;
    const JsonTokens toks(json_parse(doc.data(), doc.size(), &count));
    if (!toks || count < 1) return "(none)";
    const int i = path.empty() ? 0 : json_path_get(doc.data(), toks.get(), 0, path.c_str());
    if (i < 0) return "(none)";
    const JsonTok& t = toks[i];
    if (t.type == kJsonString) return doc.substr(t.start - 1, t.end - t.start + 2);
    return doc.substr(t.start, t.end - t.start);
}

void HwTest::SetUp() {
    const HwState& s = state();
    if (!s.missing.empty()) {
        if (in_ci()) FAIL() << "the emulated-disk tests need:" << s.missing;
        GTEST_SKIP() << "the emulated-disk tests need:" << s.missing;
    }
    ASSERT_EQ(s.build_error, "");
    const auto it = s.guests.find(::testing::UnitTest::GetInstance()->current_test_suite()->name());
    ASSERT_NE(it, s.guests.end()) << "no guest registered for this suite";
    guest_ = &it->second;
    ASSERT_TRUE(guest_->finished) << guest_->diagnostics();
    EXPECT_EQ(guest_->changed_images(), "") << "images written during the scenario";
    EXPECT_EQ(guest_->out("waits"), "") << "the scenario gave up waiting";
}

std::map<std::string, std::string> HwTest::fields(const std::string& file,
                                                  const std::string& prefix) const {
    std::map<std::string, std::string> found;
    std::istringstream in(out(file));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = line.substr(prefix.size());
        const std::size_t blank = rest.find(' ');
        found[rest.substr(0, blank)] = blank == std::string::npos ? "" : rest.substr(blank + 1);
    }
    return found;
}
