#include "collector/smart_snapshot.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/smartctl.h"
#include "tests/support/fake_nas.h"
#include "tests/support/smartctl_samples.h"

namespace {

SmartSnapshot snap_of(const std::string& text, std::int64_t baseline = -1, int* rc = nullptr) {
    SmartSnapshot s;
    std::memset(&s, 0x5A, sizeof s);  // every field must be written, not left over
    const int r = smart_snap_from_json(text.data(), text.size(), baseline, &s);
    if (rc) *rc = r;
    return s;
}

SmartSnapshot cleared() {
    SmartSnapshot s;
    std::memset(&s, 0, sizeof s);
    s.selftest_passed = -1;
    return s;
}

bool is_cleared(const SmartSnapshot& s) {
    const SmartSnapshot c = cleared();
    return std::memcmp(&s, &c, sizeof s) == 0;
}

// What must hold for any reply, however broken.
void expect_sane(const SmartSnapshot& s, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_LT(strnlen(s.device_type, sizeof s.device_type), sizeof s.device_type);
    EXPECT_LT(strnlen(s.protocol, sizeof s.protocol), sizeof s.protocol);
    EXPECT_LT(strnlen(s.serial, sizeof s.serial), sizeof s.serial);
    EXPECT_LT(strnlen(s.model, sizeof s.model), sizeof s.model);
    EXPECT_LT(strnlen(s.wwn, sizeof s.wwn), sizeof s.wwn);
    EXPECT_LT(strnlen(s.selftest_type, sizeof s.selftest_type), sizeof s.selftest_type);
    EXPECT_LT(strnlen(s.selftest_status, sizeof s.selftest_status), sizeof s.selftest_status);
    EXPECT_TRUE(s.wwn[0] == '\0' || std::strlen(s.wwn) == 16) << s.wwn;
    EXPECT_GE(s.phy_count, 0);
    EXPECT_LE(s.phy_count, kSmartPhyMax);
    if (s.temp_present) {
        EXPECT_TRUE(s.temperature >= 1 && s.temperature <= 127) << s.temperature;
    } else {
        EXPECT_EQ(s.temperature, 0);
    }
    EXPECT_TRUE(s.temp_op_limit_max >= 0 && s.temp_op_limit_max <= 127);
    EXPECT_TRUE(s.temp_drive_trip >= 0 && s.temp_drive_trip <= 127);
    EXPECT_TRUE(s.selftest_passed >= -1 && s.selftest_passed <= 1);
    EXPECT_LE(s.errlog_unc_newer, s.errlog_unc);
    EXPECT_LE(s.errlog_icrc_newer, s.errlog_icrc);
    if (!s.parsed) {
        EXPECT_TRUE(is_cleared(s));
    }
}

void expect_selftest(const SmartSnapshot& s, int present, int passed, int value, const char* type,
                     const char* status, std::int64_t hours, int lba_present, std::int64_t lba) {
    EXPECT_EQ(s.selftest_present, present);
    EXPECT_EQ(s.selftest_passed, passed);
    EXPECT_EQ(s.selftest_status_value, value);
    EXPECT_STREQ(s.selftest_type, type);
    EXPECT_STREQ(s.selftest_status, status);
    EXPECT_EQ(s.selftest_hours, hours);
    EXPECT_EQ(s.selftest_lba_present, lba_present);
    EXPECT_EQ(s.selftest_lba, lba);
}

TEST(SmartSnapshot, NotAnObjectGivesTheClearedRecord) {
    const char* texts[] = {"", "[]", "   ", "123", "\"text\"", "{", "{\"a\":", "nul\x01", "[{}]"};
    for (const char* t : texts) {
        int rc = -1;
        const SmartSnapshot s = snap_of(t, -1, &rc);
        EXPECT_EQ(rc, 0) << t;
        EXPECT_TRUE(is_cleared(s)) << t;
    }
    SmartSnapshot s;
    std::memset(&s, 0x5A, sizeof s);
    EXPECT_EQ(smart_snap_from_json(nullptr, 10, -1, &s), 0);
    EXPECT_TRUE(is_cleared(s));
    EXPECT_EQ(smart_snap_from_json("{}", 0, -1, &s), 0);
    EXPECT_EQ(smart_snap_from_json("{}", 2, -1, nullptr), 0);

    int rc = -1;
    const SmartSnapshot empty = snap_of("{}", -1, &rc);
    EXPECT_EQ(rc, 1);
    SmartSnapshot want = cleared();
    want.parsed = 1;
    EXPECT_EQ(std::memcmp(&empty, &want, sizeof want), 0);
}

TEST(SmartSnapshot, TemperaturePrecedence) {
    struct Case {
        const char* json;
        int present;
        int temp;
    } cases[] = {
        {R"({"ata_smart_attributes":{"table":[{"id":190,"raw":{"value":35}},{"id":194,"raw":{"value":189979361320}}]}})",
         1, 40},  // 0x2C_0000_0028: the low byte of 194
        {R"({"ata_smart_attributes":{"table":[{"id":190,"raw":{"value":35}},{"id":194,"raw":{"value":40}}]},
             "temperature":{"current":41}})",
         1, 41},
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":40}},{"id":190,"raw":{"value":35}}]}})",
         1, 40},
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":40}},{"id":194,"raw":{"value":44}}]}})",
         1, 44},
        {R"({"ata_smart_attributes":{"table":[{"id":190,"raw":{"value":35}},{"id":190,"raw":{"value":36}}]}})",
         1, 35},
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":256}}]}})", 0,
         0},  // low byte 0
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":200}}]}})", 0,
         0},  // top bit set
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":-1}}]}})", 0, 0},
        {R"({"ata_smart_attributes":{"table":[{"id":194,"raw":{"value":127}}]},"temperature":{"current":0}})",
         1, 127},
        {R"({"temperature":{"current":128}})", 0, 0},
        {R"({"temperature":{"current":-5}})", 0, 0},
        {R"({"temperature":{"current":"40"}})", 0, 0},
        {R"({"temperature":{"current":1}})", 1, 1},
    };
    for (const Case& c : cases) {
        const SmartSnapshot s = snap_of(c.json);
        EXPECT_EQ(s.temp_present, c.present) << c.json;
        EXPECT_EQ(s.temperature, c.temp) << c.json;
    }
    const SmartSnapshot limits = snap_of(R"({"temperature":{"op_limit_max":70,"drive_trip":128}})");
    EXPECT_EQ(limits.temp_op_limit_max, 70);
    EXPECT_EQ(limits.temp_drive_trip, 0);
    EXPECT_EQ(limits.temp_present, 0);
}

