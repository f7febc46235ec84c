// Sense data: fixed and descriptor formats, read only within the bytes written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "surface_test/dev_io.h"
#include "tests/support/fake_ioctl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Parses len bytes held in an allocation of exactly that size, so that the
// sanitizer reports any read past them.
SenseInfo parse_exact(const Bytes& bytes, std::size_t len) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[len]);
    if (len > 0) std::memcpy(exact.get(), bytes.data(), std::min(len, bytes.size()));
    SenseInfo out;
    std::memset(&out, 0x5A, sizeof out);
    dev_sense_parse(exact.get(), len, &out);
    return out;
}

struct Want {
    int parsed, key, asc, ascq, info_valid;
    std::uint64_t info;
};

void expect_sense(const SenseInfo& got, const Want& want, const char* name) {
    EXPECT_EQ(got.parsed, want.parsed) << name;
    EXPECT_EQ(got.key, want.key) << name;
    EXPECT_EQ(got.asc, want.asc) << name;
    EXPECT_EQ(got.ascq, want.ascq) << name;
    EXPECT_EQ(got.info_valid, want.info_valid) << name;
    EXPECT_EQ(got.info, want.info) << name;
}

// A SAS drive's medium error with VALID and the failing LBA.
const Bytes kFixed = {0xF0, 0x00, 0x03, 0x2F, 0x1C, 0x4A, 0x0A, 0x0A, 0x00,
                      0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x80, 0x00, 0x02};

TEST(DevSenseParse, FixedFormatReadsOnlyWhatWasWritten) {
    const struct {
        const char* name;
        std::size_t len;
        Want want;
    } cases[] = {
        {"nothing", 0, {0, 0, -1, -1, 0, 0}},
        {"one byte", 1, {0, 0, -1, -1, 0, 0}},
        {"two bytes", 2, {0, 0, -1, -1, 0, 0}},
        {"key only", 3, {1, 3, -1, -1, 0, 0}},
        {"information cut short", 6, {1, 3, -1, -1, 0, 0}},
        {"information", 7, {1, 3, -1, -1, 1, 0x2F1C4A0A}},
        {"no ASC yet", 12, {1, 3, -1, -1, 1, 0x2F1C4A0A}},
        {"ASC without ASCQ", 13, {1, 3, 0x11, -1, 1, 0x2F1C4A0A}},
        {"ASC and ASCQ", 14, {1, 3, 0x11, 0x00, 1, 0x2F1C4A0A}},
        {"whole", 18, {1, 3, 0x11, 0x00, 1, 0x2F1C4A0A}},
    };
    for (const auto& c : cases) expect_sense(parse_exact(kFixed, c.len), c.want, c.name);

    Bytes deferred_not_valid = kFixed;
    deferred_not_valid[0] = 0x71;
    expect_sense(parse_exact(deferred_not_valid, 18), {1, 3, 0x11, 0x00, 0, 0},
                 "deferred, not valid");
    Bytes key_high_bits = kFixed;
    key_high_bits[2] = 0xE6;  // filemark, EOM and ILI bits around unit attention
    expect_sense(parse_exact(key_high_bits, 18), {1, 6, 0x11, 0x00, 1, 0x2F1C4A0A}, "flag bits");
}

Bytes descriptor_header(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                        std::uint8_t add_len) {
    return {0x72, key, asc, ascq, 0, 0, 0, add_len};
}

void append(Bytes* to, const Bytes& more) {
    to->insert(to->end(), more.begin(), more.end());
}

Bytes info_descriptor(std::uint64_t lba, bool valid = true) {
    Bytes d = {0x00, 0x0A, static_cast<std::uint8_t>(valid ? 0x80 : 0x00), 0x00};
    for (int i = 7; i >= 0; --i) d.push_back(static_cast<std::uint8_t>(lba >> (8 * i)));
    return d;
}

// The ATA status return descriptor that libata adds to pass-through errors.
const Bytes kAtaReturn = {0x09, 0x0C, 0x00, 0x40, 0x00, 0x01, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x51};

