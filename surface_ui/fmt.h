// Number and duration texts of the terminal UI, so that the same quantity reads
// the same on every screen and in the plain follower. Each writes a
// NUL-terminated text into buf, cut to size bytes with its terminator; a size
// of 0 writes nothing. Every input value, the extremes of 64-bit included, has
// a text.
#pragma once

#include <cstddef>
#include <cstdint>

// Decimal units, steps of 1000: "512 B", "1.0 KB", "4.0 TB"; "PB" at most.
void fmt_size_dec(std::uint64_t bytes, char* buf, std::size_t size);
// Digits grouped by three with ",": "-1,234,567". 32 bytes always suffice.
void fmt_thousands(std::int64_t value, char* buf, std::size_t size);
// A rate given in MiB/s: "42.2 MB/s", "150 MB/s", "2.00 GB/s".
void fmt_rate(double mib_per_s, char* buf, std::size_t size);
// "45 s", "1 min 05 s", "25 h 01 min"; a negative count reads as 0 s.
void fmt_duration(std::int64_t seconds, char* buf, std::size_t size);