TEST(SmartSnapshot, TrackedAttributes) {
    const SmartSnapshot s = snap_of(R"({"ata_smart_attributes":{"table":[
        {"id":5,"raw":{"value":12}},
        {"id":9,"raw":{"value":43000}},
        {"id":187,"raw":{"value":"7"}},
        {"id":188,"raw":{"value":8590065666}},
        {"id":197,"raw":{}},
        {"raw":{"value":3}},
        {"id":198,"raw":{"value":4}},
        {"id":199,"raw":{"value":5}},
        {"id":198,"raw":{"value":6}},
        "not an entry", 17, null, [1,2]
    ]}})");
    const std::array<int, 6> present = {1, 0, 1, 0, 1, 1};
    const std::array<std::int64_t, 6> raw = {12, 0, 8590065666, 0, 6, 5};  // a later 198 overwrites
    for (int k = 0; k < kSmartAttrSlots; ++k) {
        EXPECT_EQ(s.attr_present[k], present[static_cast<size_t>(k)]) << kSmartAttrIds[k];
        EXPECT_EQ(s.attr_raw[k], raw[static_cast<size_t>(k)]) << kSmartAttrIds[k];
    }
    EXPECT_EQ(
        snap_of(R"({"ata_smart_attributes":{"table":{"id":5,"raw":{"value":1}}}})").attr_present[0],
        0);
    EXPECT_EQ(snap_of(R"({"ata_smart_attributes":{"table":[]}})").attr_present[0], 0);
}

TEST(SmartSnapshot, PhyCountersKeepTheFirst48) {
    std::string t = R"({"sata_phy_event_counters":{"table":[{"id":"x","value":1},{"id":2},)";
    for (int i = 0; i < 60; ++i)
        t += (i ? "," : "") + std::string(R"({"id":)") + std::to_string(i + 1) + R"(,"value":)" +
             std::to_string(1000LL * 1000 * 1000 * 10 + i) + "}";
    t += "]}}";
    const SmartSnapshot s = snap_of(t);
    ASSERT_EQ(s.phy_count, 48);
    for (int i = 0; i < 48; ++i) {
        EXPECT_EQ(s.phy_id[i], static_cast<std::uint32_t>(i + 1));
        EXPECT_EQ(s.phy_value[i], 10000000000LL + i);
    }
    EXPECT_EQ(snap_of(R"({"sata_phy_event_counters":{"table":{}}})").phy_count, 0);
}

