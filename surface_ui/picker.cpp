#include "surface_ui/picker.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "collector/discovery.h"
#include "core/util.h"
#include "surface_ui/fmt.h"
#include "surface_ui/labels.h"
#include "surface_ui/probe_ui.h"
#include "surface_ui/screen.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/view.h"

namespace {

constexpr int kKeyWaitMs = 500;
constexpr int kWideFrom = 111;  // from here the list keeps its own width
constexpr int kWideBox = 104;
constexpr int kModelCells = 30;
constexpr int kSerialCells = 22;
// The longest status the list shows whole: "Probe gone (stale state)".
constexpr int kStatusCells = 24;
constexpr char kStatusHeader[] = "SURFACE TEST";
constexpr int kDevCells = 10;
constexpr int kSizeCells = 10;
// The model is how people tell their disks apart: it keeps this much even
// when the status has to be cut.
constexpr int kMinModelCells = 12;
// One blank between the columns of the list, two before the status.
constexpr int kListGaps = 5;

void read_size_text(const char* root, const char* dev, char* out, std::size_t size) {
    char line[64];
    sysfs_read_attr_under(root, dev, "size", line, sizeof line);
    const unsigned long long sectors = std::strtoull(line, nullptr, 10);
    out[0] = '\0';
    if (sectors > 0 && sectors <= ~0ull / 512) fmt_size_dec(sectors * 512, out, size);
}

struct RowStatus {
    char text[48];
    int color;
};

// The disk's test as its state file tells it, loaded again on every frame.
RowStatus row_status(const PickerDisk& d) {
    RowStatus s{"-", theme_color(2)};
    ProbeView v{};
    if (view_load(d.serial, &v) != 0) return s;
    if (view_running(&v)) {
        const long long pct = v.map.cells > 0 ? v.map.done * 100 / v.map.cells : 0;
        std::snprintf(s.text, sizeof s.text, "running %lld%%", pct);
        s.color = theme_color(7);
    } else if (!v.verdict.code[0]) {
        str_copy(s.text, sizeof s.text, view_status_label(v.status));
    } else {
        str_copy(s.text, sizeof s.text, view_verdict_label(v.verdict.code));
        s.color = view_verdict_color(v.verdict.code);
    }
    view_free(&v);
    return s;
}

// A printable copy for the plain table: texts from sysfs and discovery may
// hold anything.
struct CleanText {
    explicit CleanText(const char* text) {
        str_copy(buf, sizeof buf, text);
        ui_clean_text(buf);
    }
    char buf[96];
};

// A column of the list: a model or a serial cut and padded to its cells.
struct Column {
    Column(const char* text, int cells) { ui_fit_text(buf, sizeof buf, text, cells); }
    char buf[160];
};

// The list's column widths, in cells.
struct ListLayout {
    int dev = kDevCells;
    int model = kModelCells;
    int serial = kSerialCells;
    int size = kSizeCells;
    int status = kStatusCells;
};

// Cells of the longest of header and the texts, at most cap.
template <typename Text>
int widest(const char* header, int cap, int n, Text text) {
    int w = ui_text_cells(header);
    for (int i = 0; i < n && w < cap; ++i) w = std::max(w, ui_text_cells(text(i)));
    return std::min(w, cap);
}

// A wide terminal keeps the fixed columns. A narrower one gives its cells in
// this order: device, serial and size as wide as their texts and headers, and
// the status column as wide as the statuses shown; then the model its
// minimum, and up to what its longest model needs. The status header gets
// whatever is left and is cut at the box's edge: the status column is the
// last, so that header is the only text that makes room for the others.
ListLayout list_layout(const PickerDisk* disks, int n, const RowStatus* shown, int n_shown,
                       int width, bool wide) {
    ListLayout c;
    int model_cells = kModelCells;
    if (!wide) {
        c.dev = widest("DEVICE", kDevCells, n, [&](int i) { return disks[i].dev; });
        c.serial = widest("SERIAL", kSerialCells, n, [&](int i) { return disks[i].serial; });
        c.size = widest("SIZE", kSizeCells, n, [&](int i) { return disks[i].size_text; });
        c.status = widest("", kStatusCells, n_shown, [&](int i) { return shown[i].text; });
        model_cells = widest("MODEL", kModelCells, n, [&](int i) { return disks[i].model; });
    }
    const int rest = width - kListGaps - c.dev - c.serial - c.size - c.status;
    c.model = std::clamp(std::min(rest, model_cells), kMinModelCells, kModelCells);
    return c;
}

}  // namespace

int picker_load_disks_under(const char* root, PickerDisk* out, int max) {
    max = std::min(max, kPickerMax);
    if (max < 1) return 0;
    DiskBrief ids[kPickerMax];
    const int found = disk_list_ids_under(root, ids, max);
    const int n = found < 1 ? 0 : std::min(found, max);
    for (int i = 0; i < n; ++i) {
        PickerDisk& d = out[i];
        d = PickerDisk{};
        str_copy(d.serial, sizeof d.serial, ids[i].serial);
        str_copy(d.dev, sizeof d.dev, ids[i].dev);
        char model[128];
        sysfs_read_attr_under(root, ids[i].dev, "device/model", model, sizeof model);
        str_copy(d.model, sizeof d.model, model);
        ui_clean_text(d.model);  // a bridge chip may report any bytes
        read_size_text(root, ids[i].dev, d.size_text, sizeof d.size_text);
        d.present = 1;
    }
    return n;
}

