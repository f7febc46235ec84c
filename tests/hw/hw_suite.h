// The emulated-disk test suites. Each test suite registered with HW_GUEST
// owns one QEMU guest (its disks and its scenario script). Before the first
// test, the guests of every suite that has a test to run boot together, once
// per process; the tests then only assert on what their guest left behind.
//
// Run them alone with `ctest -R hw_guests` or
// `corvantis_tests --gtest_filter='Hw*'` (one suite: --gtest_filter='HwProbeSata.*').
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/hw/qemu_guest.h"

bool hw_register_guest(const char* suite, const HwGuestPlan& plan);

// The raw text of the value at a dotted path of a JSON document ("" for the
// root), strings with their quotes; "(none)" when the path leads nowhere.
std::string hw_json(const std::string& doc, const std::string& path);

#define HW_GUEST(suite, ...) \
    static const bool suite##_guest_registered = hw_register_guest(#suite, HwGuestPlan __VA_ARGS__)

// Fixture of every emulated-disk test: the suite's guest must have booted,
// run its scenario to the end without giving up on a wait, and written
// nothing to any disk image. Outside
// CI, a host without QEMU or the guest's packages skips the test.
class HwTest : public ::testing::Test {
   protected:
    void SetUp() override;
    const HwGuest& guest() const { return *guest_; }
    // The whole file the scenario left in /hw/out.
    std::string out(const std::string& name) const { return guest_->out(name); }
    // The lines of an output file that begin with prefix, the prefix cut off,
    // keyed by their first word after it: "HWSATA61 sg_v3 1" with prefix
    // "HWSATA61 " gives {"sg_v3": "1"}.
    std::map<std::string, std::string> fields(const std::string& file,
                                              const std::string& prefix) const;

   private:
    const HwGuest* guest_ = nullptr;
};