std::string error_log(const char* which, const std::string& entries, const char* count = "3") {
    return std::string(R"({"ata_smart_error_log":{")") + which + R"(":{"count":)" + count +
           R"(,"table":[)" + entries + "]}}}";
}

std::string reg_entry(int number, int reg) {
    return R"({"error_number":)" + std::to_string(number) + R"(,"completion_registers":{"error":)" +
           std::to_string(reg) + "}}";
}

TEST(SmartSnapshot, ErrorLogClassesAndBaseline) {
    const std::string unc3 =
        reg_entry(3, 0x40) + "," + reg_entry(9, 0x41) + "," + reg_entry(7, 0x40);
    const SmartSnapshot with_base = snap_of(error_log("summary", unc3), 7);
    EXPECT_EQ(with_base.errlog_present, 1);
    EXPECT_EQ(with_base.errlog_count, 3);
    EXPECT_EQ(with_base.errlog_unc, 3);
    EXPECT_EQ(with_base.errlog_unc_newer, 1);
    EXPECT_EQ(with_base.errlog_max_number, 9);
    EXPECT_EQ(snap_of(error_log("summary", unc3), -1).errlog_unc_newer, 0);

    struct Case {
        const char* name;
        std::string entries;
        std::int64_t unc, icrc, max;
    } cases[] = {
        {"both bits count as UNC", reg_entry(4, 0xC0), 1, 0, 4},
        {"ICRC bit", reg_entry(4, 0x84), 0, 1, 4},
        {"other bits: not counted but numbered", reg_entry(56, 0x10), 0, 0, 56},
        {"description UNC", R"({"error_number":5,"error_description":"Error: UNC 8 sectors"})", 1,
         0, 5},
        {"description ICRC", R"({"error_number":6,"error_description":"Error: ICRC, ABRT"})", 0, 1,
         6},
        {"description neither", R"({"error_number":6,"error_description":"Error: IDNF"})", 0, 0, 6},
        {"register wins over description",
         R"({"error_number":2,"completion_registers":{"error":132},"error_description":"UNC"})", 0,
         1, 2},
        {"no register, no description: ignored", R"({"error_number":90})", 0, 0, 0},
        {"register of the wrong type falls back to the description",
         R"({"error_number":8,"completion_registers":{"error":"64"},"error_description":"UNC"})", 1,
         0, 8},
        {"missing number counts as 0", R"({"completion_registers":{"error":64}})", 1, 0, 0},
        {"entries that are no objects", R"(1,"x",null,[64])", 0, 0, 0},
    };
    for (const Case& c : cases) {
        const SmartSnapshot s = snap_of(error_log("extended", c.entries), 0);
        EXPECT_EQ(s.errlog_unc, c.unc) << c.name;
        EXPECT_EQ(s.errlog_icrc, c.icrc) << c.name;
        EXPECT_EQ(s.errlog_max_number, c.max) << c.name;
    }
}

TEST(SmartSnapshot, ErrorLogExtendedBeforeSummary) {
    const SmartSnapshot both = snap_of(R"({"ata_smart_error_log":{
        "summary":{"count":50,"table":[{"error_number":50,"completion_registers":{"error":64}}]},
        "extended":{"count":2,"table":[{"error_number":2,"completion_registers":{"error":128}}]}}})");
    EXPECT_EQ(both.errlog_count, 2);
    EXPECT_EQ(both.errlog_icrc, 1);
    EXPECT_EQ(both.errlog_unc, 0);
    // An extended log of the wrong type still hides the summary: the path exists.
    const SmartSnapshot odd =
        snap_of(R"({"ata_smart_error_log":{"extended":7,"summary":{"count":50}}})");
    EXPECT_EQ(odd.errlog_present, 1);
    EXPECT_EQ(odd.errlog_count, 0);
    EXPECT_EQ(snap_of(R"({"ata_smart_error_log":{}})").errlog_present, 0);
}

TEST(SmartSnapshot, SelfTestEntries) {
    struct Case {
        const char* name;
        const char* json;
        int present, passed, value, lba_present;
        std::int64_t lba, hours;
        const char* type;
        const char* status;
    } cases[] = {
        {"ATA failed with LBA",
         R"({"ata_smart_self_test_log":{"standard":{"table":[
            {"type":{"string":"Short offline"},"status":{"value":121,"string":"Completed: read failure","passed":false},
             "lifetime_hours":16402,"lba":4945910830000},
            {"type":{"string":"older"},"status":{"value":0,"passed":true}}]}}})",
         1, 0, 121, 1, 4945910830000, 16402, "Short offline", "Completed: read failure"},
        {"ATA extended table wins",
         R"({"ata_smart_self_test_log":{"standard":{"table":[{"status":{"passed":false}}]},
             "extended":{"table":[{"status":{"value":0,"passed":true},"lifetime_hours":5}]}}})",
         1, 1, 0, 0, 0, 5, "", ""},
        {"ATA extended path present but empty: no fall back",
         R"({"ata_smart_self_test_log":{"standard":{"table":[{"status":{"passed":false}}]},
             "extended":{"table":[]}}})",
         0, -1, 0, 0, 0, 0, "", ""},
        {"ATA without a verdict",
         R"({"ata_smart_self_test_log":{"standard":{"table":[{"status":{"value":249}}]}}})", 1, -1,
         249, 0, 0, 0, "", ""},
        {"NVMe result 0 passes",
         R"({"nvme_self_test_log":{"table":[{"self_test_code":{"string":"Short"},
             "self_test_result":{"value":0,"string":"Completed without error"},"power_on_hours":77}]}})",
         1, 1, 0, 0, 0, 77, "Short", "Completed without error"},
        {"NVMe result 7 fails with LBA",
         R"({"nvme_self_test_log":{"table":[{"self_test_result":{"value":7},"lba":12345}]}})", 1, 0,
         7, 1, 12345, 0, "", ""},
        {"NVMe result 5", R"({"nvme_self_test_log":{"table":[{"self_test_result":{"value":5}}]}})",
         1, 0, 5, 0, 0, 0, "", ""},
        {"NVMe result past 32 bits judges nothing",
         R"({"nvme_self_test_log":{"table":[{"self_test_result":{"value":4294967301}}]}})", 1, -1,
         5, 0, 0, 0, "", ""},
        {"NVMe result 8 judges nothing",
         R"({"nvme_self_test_log":{"table":[{"self_test_result":{"value":8}}]}})", 1, -1, 8, 0, 0,
         0, "", ""},
        {"NVMe after ATA wins",
         R"({"ata_smart_self_test_log":{"standard":{"table":[{"status":{"passed":true},"lifetime_hours":3}]}},
             "nvme_self_test_log":{"table":[{"self_test_result":{"value":8},"power_on_hours":9}]}})",
         1, -1, 8, 0, 0, 9, "", ""},
        {"no table", R"({"nvme_self_test_log":{"current_self_test_operation":{"value":0}}})", 0, -1,
         0, 0, 0, 0, "", ""},
        {"entry of the wrong type", R"({"ata_smart_self_test_log":{"standard":{"table":["x"]}}})",
         1, -1, 0, 0, 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_selftest(snap_of(c.json), c.present, c.passed, c.value, c.type, c.status, c.hours,
                        c.lba_present, c.lba);
    }
}

