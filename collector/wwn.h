// Comparing disk WWNs written by different sources. The NAS configuration,
// sysfs and smartctl write the same WWN with or without a "naa.", "eui.",
// "t10." or "0x" prefix and in either case; every place that matches one
// disk's WWN against another source goes through wwn_equal so that the same
// disk is always found.
#pragma once

#include <cstddef>
#include <string_view>

// Leading blanks (spaces, tabs) skipped, then one "naa.", "eui.", "t10." or
// "0x" prefix (tried in that order, any case), at most size - 1 bytes copied,
// trailing white space cut. An empty remainder, a NULL text or a size below 2
// gives "" (size 0 writes nothing).
void wwn_strip_prefix(const char* in, char* out, std::size_t size);
// The same; spelled out for callers whose input may be NULL.
void wwn_strip_prefix_checked(const char* in, char* out, std::size_t size);

// 1 when both stripped forms are non-empty and equal ignoring case. The whole
// texts are compared: two long WWNs that differ only far out are not equal.
int wwn_equal(const char* a, const char* b);
int wwn_equal(std::string_view a, std::string_view b);
