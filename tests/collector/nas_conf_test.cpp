// The NAS configuration reader: key lines, limits and hostile text, and the
// file at its real path inside a fake NAS.
#include "collector/nas_conf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/strbuf.h"
#include "core/util.h"
#include "tests/support/fake_nas.h"

namespace {

std::unique_ptr<NasConf> parse(const std::string& text) {
    auto conf = std::make_unique<NasConf>();
    std::memset(conf.get(), 0x5a, sizeof *conf);  // parse must zero what it does not fill
    conf_parse_flags(text.data(), text.size(), conf.get());
    return conf;
}

struct Entry {
    std::string key, wwn, value;
    int line;
};

void expect_entry(const NasConfEntry& got, const Entry& want) {
    EXPECT_EQ(std::string(got.key), want.key);
    EXPECT_EQ(std::string(got.wwn), want.wwn);
    EXPECT_EQ(std::string(got.value), want.value);
    EXPECT_EQ(got.line, want.line) << want.key;
}

TEST(IniSplitLine, KeyLinesAndTrimming) {
    struct Case {
        std::string line;
        int want;
        const char* key;
        const char* value;
    } cases[] = {
        {"  pd_err_wwn_5000c500a1b2c3d4 \t=  1\r", 1, "pd_err_wwn_5000c500a1b2c3d4", "1"},
        {"pd_dev_wwn_abc=dev3", 1, "pd_dev_wwn_abc", "dev3"},
        {"k = a=b = c", 1, "k", "a=b = c"},
        {"k =", 1, "k", ""},
        {"# k = v", 0, "# k", "v"},
        {"; k = v", 0, "; k", "v"},
        {"[Section = x]", 0, "[Section", "x]"},
        {"[Section]", 0, "", ""},
        {"no equals sign", 0, "", ""},
        {" = value only", 0, "", "value only"},
        {"", 0, "", ""},
        {"\xff\xfe = \x01\x02", 1, "\xff\xfe", "\x01\x02"},
    };
    for (const Case& c : cases) {
        char key[kNasKeySize] = "junk";
        char value[kNasValueSize] = "junk";
        EXPECT_EQ(
            ini_split_line(c.line.data(), c.line.size(), key, sizeof key, value, sizeof value),
            c.want)
            << c.line;
        EXPECT_STREQ(key, c.key) << c.line;
        EXPECT_STREQ(value, c.value) << c.line;
    }
    // Only len bytes count: the "=" past the length is not seen.
    char key[kNasKeySize];
    char value[kNasValueSize];
    EXPECT_EQ(ini_split_line("abc=def", 3, key, sizeof key, value, sizeof value), 0);
    EXPECT_EQ(ini_split_line("abc=def", 5, key, sizeof key, value, sizeof value), 1);
    EXPECT_STREQ(value, "d");
}

TEST(IniTrimCopy, CutsToTheField) {
    const char text[] = "  abcdef  ";
    char field[4] = "xyz";
    ini_trim_copy(text, text + std::strlen(text), field, sizeof field);
    EXPECT_STREQ(field, "abc");
    ini_trim_copy(text, text + 2, field, sizeof field);
    EXPECT_STREQ(field, "");
    ini_trim_copy(text, text + std::strlen(text), field, 1);
    EXPECT_STREQ(field, "");
    field[0] = 'q';
    ini_trim_copy(text, text + std::strlen(text), field, 0);
    EXPECT_EQ(field[0], 'q');
}

TEST(ConfParseFlags, FlagsAndDeviceMapInFileOrder) {
    const auto conf = parse(
        "[Storage]\r\n"
        "; the NAS's own comment\n"
        "   pd_err_wwn_5000c500a1b2c3d4   =   1\r\n"
        "#pd_err_wwn_commented = 1\n"
        ";pd_err_wwn_semicolon = 1\n"
        "\n"
        "pd_dev_wwn_5000C500A1B2C3D4=3\n"
        "PD_ERR_WWN_UPPER = 1\n"
        "pd_err_wwn_naa.5000cca012345678 = a=b\n"
        "line without equals pd_err_wwn_x\n"
        "other_key = 7\n"
        "pd_err_wwn_5000c500a1b2c3d4 = 2\n"
        "pd_dev_wwn_0x5000cca012345678 = 12\n"
        "pd_err_wwn_ = empty wwn");
    ASSERT_EQ(conf->flag_count, 4);
    expect_entry(conf->flags[0], {"pd_err_wwn_5000c500a1b2c3d4", "5000c500a1b2c3d4", "1", 3});
    expect_entry(conf->flags[1],
                 {"pd_err_wwn_naa.5000cca012345678", "naa.5000cca012345678", "a=b", 9});
    expect_entry(conf->flags[2], {"pd_err_wwn_5000c500a1b2c3d4", "5000c500a1b2c3d4", "2", 12});
    expect_entry(conf->flags[3], {"pd_err_wwn_", "", "empty wwn", 14});
    ASSERT_EQ(conf->devmap_count, 2);
    expect_entry(conf->devmap[0], {"pd_dev_wwn_5000C500A1B2C3D4", "5000C500A1B2C3D4", "3", 7});
    expect_entry(conf->devmap[1],
                 {"pd_dev_wwn_0x5000cca012345678", "0x5000cca012345678", "12", 13});
    // Untouched entries are zero.
    EXPECT_EQ(conf->flags[4].key[0], '\0');
    EXPECT_EQ(conf->flags[kNasMaxFlags - 1].line, 0);
    EXPECT_EQ(conf->devmap[2].line, 0);

    // Lookups ignore case, take the first duplicate and strip no prefix.
    const NasConfEntry* flag = conf_find_flag(conf.get(), "5000C500A1B2C3D4");
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(flag->line, 3);
    EXPECT_EQ(conf_find_flag(conf.get(), "upper"), nullptr);
    EXPECT_EQ(conf_find_flag(conf.get(), "5000cca012345678"), nullptr);
    EXPECT_NE(conf_find_flag(conf.get(), "NAA.5000CCA012345678"), nullptr);
    EXPECT_EQ(conf_find_flag(conf.get(), nullptr), nullptr);
    EXPECT_STREQ(conf_find_dev_id(conf.get(), "5000c500a1b2c3d4"), "3");
    EXPECT_STREQ(conf_find_dev_id(conf.get(), "0X5000CCA012345678"), "12");
    EXPECT_EQ(conf_find_dev_id(conf.get(), "naa.5000cca012345678"), nullptr);
    EXPECT_EQ(conf_find_dev_id(conf.get(), nullptr), nullptr);
}

TEST(ConfParseFlags, EmptyAndMissingTextGiveEmptyTables) {
    for (const std::string& text :
         {std::string(), std::string("\n\n\n"), std::string("[only]\n[sections]")}) {
        const auto conf = parse(text);
        EXPECT_EQ(conf->flag_count, 0);
        EXPECT_EQ(conf->devmap_count, 0);
        EXPECT_EQ(conf->flags[0].key[0], '\0');
    }
    NasConf conf;
    std::memset(&conf, 0x5a, sizeof conf);
    conf_parse_flags(nullptr, 0, &conf);
    EXPECT_EQ(conf.flag_count, 0);
    EXPECT_EQ(conf.devmap_count, 0);
    EXPECT_EQ(conf_find_flag(&conf, ""), nullptr);
}

TEST(ConfParseFlags, TablesStopAtTheirLimits) {
    std::string text = "# header\n\n";
    for (int i = 0; i < 300; ++i) text += "pd_err_wwn_" + std::to_string(i) + " = 1\n";
    for (int i = 0; i < 300; ++i)
        text += "pd_dev_wwn_" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    const auto conf = parse(text);
    ASSERT_EQ(conf->flag_count, kNasMaxFlags);
    EXPECT_STREQ(conf->flags[0].wwn, "0");
    EXPECT_EQ(conf->flags[0].line, 3);
    EXPECT_STREQ(conf->flags[127].wwn, "127");
    EXPECT_EQ(conf->flags[127].line, 130);
    EXPECT_EQ(conf_find_flag(conf.get(), "128"), nullptr);
    ASSERT_EQ(conf->devmap_count, kNasMaxDevmap);
    EXPECT_STREQ(conf->devmap[255].wwn, "255");
    EXPECT_EQ(conf->devmap[255].line, 2 + 300 + 256);
    EXPECT_EQ(conf_find_dev_id(conf.get(), "256"), nullptr);
}

TEST(ConfParseFlags, OverlongBinaryAndHugeText) {
    const std::string long_wwn(400, 'a');
    const std::string long_value(5000, 'v');
    std::string text = "pd_err_wwn_" + long_wwn + " = " + long_value + "\n";
    text += std::string("pd_err_wwn_bin\0ary = 1\n", 23);
    text += "pd_dev_wwn_\x80\xff = \x01\xfe\n";
    text += std::string(1 << 20, 'x') + "\n";  // one 1 MiB line without "="
    text += std::string(2 << 20, '\n');        // two million empty lines
    text += "pd_err_wwn_last = tail";          // no newline at the end
    const auto conf = parse(text);
    ASSERT_EQ(conf->flag_count, 3);
    EXPECT_EQ(std::strlen(conf->flags[0].key), kNasKeySize - 1);
    EXPECT_EQ(std::string(conf->flags[0].wwn), long_wwn.substr(0, kNasKeySize - 1 - 11));
    EXPECT_EQ(std::string(conf->flags[0].value), long_value.substr(0, kNasValueSize - 1));
    EXPECT_STREQ(conf->flags[1].wwn, "bin");
    expect_entry(conf->flags[2], {"pd_err_wwn_last", "last", "tail", 4 + (2 << 20) + 1});
    ASSERT_EQ(conf->devmap_count, 1);
    EXPECT_STREQ(conf->devmap[0].wwn, "\x80\xff");
    EXPECT_STREQ(conf->devmap[0].value, "\x01\xfe");
}

// The reader over the real file at the NAS's path, inside a fake NAS. The
// child prints what it read into a file the test then compares.
class NasConfE2E : public ::testing::Test {
   protected:
    void SetUp() override { REQUIRE_FAKE_NAS(); }