TEST(SmartSnapshot, NvmeHealthAndDeviceType) {
    const SmartSnapshot typed = snap_of(R"({"device":{"type":"nvme","protocol":"NVMe"}})");
    EXPECT_EQ(typed.is_nvme, 1);
    EXPECT_EQ(typed.nvme_health_present, 0);
    EXPECT_EQ(snap_of(R"({"device":{"type":"nvme0"}})").is_nvme, 0);
    EXPECT_EQ(snap_of(R"({"device":{"type":"NVME"}})").is_nvme, 0);
    const SmartSnapshot log = snap_of(
        R"({"device":{"type":"sat"},"nvme_smart_health_information_log":{"media_errors":4294967301,"critical_warning":true}})");
    EXPECT_EQ(log.is_nvme, 1);
    EXPECT_EQ(log.nvme_health_present, 1);
    EXPECT_EQ(log.nvme_media_errors, 4294967301LL);
    EXPECT_EQ(log.nvme_err_log_entries, 0);
    EXPECT_EQ(log.nvme_critical_warning, 1);
    const SmartSnapshot odd = snap_of(R"({"nvme_smart_health_information_log":[1,2]})");
    EXPECT_EQ(odd.nvme_health_present, 1);
    EXPECT_EQ(odd.nvme_media_errors, 0);
}

TEST(SmartSnapshot, IdentityWwnAndExitStatus) {
    const SmartSnapshot s = snap_of(R"({"smartctl":{"exit_status":4294967300},
        "device":{"type":"sat+megaraid,1 and a much longer text","protocol":"ATA"},
        "serial_number":"WD-\u00e9WX1","model_name":"","scsi_model_name":"SEAGATE ST4000NM",
        "wwn":{"naa":21,"oui":4294967295,"id":-1},"power_on_time":{"hours":123456789012}})");
    EXPECT_EQ(s.parsed, 1);
    EXPECT_EQ(s.exit_status, 4);  // low 32 bits
    EXPECT_STREQ(s.device_type, "sat+megaraid,1 ");
    EXPECT_STREQ(s.protocol, "ATA");
    EXPECT_STREQ(s.serial, "WD-\\u00e9WX1");  // raw bytes, escapes kept
    EXPECT_STREQ(s.model, "SEAGATE ST4000NM");
    EXPECT_STREQ(s.wwn, "5fffffffffffffff");
    EXPECT_EQ(s.power_on_hours, 123456789012LL);

    struct Case {
        const char* json;
        const char* wwn;
    } wwns[] = {
        {R"({"wwn":{"naa":5,"oui":3274,"id":1234}})", "5000cca0000004d2"},
        {R"({"wwn":{"naa":5,"oui":3274}})", ""},
        {R"({"wwn":{"naa":5,"oui":"3274","id":1}})", ""},
        {R"({"wwn":{"naa":5,"oui":null,"id":1}})", ""},
        {R"({"wwn":[5,3274,1]})", ""},
    };
    for (const Case& c : wwns) EXPECT_STREQ(snap_of(c.json).wwn, c.wwn) << c.json;
    EXPECT_STREQ(snap_of(R"({"model_name":"A","scsi_model_name":"B"})").model, "A");
}

