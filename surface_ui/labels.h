// The English texts that the terminal screens and the plain follower show for
// the surface test's keys (phase, status, verdict code, verdict reasons), and
// the colour of a verdict. Pure lookups; an unknown key is shown as itself.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kReasonTextSize = 400;

// method is the map's method ("verify" or "read"); it only matters in "verify".
const char* view_phase_label(const char* phase, const char* method);
// "No test recorded" for an unknown or empty status.
const char* view_status_label(const char* status);
const char* view_verdict_label(const char* code);
// A colour of the current theme.
int view_verdict_color(const char* code);
// One sentence for a verdict reason, with its count when has_n is set and
// the reason has a sentence with a count; at most kReasonTextSize bytes.
void view_reason_text(const char* key, std::int64_t n, std::int32_t has_n, char* buf,
                      std::size_t size);