    // "unreadable", or one line per entry: "F|D <line> <wwn>=<value>".
    std::string read_in_nas() {
        const RunResult r = nas.run_function([](std::string& out) {
            StrBuf text;
            if (file_read_all(kNasConfPath, &text, 1048576) < 0) {
                out = "unreadable";
                return 0;
            }
            auto conf = std::make_unique<NasConf>();
            conf_parse_flags(text.data, text.len, conf.get());
            for (int i = 0; i < conf->flag_count; ++i)
                out += "F " + std::to_string(conf->flags[i].line) + " " + conf->flags[i].wwn + "=" +
                       conf->flags[i].value + "\n";
            for (int i = 0; i < conf->devmap_count; ++i)
                out += "D " + std::to_string(conf->devmap[i].line) + " " + conf->devmap[i].wwn +
                       "=" + conf->devmap[i].value + "\n";
            return 0;
        });
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return r.out;
    }

    FakeNas nas;
};

TEST_F(NasConfE2E, ReadsTheConfigurationAtTheNasPath) {
    nas.put_file("/mnt/HDA_ROOT/.conf",
                 "[System]\r\nServer Name = NAS01\r\n\r\n[Disk]\r\n"
                 "pd_dev_wwn_50014EE2B5A3C1D2 = 0x00000001\r\n"
                 "pd_err_wwn_50014EE2B5A3C1D2 = 1\r\n"
                 "pd_dev_wwn_5000c500a1b2c3d4 = 0x00000002\r\n");
    EXPECT_EQ(read_in_nas(),
              "F 6 50014EE2B5A3C1D2=1\n"
              "D 5 50014EE2B5A3C1D2=0x00000001\n"
              "D 7 5000c500a1b2c3d4=0x00000002\n");
}

TEST_F(NasConfE2E, MissingEmptyAndOversizedFiles) {
    EXPECT_EQ(read_in_nas(), "unreadable");
    nas.put_file("/mnt/HDA_ROOT/.conf", "");
    EXPECT_EQ(read_in_nas(), "");
    nas.put_file("/mnt/HDA_ROOT/.conf", "pd_err_wwn_a = 1\n" + std::string(1048576, '#'));
    EXPECT_EQ(read_in_nas(), "unreadable");
}

}  // namespace