TEST(SmartSnapshot, EveryWrongTypeLeavesTheDefault) {
    // One path at a time holds a value of the wrong kind.
    const char* paths[][2] = {
        {"smartctl", R"({"smartctl":%})"},
        {"smartctl.exit_status", R"({"smartctl":{"exit_status":%}})"},
        {"device", R"({"device":%})"},
        {"serial_number", R"({"serial_number":%})"},
        {"wwn.id", R"({"wwn":{"naa":5,"oui":1,"id":%}})"},
        {"power_on_time", R"({"power_on_time":%})"},
        {"ata_smart_attributes", R"({"ata_smart_attributes":%})"},
        {"table", R"({"ata_smart_attributes":{"table":%}})"},
        {"raw", R"({"ata_smart_attributes":{"table":[{"id":5,"raw":%}]}})"},
        {"temperature", R"({"temperature":%})"},
        {"phy table", R"({"sata_phy_event_counters":{"table":%}})"},
        {"phy entry", R"({"sata_phy_event_counters":{"table":[%]}})"},
        {"error log", R"({"ata_smart_error_log":{"summary":%}})"},
        {"error table", R"({"ata_smart_error_log":{"summary":{"table":%}}})"},
        {"error entry", R"({"ata_smart_error_log":{"summary":{"table":[%]}}})"},
        {"self-test table", R"({"ata_smart_self_test_log":{"standard":{"table":%}}})"},
        {"self-test status",
         R"({"ata_smart_self_test_log":{"standard":{"table":[{"status":%}]}}})"},
        {"nvme self-test", R"({"nvme_self_test_log":{"table":[{"self_test_result":%}]}})"},
        {"nvme health", R"({"nvme_smart_health_information_log":{"media_errors":%}})"},
    };
    // Values that no accessor reads as the kind the path wants.
    const char* not_ints[] = {"null",   "\"text\"",           "[]", "{}",
                              "[[[]]]", R"({"a":{"b":[1]}})", "-",  "\"\""};
    // Bare words the integer conversion still reads (1, clamped, 0): only sanity holds.
    const char* odd_ints[] = {"1e999", "99999999999999999999999", "-99999999999999999999999", "tru",
                              "0x10"};
    for (const auto& p : paths) {
        for (const char* v : not_ints) {
            std::string t = p[1];
            t.replace(t.find('%'), 1, v);
            int rc = 0;
            const SmartSnapshot s = snap_of(t, 0, &rc);
            EXPECT_EQ(rc, 1) << t;
            expect_sane(s, t);
            EXPECT_EQ(
                s.attr_present[0] + s.phy_count + s.errlog_unc + s.errlog_icrc + s.temp_present, 0)
                << t;
            EXPECT_EQ(s.exit_status, 0) << t;
            EXPECT_EQ(s.power_on_hours, 0) << t;
            EXPECT_EQ(s.nvme_media_errors, 0) << t;
            EXPECT_NE(s.selftest_passed, 0) << t;
            if (std::strcmp(p[0], "serial_number") != 0) {
                EXPECT_STREQ(s.serial, "") << t;
            }
            EXPECT_STREQ(s.wwn, "") << t;
        }
        for (const char* v : odd_ints) {
            std::string t = p[1];
            t.replace(t.find('%'), 1, v);
            int rc = 0;
            expect_sane(snap_of(t, 0, &rc), t);
            EXPECT_EQ(rc, 1) << t;
        }
    }
    const SmartSnapshot clamped = snap_of(R"({"smartctl":{"exit_status":99999999999999999999}})");
    EXPECT_EQ(clamped.exit_status, -1);  // the low 32 bits of the clamped value
}

TEST(SmartSnapshot, LargerThanExpected) {
    // A table far beyond any drive's, and texts beyond their fields.
    std::string t = R"({"serial_number":")" + std::string(5000, 'S') + R"(","model_name":")" +
                    std::string(500, 'M') + R"(","ata_smart_attributes":{"table":[)";
    for (int i = 0; i < 100000; ++i) t += R"({"id":1,"raw":{"value":1}},)";
    t += R"({"id":5,"raw":{"value":99}}]}})";
    const SmartSnapshot s = snap_of(t);
    EXPECT_EQ(std::string(s.serial), std::string(79, 'S'));
    EXPECT_EQ(std::string(s.model), std::string(95, 'M'));
    EXPECT_EQ(s.attr_raw[0], 99);
    expect_sane(s, "large");
}

TEST(SmartctlExitStatus, ReadsOnlyTheRootKey) {
    struct Case {
        const char* json;
        int want;
    } cases[] = {
        {R"({"smartctl":{"exit_status":64}})", 64},
        {R"({"smartctl":{"version":[7,3],"exit_status":216}})", 216},
        {R"({"exit_status":4,"smartctl":{}})", 0},
        {R"({"smartctl":{"exit_status":"4"}})", 0},
        {R"({"smartctl":{"exit_status":null}})", 0},
        {R"({"smartctl":{"exit_status":true}})", 1},
        {R"({"smartctl":4})", 0},
        {R"({"device":{"smartctl":{"exit_status":4}}})", 0},
        {R"([{"smartctl":{"exit_status":4}}])", 0},
        {"   ", 0},
        {"7", 0},
    };
    for (const Case& c : cases) {
        int count = 0;
        const JsonTokens toks(json_parse(c.json, std::strlen(c.json), &count));
        ASSERT_TRUE(toks) << c.json;
        EXPECT_EQ(smartctl_exit_status(c.json, toks.get(), count), c.want) << c.json;
    }
    EXPECT_EQ(smartctl_exit_status("{}", nullptr, 0), 0);
}

