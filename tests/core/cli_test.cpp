#include "core/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Argv {
    explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
        for (auto& s : words) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char** argv() { return ptrs.data(); }
    std::vector<std::string> words;
    std::vector<char*> ptrs;
};

int parse(std::vector<std::string> words, CliOptions* opt) {
    g_temp_limit = -1;
    g_max_rate = 0.0;
    words.insert(words.begin(), {"corvantisd", "probe"});
    Argv a(std::move(words));
    testing::internal::CaptureStderr();
    const int rc = cli_parse_options(a.argc(), a.argv(), opt);
    testing::internal::GetCapturedStderr();
    // The parsed texts point into the vector; keep them readable for the caller.
    static std::vector<Argv> keep;
    keep.push_back(std::move(a));
    return rc;
}

TEST(CliOptions, TemperatureLimitValues) {
    struct Case {
        const char* value;
        int rc;
        int limit;
    } cases[] = {{"30", 0, 30},   {"95", 0, 95}, {"50abc", 0, 50}, {"off", 0, 0},
                 {"auto", 0, -1}, {"29", 2, -1}, {"96", 2, -1},    {"abc", 2, -1}};
    for (const Case& c : cases) {
        CliOptions opt;
        EXPECT_EQ(parse({"--temp-limit", c.value}, &opt), c.rc) << c.value;
        EXPECT_EQ(g_temp_limit, c.limit) << c.value;
    }
}

TEST(CliOptions, RateCapValues) {
    CliOptions opt;
    EXPECT_EQ(parse({"--max-rate", "abc"}, &opt), 0);
    EXPECT_EQ(g_max_rate, 0.0);
    EXPECT_EQ(parse({"--max-rate", "100000"}, &opt), 0);
    EXPECT_EQ(g_max_rate, 100000.0);
    EXPECT_EQ(parse({"--max-rate", "2.5x"}, &opt), 0);
    EXPECT_EQ(g_max_rate, 2.5);
}

TEST(CliOptions, LaterOccurrencesWinAndValuelessOptionsAreSkipped) {
    CliOptions opt;
    ASSERT_EQ(
        parse({"--serial", "A", "--ui", "--bogus", "--serial", "B", "--plain", "--json", "--mode",
               "full", "--wwn", "w", "--conf", "c", "--temp-limit", "40", "--temp-limit"},
              &opt),
        0);
    EXPECT_STREQ(opt.serial, "B");
    EXPECT_EQ(opt.style, kStylePlain);
    EXPECT_EQ(opt.json, 1);
    EXPECT_STREQ(opt.mode, "full");
    EXPECT_STREQ(opt.wwn, "w");
    EXPECT_STREQ(opt.conf, "c");
    EXPECT_EQ(g_temp_limit, 40);

    CliOptions last;
    ASSERT_EQ(parse({"--serial"}, &last), 0);
    EXPECT_EQ(last.serial, nullptr);
}

TEST(CliDefaultCommand, RewritesOnlyWithoutACommandWord) {
    char* slots[kCliArgvSlots];
    char** used = nullptr;

    Argv plain({"corvantisd", "tick"});
    EXPECT_EQ(cli_default_command(plain.argc(), plain.argv(), slots, &used), 2);
    EXPECT_EQ(used, plain.argv());

    Argv help({"corvantisd", "--help"});
    cli_default_command(help.argc(), help.argv(), slots, &used);
    EXPECT_EQ(used, help.argv());

    Argv opt({"corvantisd", "--serial", "S"});
    EXPECT_EQ(cli_default_command(opt.argc(), opt.argv(), slots, &used), 4);
    EXPECT_STREQ(used[1], "probe-ui");
    EXPECT_STREQ(used[2], "--serial");
    EXPECT_EQ(used[4], nullptr);

    std::vector<std::string> many(69, "--json");
    many[0] = "corvantisd";
    Argv at_limit(many);
    EXPECT_EQ(cli_default_command(at_limit.argc(), at_limit.argv(), slots, &used), 70);
    EXPECT_EQ(used[70], nullptr);

    many.push_back("--json");
    Argv over(many);
    EXPECT_EQ(cli_default_command(over.argc(), over.argv(), slots, &used), 70);
    EXPECT_EQ(used, over.argv());
}

}  // namespace
