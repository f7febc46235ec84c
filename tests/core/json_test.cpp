#include "core/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fake_nas.h"
#include "tests/support/smartctl_samples.h"

namespace {

struct Parsed {
    explicit Parsed(std::string t) : text(std::move(t)) {
        toks.reset(json_parse(text.data(), text.size(), &count));
    }
    bool ok() const { return toks != nullptr; }
    std::string text;
    JsonTokens toks;
    int count = 0;
};

std::string raw(const Parsed& p, int i) {
    char field[256];
    json_tok_copy(p.text.c_str(), &p.toks[i], field, sizeof field);
    return field;
}

TEST(JsonParse, AcceptsAndRejectsByTheGrammar) {
    struct Case {
        std::string text;
        bool ok;
        int count;
    } cases[] = {
        {"", true, 0},
        {" \t\r\n ", true, 0},
        {"123", true, 1},
        {"[1,2", false, 0},
        {"[1,2]]", false, 0},
        {"]", false, 0},
        {"{]", false, 0},
        {"{1:2}", false, 0},
        {"{\"a\":1 2}", false, 0},
        {"{\"a\":1,\"b\":[true,false,null],\"c\":{\"d\":\"e\"}}", true, 12},
        {"\"tab\there\"", true, 1},
        {"\"end\\\"", false, 0},
        {"\"\\u12G4\"", false, 0},
        {"\"\\u00e9 \\/ \\b\\f\\n\\r\\t \\\\ \\\"\"", true, 1},
        {"\"\\x\"", false, 0},
        {"\"open", false, 0},
        {"\"", false, 0},
        {"\xC3", false, 0},
        {"\"\xC3\xA9\"", true, 1},
        {"1 2 [3]", true, 4},
        {"tru nul 1.2.3 -", true, 4},
        {"[1\x01]", false, 0},
        {"[+1]", false, 0},
        {"[.5]", false, 0},
        {"{\"a\":1}x", false, 0},
        {"\v", false, 0},
        // A key left without its value would send the walks past the tokens.
        {"{\"a\":1,\"b\"}", false, 0},
        {"{\"a\"}", false, 0},
        {"{{}}", false, 0},
        {"{\"a\":\"b\" \"c\"}", false, 0},
        {"[1:2]", false, 0},
        {"[\"a\":1]", false, 0},
    };
    for (const Case& c : cases) {
        Parsed p(c.text);
        EXPECT_EQ(p.ok(), c.ok) << c.text;
        if (p.ok()) {
            EXPECT_EQ(p.count, c.count) << c.text;
        }
    }
    // A zero byte ends the text like its end.
    const char with_nul[] = "[1]\0]]]";
    int count = 0;
    JsonTokens t(json_parse(with_nul, sizeof with_nul - 1, &count));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(count, 2);
}

TEST(JsonParse, TokensCoverTheRawBytes) {
    Parsed p("{\"k\\\"ey\": [ -12 , \"v\\n\" ], \"o\":{}}");
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(p.count, 7);
    EXPECT_EQ(p.toks[0].type, kJsonObject);
    EXPECT_EQ(p.toks[0].start, 0);
    EXPECT_EQ(p.toks[0].end, static_cast<int>(p.text.size()));
    EXPECT_EQ(p.toks[0].size, 2);
    EXPECT_EQ(raw(p, 1), "k\\\"ey");
    EXPECT_EQ(p.toks[1].size, 1);
    EXPECT_EQ(p.toks[2].type, kJsonArray);
    EXPECT_EQ(p.toks[2].size, 2);
    EXPECT_EQ(raw(p, 3), "-12");
    EXPECT_EQ(raw(p, 4), "v\\n");
    EXPECT_EQ(p.toks[6].type, kJsonObject);
    EXPECT_EQ(p.toks[6].size, 0);
}

TEST(JsonParse, GrowsItsTokenArrayAndStopsAtTheLimit) {
    std::string big = "[";
    for (int i = 0; i < 4999; ++i) big += i ? ",1" : "1";
    big += "]";
    Parsed p(big);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.count, 5000);
    EXPECT_EQ(p.toks[0].size, 4999);

    std::string deep(200000, '[');
    deep += std::string(200000, ']');
    Parsed d(deep);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.count, 200000);

    std::string too_many = "[";
    too_many.reserve(2 * (1 << 21) + 8);
    for (int i = 0; i < (1 << 21); ++i) too_many += "0,";
    too_many += "0]";
    EXPECT_FALSE(Parsed(too_many).ok());
}

