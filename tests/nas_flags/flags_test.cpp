// The flag listing line, the inventory lookup shared with flag-clear, and the
// error reply.
#include "nas_flags/flags.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "collector/discovery.h"
#include "collector/nas_conf.h"
#include "core/strbuf.h"
#include "tests/support/json_edit.h"

namespace {

const std::vector<DiskBrief> kInventory = {
    {"sda", "", "naa.5000C500A1B2C3D4"},
    {"sdb", "WD-WCC4N1234567", ""},
    {"sdc", "5000CCA0DEADBEEF", "naa.5000c500a1b2c3d4"},
    {"nvme0n1", "S4EWNX0R123456", "eui.0025385b71b0a1c2"},
};

std::string listing(const std::string& text, const std::vector<DiskBrief>& inventory = kInventory) {
    auto conf = std::make_unique<NasConf>();
    conf_parse_flags(text.data(), text.size(), conf.get());
    StrBuf out;
    flags_list_json("/mnt/HDA_ROOT/.conf", conf.get(), inventory.data(),
                    static_cast<int>(inventory.size()), &out);
    return out.c_str();
}

TEST(FlagsFindDisk, WwidBeforeSerialInInventoryOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"0x5000c500a1b2c3d4", "sda"},  // sdc has it too, later
        {"wd-wcc4n1234567", "sdb"},      {"5000cca0deadbeef", "sdc"},
        {"0025385B71B0A1C2", "nvme0n1"}, {"", "none"},  // empty fields never match
        {"5000c500a1b2c3d", "none"},     {nullptr, "none"},
    };
    for (const auto& [key, dev] : cases) {
        const DiskBrief* d = flags_find_disk(kInventory.data(), 4, key);
        EXPECT_EQ(std::string(d ? d->dev : "none"), dev) << (key ? key : "null");
    }
}

TEST(FlagsList, FlagsAndDeviceIdsJoinedToTheInventory) {
    EXPECT_EQ(listing(""),
              "{\"conf\":\"/mnt/HDA_ROOT/.conf\",\"readable\":true,\"flags\":[],\"devmap\":[]}\n");
    EXPECT_EQ(listing("[Storage]\r\n"
                      "pd_err_wwn_0x5000C500A1B2C3D4 = 1\r\n"
                      "pd_dev_wwn_naa.5000c500a1b2c3d4 = 3\r\n"
                      "pd_err_wwn_50014ee2b3c4d5e6 = \"x\"\\\x01\xc3\r\n"
                      "pd_dev_wwn_0025385b71b0a1c2 = 9\r\n"),
              "{\"conf\":\"/mnt/HDA_ROOT/.conf\",\"readable\":true,\"flags\":["
              "{\"wwn\":\"0x5000C500A1B2C3D4\",\"key\":\"pd_err_wwn_0x5000C500A1B2C3D4\","
              "\"value\":\"1\",\"dev_id\":\"3\",\"serial\":\"\",\"dev\":\"sda\"},"
              "{\"wwn\":\"50014ee2b3c4d5e6\",\"key\":\"pd_err_wwn_50014ee2b3c4d5e6\","
              "\"value\":\"\\\"x\\\"\\\\\\u0001?\",\"dev_id\":null,\"serial\":null,\"dev\":null}],"
              "\"devmap\":["
              "{\"wwn\":\"naa.5000c500a1b2c3d4\",\"dev_id\":\"3\",\"serial\":\"\",\"dev\":\"sda\"},"
              "{\"wwn\":\"0025385b71b0a1c2\",\"dev_id\":\"9\",\"serial\":\"S4EWNX0R123456\","
              "\"dev\":\"nvme0n1\"}]}\n");
}

std::string times(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

// A strict JSON reader takes the line whatever bytes the file holds: a long
// value is cut between characters, broken UTF-8 is shown as "?".
TEST(FlagsList, EveryLineIsValidUtf8AndJson) {
    const struct {
        std::string conf, value;
    } cases[] = {
        {"pd_err_wwn_5000c500a1b2c3d4 = " + times("é", 70) + "\n", times("é", 63)},
        {"pd_err_wwn_\xff\xc3 = \x80z\xed\xa0\x80\npd_dev_wwn_\xff\xc3 = \xf8\n", "?z???"},
    };
    for (const auto& c : cases) {
        const std::string line = listing(c.conf);
        EXPECT_TRUE(json_strict_text(line)) << line;
        EXPECT_NE(line.find("\"value\":\"" + c.value + "\""), std::string::npos) << line;
    }
}

TEST(FlagsList, UnreadableAndCrowdedFiles) {
    StrBuf out;
    flags_list_json("/x/\"odd\".conf", nullptr, kInventory.data(), 4, &out);
    EXPECT_STREQ(
        out.c_str(),
        "{\"conf\":\"/x/\\\"odd\\\".conf\",\"readable\":false,\"flags\":[],\"devmap\":[]}\n");
    // Thousands of flags: the listing holds the first 128 and stays one line.
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "pd_err_wwn_" + std::to_string(i) + " = 1\n";
    const std::string line = listing(text, {});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("\"wwn\":\"127\""), std::string::npos);
    EXPECT_EQ(line.find("\"wwn\":\"128\""), std::string::npos);
}

TEST(FlagsPrintError, OneLineWithOrWithoutDetail) {
    testing::internal::CaptureStdout();
    flags_print_error("conf_unreadable", "/a/\"b\"\n");
    flags_print_error("bad_wwn", nullptr);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"ok\":false,\"error\":\"conf_unreadable\",\"detail\":\"/a/\\\"b\\\"\\n\"}\n"
              "{\"ok\":false,\"error\":\"bad_wwn\"}\n");
}

}  // namespace