int picker_load_disks(PickerDisk* out, int max) {
    return picker_load_disks_under("", out, max);
}

int picker_find(const PickerDisk* disks, int n, const char* serial) {
    int found = -1;
    for (int i = 0; serial && i < n; ++i)
        if (strcasecmp(disks[i].serial, serial) == 0) found = i;
    return found;
}

int picker_print_table(std::FILE* out, const PickerDisk* disks, int n) {
    std::fprintf(out, "%-10s %-30s %-22s %10s\n", "DEVICE", "MODEL", "SERIAL", "SIZE");
    for (int i = 0; i < n; ++i) {
        const CleanText model(disks[i].model), serial(disks[i].serial);
        const Column model_col(model.buf, kModelCells), serial_col(serial.buf, kSerialCells);
        std::fprintf(out, "%-10s %s %s %10s\n", disks[i].dev, model_col.buf, serial_col.buf,
                     disks[i].size_text);
    }
    std::fprintf(out,
                 "\nwatch or start a test:  %s %s--serial <SERIAL> [--mode quick|full] --plain\n",
                 ui_program_name(), ui_cli_word());
    return std::fflush(out) != 0 || std::ferror(out) != 0 ? -1 : 0;
}

void picker_draw(const PickerDisk* disks, int n, int selected, int w, int h) {
    scr_resize(w, h);
    scr_clear();
    scr_fill(0, 0, w, 1, theme_color(6));
    scr_text(1, 0, w - 2, " ◆ CORVANTIS SURFACE TEST  ·  pick a disk", theme_color(5),
             theme_color(6), 1);

    int bx = 1, bw = w - 2, tx = 3, tw = w - 6;
    if (w >= kWideFrom) {
        bw = kWideBox;
        bx = (w - kWideBox) / 2;
        tx = bx + 2;
        tw = kWideBox - 4;
    }
    const int bh = std::min(n + 4, h - 3);
    if (bh > 1 && bw >= 2) scr_box(bx, 2, bw, bh, "Disks");
    const int n_shown = std::clamp(std::min(n, bh - 3), 0, kPickerMax);
    RowStatus status[kPickerMax];
    for (int i = 0; i < n_shown; ++i) status[i] = row_status(disks[i]);
    const ListLayout c = list_layout(disks, n, status, n_shown, tw, w >= kWideFrom);
    const int status_x = tx + c.dev + c.model + c.serial + c.size + kListGaps;
    // Each line inside the box only: the box's bottom edge is row bh + 1.
    if (bh > 2)
        scr_printf(tx, 3, tw, theme_color(2), -1, 1, "%-*s %-*s %-*s %*s  %s", c.dev, "DEVICE",
                   c.model, "MODEL", c.serial, "SERIAL", c.size, "SIZE", kStatusHeader);
    if (n == 0 && bh > 3) scr_text(tx, 4, tw, "No disks found.", theme_color(2), -1, 0);
    const bool t256 = theme_color(0) != 0;
    for (int i = 0; i < n_shown; ++i) {
        const int y = 4 + i;
        const bool sel = i == selected;
        const int bg = sel ? (t256 ? 238 : 8) : -1;
        const int fg = sel ? (t256 ? 231 : 15) : theme_color(1);
        if (sel) scr_fill(bx + 1, y, bw - 2, 1, bg);
        const PickerDisk& d = disks[i];
        const Column dev(d.dev, c.dev), model(d.model, c.model), serial(d.serial, c.serial);
        scr_printf(tx, y, std::min(status_x - tx, tw), fg, bg, sel, "%s %s %s %*.*s  ", dev.buf,
                   model.buf, serial.buf, c.size, c.size, d.size_text);
        const RowStatus& s = status[i];
        scr_text(status_x, y, tx + tw - status_x, s.text, s.color, bg, 1);
    }
    int x = 1;
    const struct {
        const char* chip;
        const char* label;
    } chips[] = {{" ↑↓ ", " choose  "}, {" Enter ", " show the test  "}, {" q ", " quit"}};
    for (const auto& c : chips) {
        x += scr_text(x, h - 1, w, c.chip, theme_color(40), theme_color(41), 1);
        x += scr_text(x, h - 1, w, c.label, theme_color(2), -1, 0);
    }
}

PickerAction picker_key(int key, int n, int* selected) {
    switch (key) {
        case KEY_UP:
        case 'k':
            if (n > 0) *selected = *selected <= 0 ? n - 1 : *selected - 1;
            return PickerAction::kNone;
        case KEY_DOWN:
        case 'j':
            if (n > 0) *selected = *selected >= n - 1 ? 0 : *selected + 1;
            return PickerAction::kNone;
        case KEY_RIGHT:
        case KEY_ENTER:
            return n > 0 ? PickerAction::kOpen : PickerAction::kNone;
        case 'q':
        case 'Q':
        case KEY_ESC:
            return PickerAction::kQuit;
        default:
            return PickerAction::kNone;
    }
}

int picker_run(const PickerDisk* disks, int n, int* selected) {
    while (!g_quit) {
        int w = 0, h = 0;
        scr_query_size(&w, &h);
        picker_draw(disks, n, *selected, w, h);
        scr_flush();
        const int key = scr_read_key(kKeyWaitMs);
        if (g_quit) break;
        const PickerAction a = picker_key(key, n, selected);
        if (a == PickerAction::kQuit) break;
        if (a == PickerAction::kOpen && *selected >= 0 && *selected < n) return *selected;
    }
    return -1;
}