TEST(SmartAttr188, LargestOfThreeCounters) {
    EXPECT_EQ(smart_attr188_value(0x000300050002ULL), 5);
    EXPECT_EQ(smart_attr188_value(0xFFFF000000000001ULL), 1);  // bits above 47 ignored
    EXPECT_EQ(smart_attr188_value(0x0000FFFF00000000ULL), 65535);
    EXPECT_EQ(smart_attr188_value(0), 0);
    EXPECT_EQ(smart_attr188_rose(0x000000000004ULL, 0x000100010001ULL), 0);
    EXPECT_EQ(smart_attr188_rose(0x000000000004ULL, 0x000500000000ULL), 1);
    EXPECT_EQ(smart_attr188_rose(0x000500000000ULL, 0x000000000004ULL), 0);
    EXPECT_EQ(smart_attr188_rose(7, 7), 0);
}

// Real replies of real drives; the expected values were read off each file.
constexpr std::int64_t kAbsent = INT64_MIN;  // the attribute table lacks the attribute
constexpr std::array<std::int64_t, 6> kNoAttrs = {kAbsent, kAbsent, kAbsent,
                                                  kAbsent, kAbsent, kAbsent};

struct Expect {
    const char* file;
    int exit_status;
    const char* device_type;
    const char* protocol;
    const char* serial;
    const char* model;
    const char* wwn;
    std::array<std::int64_t, 6> attrs;  // slots 5, 187, 188, 197, 198, 199
    struct {
        int present, value, op_limit_max, drive_trip;
    } temp;
    std::int64_t power_on_hours;
    struct {
        int present;
        std::int64_t count, max_number, unc, icrc;
    } errlog;
    struct {
        int present, passed, value;
        const char* type;
        const char* status;
        std::int64_t hours;
        int lba_present;
        std::int64_t lba;
    } selftest;
    struct {
        int is_nvme, present;
        std::int64_t media_errors, err_log_entries, critical_warning;
    } nvme;
};

