// The test screen: one disk's surface test, full screen. It follows the test
// through its state file (reloaded every 250 ms) and shows the live map, the
// progress through the phases, the info panel, key chips, toasts and
// dialogs; a root user starts quick and full tests from here (as detached
// processes), sets the rate cap of the next one and stops a running one.
#pragma once

#include <cstdint>
#include <cstdio>

#include "surface_ui/picker.h"
#include "surface_ui/spawn.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/view.h"

// Kept while the user goes back to the picker and returns.
extern int g_dialog;  // 0 none, 1 the stop question, 2 the full-test question
extern int g_show_help;

enum class TestScreenEnd { kBack, kLeave };

// Runs the screen for disk until the user goes back or leaves (or a signal
// ends it); mode, when given, starts that test on entry. The screen must be
// in raw mode; on return it is restored and the summary printed.
TestScreenEnd test_screen_run(const PickerDisk* disk, const char* mode);

// ---- the pieces of the screen, for the loop above and for tests ----

struct TestScreen {
    PickerDisk disk;  // its serial names the state file and the test to start
    ProbeView view;   // the last load
    HeadAnim anim;
    double pending_ms;     // when this screen started a test; 0 none
    RunMark pending_run;   // the run the file showed at that moment
    char pending_mode[8];  // the mode of that test
    double last_load_ms;
    bool root;
};

// Map area, and the side panel's column and width (0: no side panel).
struct TestScreenLayout {
    int map_w;
    int panel_x;
    int panel_w;
};
TestScreenLayout test_screen_layout(int w);

// Loads the state file and starts mode's test when one is asked for and may
// start (toasts say why not). s must be zeroed.
void test_screen_enter(TestScreen* s, const PickerDisk* disk, const char* mode);
// The 250-ms reload: state file, head glide, and the watch for a test this
// screen started.
void test_screen_reload(TestScreen* s, double now_ms);
// One frame into a w x h grid (nothing is written out).
void test_screen_draw(TestScreen* s, int w, int h, double now_ms);

enum class TsAction {
    kNone,
    kClose,  // a dialog or the help closes
    kStartQuick,
    kAskFull,
    kStartFull,
    kAskStop,
    kStop,
    kCycleRate,
    kToggleDetails,
    kHelp,
    kBack,
    kLeave,
};
// What a key does in the screen's state; keys that need root or a test state
// that is not there do nothing.
TsAction test_screen_key_action(int key, int dialog, int help, bool root, bool running);
// Carries the action out; kBack and kLeave are left to the caller.
void test_screen_apply(TestScreen* s, TsAction a);

// The lines printed on the normal screen after leaving.
void test_screen_summary(std::FILE* out, const TestScreen* s);