TEST(DevSenseParse, DescriptorFormatWalksWithinWrittenAndClaimedBytes) {
    Bytes one_info = descriptor_header(3, 0x11, 0x04, 12);
    append(&one_info, info_descriptor(0x1D1C0BE40ULL));

    Bytes claims_more = one_info;
    claims_more[7] = 0x60;

    Bytes claims_less = one_info;
    claims_less[7] = 11;  // ends one byte before the descriptor does

    Bytes header_only = one_info;
    header_only[7] = 1;

    Bytes overlong_first = descriptor_header(3, 0x11, 0x04, 26);
    append(&overlong_first, {0x09, 0xFF});
    append(&overlong_first, Bytes(10, 0));
    append(&overlong_first, info_descriptor(42));

    Bytes ata_then_info = descriptor_header(3, 0x11, 0x04, 26);
    append(&ata_then_info, kAtaReturn);
    append(&ata_then_info, info_descriptor(0x12345678));

    Bytes two_infos = descriptor_header(3, 0x11, 0x04, 24);
    append(&two_infos, info_descriptor(1000));
    append(&two_infos, info_descriptor(2000));

    Bytes not_valid = descriptor_header(3, 0x11, 0x04, 12);
    append(&not_valid, info_descriptor(77, false));

    Bytes info_too_short = descriptor_header(3, 0x11, 0x04, 11);
    append(&info_too_short, {0x00, 0x09, 0x80, 0x00, 0, 0, 0, 0, 0, 0, 0});

    Bytes valid_bit_in_code = one_info;
    valid_bit_in_code[0] = 0xF2;
    Bytes deferred = one_info;
    deferred[0] = 0x73;

    const struct {
        const char* name;
        const Bytes& bytes;
        std::size_t len;
        Want want;
    } cases[] = {
        {"three bytes", one_info, 3, {0, 0, -1, -1, 0, 0}},
        {"header start", one_info, 4, {1, 3, 0x11, 0x04, 0, 0}},
        {"header cut", one_info, 7, {1, 3, 0x11, 0x04, 0, 0}},
        {"descriptor cut short", one_info, 19, {1, 3, 0x11, 0x04, 0, 0}},
        {"whole", one_info, 20, {1, 3, 0x11, 0x04, 1, 0x1D1C0BE40ULL}},
        {"claims more than written", claims_more, 20, {1, 3, 0x11, 0x04, 1, 0x1D1C0BE40ULL}},
        {"claims more, cut", claims_more, 19, {1, 3, 0x11, 0x04, 0, 0}},
        {"claims less than the descriptor", claims_less, 20, {1, 3, 0x11, 0x04, 0, 0}},
        {"claims one byte", header_only, 20, {1, 3, 0x11, 0x04, 0, 0}},
        {"first descriptor runs past the end",
         overlong_first,
         overlong_first.size(),
         {1, 3, 0x11, 0x04, 0, 0}},
        {"ATA return, then information",
         ata_then_info,
         ata_then_info.size(),
         {1, 3, 0x11, 0x04, 1, 0x12345678}},
        {"the later information wins", two_infos, two_infos.size(), {1, 3, 0x11, 0x04, 1, 2000}},
        {"information not valid", not_valid, not_valid.size(), {1, 3, 0x11, 0x04, 0, 0}},
        {"information descriptor too short",
         info_too_short,
         info_too_short.size(),
         {1, 3, 0x11, 0x04, 0, 0}},
        {"VALID bit in byte 0", valid_bit_in_code, 20, {1, 3, 0x11, 0x04, 1, 0x1D1C0BE40ULL}},
        {"deferred", deferred, 20, {1, 3, 0x11, 0x04, 1, 0x1D1C0BE40ULL}},
    };
    for (const auto& c : cases) expect_sense(parse_exact(c.bytes, c.len), c.want, c.name);
}

TEST(DevSenseParse, OtherResponseCodesAreNotParsed) {
    for (int code : {0x00, 0x01, 0x6F, 0x74, 0x7E, 0x7F, 0xFF, 0x80}) {
        Bytes s = kFixed;
        s[0] = static_cast<std::uint8_t>(code);
        expect_sense(parse_exact(s, s.size()), {0, 0, -1, -1, 0, 0}, "other code");
    }
    SenseInfo out;
    std::memset(&out, 0x5A, sizeof out);
    dev_sense_parse(nullptr, 18, &out);
    expect_sense(out, {0, 0, -1, -1, 0, 0}, "no buffer");
}

