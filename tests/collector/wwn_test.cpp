// The one way WWNs from the NAS configuration, sysfs and smartctl are compared.
#include "collector/wwn.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WwnStripPrefix, BlanksOnePrefixTrailingSpaceAndSmallFields) {
    struct Case {
        const char* in;
        std::size_t size;
        const char* want;
    } cases[] = {
        {"naa.5000C500ABCD1234", 128, "5000C500ABCD1234"},
        {" \tEUI.0025385b71b0a1c2 \r\n", 128, "0025385b71b0a1c2"},
        {"t10.ATA     WDC", 128, "ATA     WDC"},
        {"0X5000cca0", 128, "5000cca0"},
        {"naa.0x5000", 128, "0x5000"},      // one prefix only
        {"\nnaa.5000", 128, "\nnaa.5000"},  // a newline is no blank
        {"naa.", 128, ""},
        {"naa.5000c500", 6, "5000c"},
        {"naa.5000 c500", 6, "5000"},  // a cut that ends in a blank is trimmed
        {"naa.5000", 1, ""},
        {nullptr, 6, ""},
    };
    for (const Case& c : cases) {
        char out[128] = "junk";
        wwn_strip_prefix_checked(c.in, out, c.size);
        EXPECT_EQ(std::string(out), c.want) << (c.in ? c.in : "null") << " in " << c.size;
    }
    char out[2] = "x";
    wwn_strip_prefix("naa.5000", out, 0);
    EXPECT_STREQ(out, "x");
}

TEST(WwnEqual, PrefixesAndCaseIgnoredWholeTextCompared) {
    const std::string long_a = "naa." + std::string(200, 'a') + "1";
    struct Case {
        std::string a, b;
        int want;
    } cases[] = {
        {"0x5000C500ABCD1234", "naa.5000c500abcd1234", 1},
        {"5000c500abcd1234", "EUI.5000C500ABCD1234 ", 1},
        {"5000c500abcd1234", "5000c500abcd12340", 0},
        {"naa.", "0x", 0},
        {"naa.0x12", "12", 0},
        // Beyond 127 bytes the texts still count to their end.
        {long_a, "0x" + std::string(200, 'A') + "2", 0},
        {long_a, "NAA." + std::string(200, 'A') + "1", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wwn_equal(c.a.c_str(), c.b.c_str()), c.want) << c.a << " / " << c.b;
        EXPECT_EQ(wwn_equal(c.b.c_str(), c.a.c_str()), c.want) << c.b << " / " << c.a;
    }
    EXPECT_EQ(wwn_equal(nullptr, "5000"), 0);
}

}  // namespace
