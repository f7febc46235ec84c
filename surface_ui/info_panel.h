// The info panel of the test screen: framed boxes that tell who the disk is,
// how the run stands, its pace and temperature, what it found so far and, at
// the end, the verdict with its reasons.
#pragma once

#include <cstddef>

struct ProbeView;
struct PickerDisk;

// The test screen's details flag ("d"): the panel lists the errors found in
// place of the counters.
extern int g_show_details;

// Draws the panel for view into the rectangle (x, y, w, h); disk fills what
// the view does not know (no state file yet).
void ui_draw_info_panel(const ProbeView* view, int x, int y, int w, int h, const PickerDisk* disk);

// The disk's size: the capacity its state file gives, else the inventory's.
void ui_disk_size_text(const ProbeView* view, const PickerDisk* disk, char* buf, std::size_t size);

// Whether a panel h rows high shows the verdict box for view with the given
// details flag; where it does not, the screen must show the verdict itself.
bool ui_info_panel_shows_verdict(const ProbeView* view, int h, int details);