const Expect kReal[] = {
    // ATA disk with reallocated, pending and offline-uncorrectable sectors.
    {.file = "ata-hdd-hgst-hus726060-realloc-pending-capabilities.json",
     .exit_status = 0,
     .device_type = "ata",
     .protocol = "ATA",
     .serial = "AR01234567890C",
     .model = "HGST HUS726060ALA640",
     .wwn = "5000cca0000004d2",
     .attrs = {1040, kAbsent, kAbsent, 878, 1272, 0},
     .temp = {1, 29, 0, 0},
     .power_on_hours = 43177,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // Failing disk behind a USB bridge: UNC error log, failed self-test with its LBA.
    {.file = "usb-jmicron-wd3200bevt-failing-exit216.json",
     .exit_status = 216,
     .device_type = "usbjmicron",
     .protocol = "ATA",
     .serial = "WD-WXE708D44602",
     .model = "WDC WD3200BEVT-60ZCT0",
     .wwn = "50014ee201cfb464",
     .attrs = {535, 84, 132, 1, 0, 0},
     .temp = {1, 27, 0, 0},
     .power_on_hours = 16402,
     .errlog = {1, 84, 84, 5, 0},
     .selftest = {1, 0, 121, "Short offline", "Completed: read failure", 16402, 1, 494591083},
     .nvme = {0, 0, 0, 0, 0}},
    // IDNF errors: numbered, but neither UNC nor ICRC.
    {.file = "ata-hdd-hitachi-hds721050-usbjmicron-failing-exit216.json",
     .exit_status = 216,
     .device_type = "usbjmicron",
     .protocol = "ATA",
     .serial = "MSK423Y20S3HBC",
     .model = "Hitachi HDS721050DLE630",
     .wwn = "5000cca37fca81a8",
     .attrs = {1975, kAbsent, kAbsent, 8, 0, 0},
     .temp = {1, 25, 0, 0},
     .power_on_hours = 65592,
     .errlog = {1, 56, 56, 0, 0},
     .selftest = {1, 1, 0, "Short offline", "Completed without error", 42, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // Interface CRC errors in the error log.
    {.file = "ata-hdd-hgst-hus724020-errorlog-exit64-redacted.json",
     .exit_status = 64,
     .device_type = "sat",
     .protocol = "ATA",
     .serial = "REDACTED",
     .model = "HGST HUS724020ALE640",
     .wwn = "5000cca0499602d2",
     .attrs = {0, kAbsent, kAbsent, 0, 0, 12},
     .temp = {1, 26, 0, 0},
     .power_on_hours = 83425,
     .errlog = {1, 12, 12, 0, 5},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // SSD with PHY counters, extended error and self-test logs.
    {.file = "ata-ssd-samsung-860evo-xall-phy-devstats.json",
     .exit_status = 0,
     .device_type = "sat",
     .protocol = "ATA",
     .serial = "S3YZNB0KB00864E",
     .model = "Samsung SSD 860 EVO 500GB",
     .wwn = "5002538e40a22954",
     .attrs = {0, 0, kAbsent, kAbsent, kAbsent, 0},
     .temp = {1, 36, 70, 0},
     .power_on_hours = 14551,
     .errlog = {1, 0, 0, 0, 0},
     .selftest = {1, 1, 0, "Short offline", "Completed without error", 14417, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // Extended error log with one ICRC entry, 34 PHY counters, a temperature limit.
    {.file = "usb-sunplus-samsung-hd204ui-xall-exit96.json",
     .exit_status = 96,
     .device_type = "usbsunplus",
     .protocol = "ATA",
     .serial = "S2H7J9FB203635",
     .model = "SAMSUNG HD204UI",
     .wwn = "50024e92049f21ca",
     .attrs = {0, kAbsent, kAbsent, 0, 0, 1},
     .temp = {1, 27, 80, 0},
     .power_on_hours = 3830,
     .errlog = {1, 1, 1, 0, 1},
     .selftest = {1, 1, 0, "Extended offline", "Completed without error", 3624, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // A temperature of 0 everywhere is no temperature; the limit still counts.
    {.file = "ata-ssd-micron-m4-xall-smartctl74-farm-unsupported.json",
     .exit_status = 0,
     .device_type = "sat",
     .protocol = "ATA",
     .serial = "123009116906",
     .model = "MTFDDAK128MAM-1J1",
     .wwn = "500a075109116906",
     .attrs = {0, 0, 0, 0, 0, 0},
     .temp = {0, 0, 70, 0},
     .power_on_hours = 4179,
     .errlog = {1, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // SAS: the model comes from scsi_model_name, no WWN object, a trip temperature.
    {.file = "scsi-sas-seagate-st18000nm004j-selftest-pending.json",
     .exit_status = 0,
     .device_type = "scsi",
     .protocol = "SCSI",
     .serial = "ZR51ZEKN0000C2061A1W",
     .model = "SEAGATE ST18000NM004J",
     .wwn = "",
     .attrs = kNoAttrs,
     .temp = {1, 33, 0, 60},
     .power_on_hours = 1249,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // NVMe with media errors.
    {.file = "nvme-samsung-970evo-xall.json",
     .exit_status = 0,
     .device_type = "nvme",
     .protocol = "NVMe",
     .serial = "S466NX0M776250H",
     .model = "Samsung SSD 970 EVO 500GB",
     .wwn = "",
     .attrs = kNoAttrs,
     .temp = {1, 35, 0, 0},
     .power_on_hours = 12798,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {1, 1, 7, 62, 0}},
    // NVMe with a critical warning.
    {.file = "nvme-samsung-mzwll3t2-critical-warning-exit8-redacted.json",
     .exit_status = 8,
     .device_type = "nvme",
     .protocol = "NVMe",
     .serial = "REDACTED",
     .model = "SAMSUNG MZWLL3T2HAJQ-00005",
     .wwn = "",
     .attrs = kNoAttrs,
     .temp = {1, 40, 0, 0},
     .power_on_hours = 18376,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {1, 1, 0, 0, 16}},
    // NVMe with an error-information log and a self-test log without entries.
    {.file = "nvme-sabrent-rocket4-errorlog-selftestlog.json",
     .exit_status = 0,
     .device_type = "nvme",
     .protocol = "NVMe",
     .serial = "6D1107091C9583054511",
     .model = "Sabrent Rocket 4.0 1TB",
     .wwn = "",
     .attrs = kNoAttrs,
     .temp = {1, 48, 0, 0},
     .power_on_hours = 8733,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {1, 1, 0, 4871, 0}},
    // The emulated SATA disk: temperature from attribute 190 and temperature.current alike.
    {.file = "emulated/smartctl-x-sata.json",
     .exit_status = 4,
     .device_type = "sat",
     .protocol = "ATA",
     .serial = "RIGSATA0001",
     .model = "RIG-SATA-HDD",
     .wwn = "5000c50000000001",
     .attrs = {0, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent},
     .temp = {1, 31, 0, 0},
     .power_on_hours = 1,
     .errlog = {1, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
    // No device at all.
    {.file = "nvme-open-permission-denied-exit2.json",
     .exit_status = 2,
     .device_type = "",
     .protocol = "",
     .serial = "",
     .model = "",
     .wwn = "",
     .attrs = kNoAttrs,
     .temp = {0, 0, 0, 0},
     .power_on_hours = 0,
     .errlog = {0, 0, 0, 0, 0},
     .selftest = {0, -1, 0, "", "", 0, 0, 0},
     .nvme = {0, 0, 0, 0, 0}},
};

TEST(SmartSnapshotReal, ValuesReadOffTheFiles) {
    for (const Expect& e : kReal) {
        SCOPED_TRACE(e.file);
        const std::string text = smartctl_sample(e.file);
        ASSERT_FALSE(text.empty());
        int rc = 0;
        const SmartSnapshot s = snap_of(text, -1, &rc);
        ASSERT_EQ(rc, 1);
        EXPECT_EQ(s.parsed, 1);
        EXPECT_EQ(s.exit_status, e.exit_status);
        EXPECT_STREQ(s.device_type, e.device_type);
        EXPECT_STREQ(s.protocol, e.protocol);
        EXPECT_STREQ(s.serial, e.serial);
        EXPECT_STREQ(s.model, e.model);
        EXPECT_STREQ(s.wwn, e.wwn);
        for (int k = 0; k < kSmartAttrSlots; ++k) {
            const std::int64_t want = e.attrs[static_cast<size_t>(k)];
            EXPECT_EQ(s.attr_present[k], want == kAbsent ? 0 : 1) << kSmartAttrIds[k];
            EXPECT_EQ(s.attr_raw[k], want == kAbsent ? 0 : want) << kSmartAttrIds[k];
        }
        EXPECT_EQ(s.temp_present, e.temp.present);
        EXPECT_EQ(s.temperature, e.temp.value);
        EXPECT_EQ(s.temp_op_limit_max, e.temp.op_limit_max);
        EXPECT_EQ(s.temp_drive_trip, e.temp.drive_trip);
        EXPECT_EQ(s.power_on_hours, e.power_on_hours);
        EXPECT_EQ(s.errlog_present, e.errlog.present);
        EXPECT_EQ(s.errlog_count, e.errlog.count);
        EXPECT_EQ(s.errlog_max_number, e.errlog.max_number);
        EXPECT_EQ(s.errlog_unc, e.errlog.unc);
        EXPECT_EQ(s.errlog_icrc, e.errlog.icrc);
        EXPECT_EQ(s.errlog_unc_newer + s.errlog_icrc_newer, 0);  // no baseline
        const auto& t = e.selftest;
        expect_selftest(s, t.present, t.passed, t.value, t.type, t.status, t.hours, t.lba_present,
                        t.lba);
        EXPECT_EQ(s.is_nvme, e.nvme.is_nvme);
        EXPECT_EQ(s.nvme_health_present, e.nvme.present);
        EXPECT_EQ(s.nvme_media_errors, e.nvme.media_errors);
        EXPECT_EQ(s.nvme_err_log_entries, e.nvme.err_log_entries);
        EXPECT_EQ(s.nvme_critical_warning, e.nvme.critical_warning);
    }
}

TEST(SmartSnapshotReal, PhyCountersInReplyOrder) {
    struct Case {
        const char* file;
        int count;
        std::vector<std::pair<std::uint32_t, std::int64_t>>
            nonzero;  // (id, value) of the counters above 0
        std::uint32_t last_id;
    } cases[] = {
        {"ata-ssd-samsung-860evo-xall-phy-devstats.json", 16, {{9, 8}, {10, 8}}, 19},
        {"usb-sunplus-samsung-hd204ui-xall-exit96.json", 34, {{9, 1}}, 36369},
        {"ata-ssd-ocz-vertex2-xall.json", 2, {{10, 9}}, 10},
        {"ata-ssd-micron-m4-xall-smartctl74-farm-unsupported.json", 2, {{10, 1}}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const SmartSnapshot s = snap_of(smartctl_sample(c.file));
        ASSERT_EQ(s.phy_count, c.count);
        EXPECT_EQ(s.phy_id[0], 1u);
        EXPECT_EQ(s.phy_id[c.count - 1], c.last_id);
        std::vector<std::pair<std::uint32_t, std::int64_t>> nonzero;
        for (int i = 0; i < s.phy_count; ++i)
            if (s.phy_value[i] != 0) nonzero.emplace_back(s.phy_id[i], s.phy_value[i]);
        EXPECT_EQ(nonzero, c.nonzero);
    }
}

TEST(SmartSnapshotReal, ErrorLogBaselineOverARealLog) {
    // Entries 12 down to 8, all ICRC: those above 9 are newer.
    const SmartSnapshot s =
        snap_of(smartctl_sample("ata-hdd-hgst-hus724020-errorlog-exit64-redacted.json"), 9);
    EXPECT_EQ(s.errlog_icrc, 5);
    EXPECT_EQ(s.errlog_icrc_newer, 3);
    EXPECT_EQ(s.errlog_unc_newer, 0);
    const SmartSnapshot same =
        snap_of(smartctl_sample("usb-jmicron-wd3200bevt-failing-exit216.json"), 84);
    EXPECT_EQ(same.errlog_unc, 5);
    EXPECT_EQ(same.errlog_unc_newer, 0);
}

TEST(SmartSnapshotReal, EverySampleParsesAndMutantsStaySane) {
    const std::vector<std::string> files = smartctl_sample_paths();
    ASSERT_GT(files.size(), 50u);
    std::mt19937 rng(5);
    for (const std::string& f : files) {
        const std::string text = read_file(f);
        int rc = 0;
        const SmartSnapshot s = snap_of(text, 0, &rc);
        EXPECT_EQ(rc, 1) << f;
        expect_sane(s, f);
        int count = 0;
        const JsonTokens toks(json_parse(text.data(), text.size(), &count));
        ASSERT_TRUE(toks) << f;
        EXPECT_EQ(smartctl_exit_status(text.data(), toks.get(), count), s.exit_status) << f;
        for (int round = 0; round < 40; ++round) {
            const std::string m = smartctl_sample_mutant(text, rng);
            // The reply is read in place: a text with no terminator of its own.
            std::vector<char> exact(m.begin(), m.end());
            SmartSnapshot ms;
            const int mrc = smart_snap_from_json(exact.data(), exact.size(), 3, &ms);
            EXPECT_TRUE(mrc == 0 || mrc == 1);
            expect_sane(ms, f + " mutant");
            if (::testing::Test::HasFailure()) return;
        }
    }
}

}  // namespace
