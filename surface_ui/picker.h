// The disk picker of the terminal UI: the disks found at start, as a plain
// table or as a full-screen list with each disk's surface-test status.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int kPickerMax = 64;

// One disk of the picker.
struct PickerDisk {
    char serial[80];  // as discovery gives it: names the state file
    char model[96];
    char dev[16];
    char size_text[24];  // empty when the size is unknown
    std::int32_t present;
};

// The disks of the inventory (at most max, and at most kPickerMax), with the
// model and size read below root ("" for the real system). Returns the count.
int picker_load_disks_under(const char* root, PickerDisk* out, int max);
int picker_load_disks(PickerDisk* out, int max);

// The disk whose serial equals serial ignoring case (the last one when
// several do), or -1.
int picker_find(const PickerDisk* disks, int n, const char* serial);

// The table of the plain path and its hint, on out. 0, or -1 when out failed.
int picker_print_table(std::FILE* out, const PickerDisk* disks, int n);

// One frame of the picker into a w x h grid (nothing is written out).
void picker_draw(const PickerDisk* disks, int n, int selected, int w, int h);

enum class PickerAction { kNone, kOpen, kQuit };
// Moves *selected for the arrow keys; says what else the key asks for.
PickerAction picker_key(int key, int n, int* selected);

// Runs the picker until a disk is opened (its index, *selected kept) or the
// user or a signal ends it (-1). The screen must be in raw mode.
int picker_run(const PickerDisk* disks, int n, int* selected);
