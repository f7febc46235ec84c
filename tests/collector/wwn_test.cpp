// The one way WWNs from the NAS configuration, sysfs and smartctl are compared.
#include "collector/wwn.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WwnStripPrefix, BlanksOnePrefixAndTrailingSpace) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {"naa.5000C500ABCD1234", "5000C500ABCD1234"},
        {" \tEUI.0025385b71b0a1c2", "0025385b71b0a1c2"},
        {"t10.ATA     WDC WD40", "ATA     WDC WD40"},
        {"0X5000cca0", "5000cca0"},
        // One prefix only, tried in order: "naa." first, then the rest stays.
        {"naa.0x5000", "0x5000"},
        {"0xnaa.5000", "naa.5000"},
        {"5000c500 \r\n", "5000c500"},
        {"naa.", ""},
        {"   ", ""},
        {"", ""},
        // Leading newlines are not blanks: nothing is stripped after them.
        {"\nnaa.5000", "\nnaa.5000"},
    };
    for (const Case& c : cases) {
        char out[128] = "junk";
        wwn_strip_prefix(c.in, out, sizeof out);
        EXPECT_EQ(std::string(out), c.want) << c.in;
    }
}

TEST(WwnStripPrefix, SmallFieldsAndNull) {
    char out[6] = "junk";
    // Cut to five bytes, and a cut that ends in a blank is trimmed again.
    wwn_strip_prefix("naa.5000c500", out, sizeof out);
    EXPECT_STREQ(out, "5000c");
    wwn_strip_prefix("naa.5000 c500", out, sizeof out);
    EXPECT_STREQ(out, "5000");
    wwn_strip_prefix("naa.5000", out, 1);
    EXPECT_STREQ(out, "");
    out[0] = 'x';
    wwn_strip_prefix("naa.5000", out, 0);
    EXPECT_EQ(out[0], 'x');
    wwn_strip_prefix_checked(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
    out[0] = 'x';
    wwn_strip_prefix_checked(nullptr, out, 0);
    EXPECT_EQ(out[0], 'x');
}

TEST(WwnEqual, PrefixesAndCaseIgnoredWholeTextCompared) {
    const std::string long_a = "naa." + std::string(200, 'a') + "1";
    const std::string long_b = "0x" + std::string(200, 'A') + "2";
    struct Case {
        std::string a, b;
        int want;
    } cases[] = {
        {"0x5000C500ABCD1234", "naa.5000c500abcd1234", 1},
        {"5000c500abcd1234", "EUI.5000C500ABCD1234 ", 1},
        {"5000c500abcd1234", "5000c500abcd1235", 0},
        {"5000c500abcd1234", "5000c500abcd12340", 0},
        {"naa.", "0x", 0},
        {"", "", 0},
        {"naa.0x12", "12", 0},
        // Over 127 bytes the texts still differ at the end.
        {long_a, long_b, 0},
        {long_a, "NAA." + std::string(200, 'A') + "1", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wwn_equal(c.a.c_str(), c.b.c_str()), c.want) << c.a << " / " << c.b;
        EXPECT_EQ(wwn_equal(c.b.c_str(), c.a.c_str()), c.want) << c.b << " / " << c.a;
    }
    EXPECT_EQ(wwn_equal(nullptr, "5000"), 0);
    EXPECT_EQ(wwn_equal("5000", nullptr), 0);
}

}  // namespace
