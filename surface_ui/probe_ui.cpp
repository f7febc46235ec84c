#include "surface_ui/probe_ui.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/util.h"
#include "surface_ui/follow.h"
#include "surface_ui/picker.h"
#include "surface_ui/screen.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/test_screen.h"

namespace {

char s_self_exe[4096];

void read_self_exe() {
    const ssize_t n = ::readlink("/proc/self/exe", s_self_exe, sizeof s_self_exe - 1);
    s_self_exe[n > 0 ? n : 0] = '\0';
}

// The picker and the test screen, taking turns until the user leaves; found
// is the index of the disk the command line named, if any.
void run_full_screen(const PickerDisk* disks, int n, int found, const char* serial,
                     const char* mode) {
    int selected = 0;
    if (serial) {
        PickerDisk stand_in{};
        if (found >= 0) {
            selected = found;
        } else {
            // A disk the inventory does not list may still be under test.
            str_copy(stand_in.serial, sizeof stand_in.serial, serial);
            stand_in.present = 1;
        }
        if (test_screen_run(found >= 0 ? &disks[found] : &stand_in, mode) == TestScreenEnd::kLeave)
            return;
        if (g_quit || scr_enter() != 0) return;
    }
    for (;;) {
        const int open = picker_run(disks, n, &selected);
        if (open < 0) return;
        // Opening a disk again never starts a test by itself.
        if (test_screen_run(&disks[open], nullptr) == TestScreenEnd::kLeave) return;
        if (g_quit || scr_enter() != 0) return;
    }
}

}  // namespace

const char* ui_program_name() {
    const char* env = std::getenv("QORM_CLI_NAME");
    if (env && *env) return env;
    if (s_self_exe[0]) return s_self_exe;
    return "corvantisd";
}

const char* ui_cli_word() {
    return std::getenv("QORM_CLI_NAME") ? "" : "probe-ui ";
}

void ui_choose_theme(int style) {
    const char* colorterm = std::getenv("COLORTERM");
    const char* term = std::getenv("TERM");
    bool wide = style == 2;
    if (style == 0) wide = (colorterm && *colorterm) || (term && std::strstr(term, "256"));
    g_theme = wide ? &kTheme256 : &kTheme16;
}

int cmd_probe_ui(const char* serial, const char* mode, int style) {
    read_self_exe();
    if (mode && std::strcmp(mode, "quick") != 0 && std::strcmp(mode, "full") != 0) {
        std::fputs("corvantisd: --mode quick or full\n", stderr);
        return 2;
    }
    if (serial && !name_is_safe(serial, 79)) {
        std::fputs("corvantisd: bad serial\n", stderr);
        return 2;
    }
    ui_install_quit_signals();
    static PickerDisk disks[kPickerMax];
    const int n = picker_load_disks(disks, kPickerMax);
    // One spelling per disk: the one discovery gives, so that a test started
    // here and one started from any other face share the state file, the lock
    // and the check before a stop.
    const int found = picker_find(disks, n, serial);
    const char* disk_serial = found >= 0 ? disks[found].serial : serial;

    // scr_enter refuses unless both standard streams are a terminal.
    if (style != 3) {
        ui_choose_theme(style);
        if (scr_enter() == 0) {
            run_full_screen(disks, n, found, serial, mode);
            scr_restore();
            scr_release();
            return 0;
        }
    }
    if (serial) return ui_follow_plain(disk_serial, mode);
    return picker_print_table(stdout, disks, n) == 0 ? 0 : 1;
}
