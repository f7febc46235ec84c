// The SMART short self-test phase of a surface test and its progress readers.
#pragma once

#include <cstddef>
#include <cstdint>

void probe_selftest_run();
// Progress readers of smartctl replies: 1 when the value was found.
int selftest_status_ata(const char* text, std::size_t len, int* running, int* remaining_pct,
                        int* result);
int selftest_status_nvme(const char* text, std::size_t len, int* running, int* remaining_pct,
                         int* result, std::int64_t* lba, int* lba_valid);
int selftest_status_scsi(const char* text, std::size_t len, int* running, int* remaining_pct,
                         int* result);
