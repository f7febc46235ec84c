#include "core/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

TEST(LogMsg, StampMessageAndOneNewline) {
    testing::internal::CaptureStderr();
    log_msg("schema ready at %s", "/x/var/corvantis/corvantis.db");
    log_msg("%d%%", 5);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::regex line(
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] schema ready at /x/var/corvantis/corvantis\.db\n)"
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] 5%\n)");
    EXPECT_TRUE(std::regex_match(err, line)) << err;
}

}  // namespace