// Random sense data, shaped like what drives send often enough to reach every
// branch; the sanitizer catches any read past the written bytes.
Bytes random_sense(std::mt19937_64& rng) {
    static const std::uint8_t kCodes[] = {0x70, 0x71, 0x72, 0x73, 0xF0, 0xF1, 0xF2, 0xF3};
    Bytes s(8);
    for (auto& b : s) b = static_cast<std::uint8_t>(rng());
    if (rng() % 8 != 0) s[0] = kCodes[rng() % 8];
    while (s.size() < 8 + rng() % 80) {
        const std::uint8_t type = rng() % 3 == 0 ? 0x00 : static_cast<std::uint8_t>(rng());
        const std::uint8_t add = rng() % 4 == 0 ? static_cast<std::uint8_t>(rng()) : 0x0A;
        s.push_back(type);
        s.push_back(add);
        for (int i = 0; i < add && s.size() < 100; ++i)
            s.push_back(static_cast<std::uint8_t>(rng()));
    }
    if (rng() % 2)
        s[7] = static_cast<std::uint8_t>(static_cast<int>(s.size()) - 12 +
                                         static_cast<int>(rng() % 9));
    return s;
}

TEST(DevSenseParse, RandomSenseStaysWithinItsBytes) {
    std::mt19937_64 rng(0x5E45E);
    for (int i = 0; i < 200000; ++i) {
        const Bytes s = random_sense(rng);
        const std::size_t len = rng() % (s.size() + 1);
        const SenseInfo got = parse_exact(s, len);
        const int code = len > 0 ? s[0] & 0x7F : -1;
        ASSERT_EQ(got.parsed, 0 + ((code == 0x70 || code == 0x71) && len >= 3) +
                                  ((code == 0x72 || code == 0x73) && len >= 4))
            << i;
        ASSERT_TRUE(got.key >= 0 && got.key <= 15);
        ASSERT_TRUE(got.asc >= -1 && got.asc <= 255 && got.ascq >= -1 && got.ascq <= 255);
        if (code == 0x70 || code == 0x71) {
            ASSERT_EQ(got.info_valid, len >= 7 && (s[0] & 0x80) ? 1 : 0) << i;
        }
        // Bytes past the length the header claims never change the result.
        if ((code == 0x72 || code == 0x73) && len >= 8) {
            const SenseInfo claimed = parse_exact(s, std::min<std::size_t>(len, s[7] + 8u));
            ASSERT_EQ(claimed.info_valid, got.info_valid) << i;
            ASSERT_EQ(claimed.info, got.info) << i;
            ASSERT_EQ(claimed.key, got.key) << i;
        }
    }
}

// The same through SG_IO, with sense counts up to what the field can claim.
TEST(DevSenseParse, RandomSgAnswersClassifyWithinBounds) {
    std::mt19937_64 rng(0xC0DE);
    for (int i = 0; i < 20000; ++i) {
        FakeIoctl fake;
        FakeAnswer a;
        a.sense = random_sense(rng);
        a.sense.resize(std::min<std::size_t>(a.sense.size(), rng() % 80));
        a.sb_len_wr = static_cast<int>(rng() % 256);
        a.status = rng() % 2 ? 2 : static_cast<std::uint8_t>(rng());
        a.host_status = rng() % 2 ? 0 : static_cast<std::uint16_t>(rng() % 12);
        a.driver_status = rng() % 2 ? 0x08 : static_cast<std::uint16_t>(rng() % 0x40);
        fake.push(a);
        IoResult r;
        const int code = dev_scsi_verify16(3, rng(), static_cast<std::uint32_t>(rng()), 30000, &r);
        ASSERT_TRUE(code >= kIoOk && code <= kIoGone) << i;
        if (a.host_status == 1 || a.host_status == 4) {
            ASSERT_EQ(code, kIoGone);
        }
    }
}

}  // namespace
