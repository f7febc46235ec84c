// The change-only readings store: what counts as a change, the names of
// flattened JSON subtrees, and real replies stored twice (the second time
// writes nothing).
#include "collector/readings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/smart_collect.h"
#include "core/json.h"
#include "tests/support/fake_collector.h"
#include "tests/support/fake_nas.h"
#include "tests/support/smartctl_samples.h"

namespace {

Reading raw_reading(long long raw, const char* flags = nullptr, bool has_norm = false) {
    Reading r{"ata", "Reallocated_Sector_Ct"};
    r.has_attr_id = true;
    r.attr_id = 5;
    r.has_raw = true;
    r.raw = raw;
    r.flags = flags;
    r.has_norm = has_norm;
    r.norm = 100;
    return r;
}

// Stores the whole reply text as one collection; the rows it wrote.
std::int64_t store_reply(const std::string& text, std::int64_t poll_id) {
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    if (!toks || count < 1 || toks[0].type != kJsonObject) return -1;
    g_rows_written = 0;
    smart_store_reply(1, poll_id, 100 + poll_id, text.c_str(), toks.get(), count);
    return g_rows_written;
}

TEST(Readings, OnlyAChangeWritesARow) {
    FakeCollector fc;
    const ReadingCtx ctx{1, 1, 100};
    struct Step {
        const char* what;
        Reading r;
        int written;
    } steps[] = {
        {"first value", raw_reading(3), 1},
        {"same again", raw_reading(3), 0},
        {"raw grew", raw_reading(4), 1},
        {"flags appear", raw_reading(4, "FAILING_NOW"), 1},
        {"flags gone", raw_reading(4, ""), 1},
        {"empty flags and absent flags are the same", raw_reading(4, nullptr), 0},
        {"a normalised value appears", raw_reading(4, nullptr, true), 1},
        {"attr_id alone is no change",
         [] {
             Reading r = raw_reading(4, nullptr, true);
             r.attr_id = 77;
             return r;
         }(),
         0},
        {"raw becomes absent",
         [] {
             Reading r = raw_reading(4, nullptr, true);
             r.has_raw = false;
             return r;
         }(),
         1},
    };
    g_rows_written = 0;
    int expected_rows = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(reading_store(ctx, s.r), s.written) << s.what;
        expected_rows += s.written;
    }
    EXPECT_EQ(g_rows_written, expected_rows);
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings"), std::to_string(expected_rows));
    EXPECT_EQ(fc.rows("SELECT attr_id,value_norm,value_raw,flags FROM readings_latest"),
              std::vector<std::string>{"5|100|NULL|NULL"});
}

TEST(Readings, FlattenedSubtreesAreNamedByTheirPath) {
    FakeCollector fc;
    const std::string text =
        R"({"log":{"a":1,"list":[7,{"b":true,"c":"text","d":null}],"e":-3,"f":12.5}})";
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    reading_store_json_tree({1, 1, 100}, text.c_str(), toks.get(), count, 2, "log", "scsi");
    EXPECT_EQ(fc.rows("SELECT attr_name,value_raw FROM readings ORDER BY id"),
              (std::vector<std::string>{"log.a|1", "log.list[0]|7", "log.list[1].b|1", "log.e|-3",
                                        "log.f|12"}));
}

// A hostile reply nested far deeper than any real one: no crash, the
// shallow values are still stored.
TEST(Readings, DeepNestingIsPassedOver) {
    FakeCollector fc;
    std::string text = R"({"top":5,"deep":)";
    for (int i = 0; i < 100000; ++i) text += "[";
    text += "1";
    for (int i = 0; i < 100000; ++i) text += "]";
    text += R"(,"after":6})";
    int count = 0;
    const JsonTokens toks(json_parse(text.data(), text.size(), &count));
    ASSERT_TRUE(toks);
    reading_store_json_tree({1, 1, 100}, text.c_str(), toks.get(), count, 0, "", "nvme");
    EXPECT_EQ(fc.rows("SELECT attr_name,value_raw FROM readings ORDER BY id"),
              (std::vector<std::string>{"top|5", "after|6"}));
}

// Several entries of one real reply share a name: the later ones are kept
// apart by their id, so every attribute has a reading of its own.
TEST(Readings, RepeatedAttributeNamesGetTheirId) {
    FakeCollector fc;
    ASSERT_GT(store_reply(smartctl_sample("ata-ssd-kingston-sa400-exit4-redacted.json"), 1), 0);
    const std::vector<std::string> names = fc.rows(
        "SELECT attr_name FROM readings_latest WHERE ns='ata' AND attr_name LIKE 'Unknown_Attr%' "
        "ORDER BY attr_id");
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[0], "Unknown_Attribute");
    EXPECT_EQ(names[1], "Unknown_Attribute#" +
                            fc.value("SELECT attr_id FROM readings_latest WHERE attr_name='" +
                                     names[1] + "'"));
    EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings_latest WHERE ns='ata'"),
              fc.value("SELECT COUNT(DISTINCT attr_id) FROM readings_latest WHERE ns='ata'"));
}

// Every recorded reply of a real drive, stored twice: the second time
// writes no row at all, in any namespace.
TEST(Readings, AnUnchangedReplyWritesNothing) {
    for (const std::string& path : smartctl_sample_paths()) {
        FakeCollector fc;
        const std::string text = read_file(path);
        const std::int64_t first = store_reply(text, 1);
        if (first < 0) continue;
        EXPECT_EQ(store_reply(text, 2), 0) << path;
        EXPECT_EQ(fc.value("SELECT COUNT(*) FROM readings"), std::to_string(first)) << path;
    }
}

}  // namespace