TEST(JsonAccessors, PathsKeysAndArrays) {
    Parsed p(
        "{\"a\":{\"b\":7,\"s\":\"txt\"},\"arr\":[10,[1,2],30],\"t\":true,\"f\":false,\"n\":null,"
        "\"neg\":-12,\"frac\":12.5,\"exp\":1e3,\"big\":9007199254740993,\"word\":tru,"
        "\"str\":\"5\",\"a.b\":1}");
    ASSERT_TRUE(p.ok());
    const char* t = p.text.c_str();
    const JsonTok* k = p.toks.get();

    const int b = json_path_get(t, k, 0, "a.b");
    ASSERT_GE(b, 0);
    EXPECT_EQ(raw(p, b), "7");
    EXPECT_EQ(json_path_get(t, k, 0, "a.b."), b);
    EXPECT_EQ(json_path_get(t, k, 0, ""), 0);
    EXPECT_EQ(json_path_get(t, k, -1, "a"), -1);
    EXPECT_EQ(json_path_get(t, k, 0, "a.x"), -1);
    EXPECT_EQ(json_path_get(t, k, 0, std::string(96, 'a').c_str()), -1);
    EXPECT_EQ(json_obj_get(t, k, 0, "A"), -1) << "keys are case-sensitive";
    EXPECT_EQ(json_obj_get(t, k, b, "x"), -1) << "not an object";

    struct IntCase {
        const char* path;
        int ok;
        std::int64_t value;
    } ints[] = {{"t", 1, 1},     {"f", 1, 0},      {"n", 0, 0},   {"neg", 1, -12},
                {"frac", 1, 12}, {"exp", 1, 1},    {"str", 0, 0}, {"big", 1, 9007199254740993LL},
                {"word", 1, 1},  {"missing", 0, 0}};
    for (const IntCase& c : ints) {
        std::int64_t v = -99;
        EXPECT_EQ(json_path_int(t, k, 0, c.path, &v), c.ok) << c.path;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.path;
        }
    }

    char field[4];
    EXPECT_EQ(json_path_str(t, k, 0, "a.s", field, sizeof field), 1);
    EXPECT_STREQ(field, "txt");
    EXPECT_EQ(json_path_str(t, k, 0, "a.b", field, sizeof field), 0);
    char small[3];
    EXPECT_EQ(json_path_str(t, k, 0, "a.s", small, sizeof small), 1);
    EXPECT_STREQ(small, "tx");

    const int arr = json_path_get(t, k, 0, "arr");
    EXPECT_EQ(raw(p, json_array_get(k, arr, 2)), "30");
    EXPECT_EQ(json_array_get(k, arr, 3), -1);
    EXPECT_EQ(json_array_get(k, arr, -1), -1);
    EXPECT_EQ(json_array_get(k, 0, 0), -1) << "not an array";
    const int inner = json_array_get(k, arr, 1);
    EXPECT_EQ(raw(p, json_array_get(k, inner, 1)), "2");
    EXPECT_EQ(json_tok_skip(k, arr), json_path_get(t, k, 0, "t") - 1);
}

// Every accessor over every token of a document: nothing may read outside the
// token array, whatever the document looked like.
void walk_everything(const Parsed& p) {
    const char* t = p.text.c_str();
    for (int i = 0; i < p.count; ++i) {
        const int next = json_tok_skip(p.toks.get(), i);
        ASSERT_LE(next, p.count);
        std::int64_t v;
        json_tok_int(t, &p.toks[i], &v);
        json_obj_get(t, p.toks.get(), i, "smartctl");
        json_path_get(t, p.toks.get(), i, "smartctl.exit_status");
        json_array_get(p.toks.get(), i, 0);
        json_array_get(p.toks.get(), i, p.toks[i].size - 1);
    }
}

TEST(JsonRobustness, RealRepliesParseAndMutantsStayInBounds) {
    const std::vector<std::string> files = smartctl_sample_paths();
    ASSERT_GT(files.size(), 30u);
    std::mt19937 rng(20261207);
    for (const std::string& f : files) {
        const std::string text = read_file(f);
        Parsed whole(text);
        ASSERT_TRUE(whole.ok()) << f;
        walk_everything(whole);
        for (int round = 0; round < 60; ++round) {
            Parsed p(smartctl_sample_mutant(text, rng));
            if (p.ok()) walk_everything(p);
        }
    }
}

}  // namespace
