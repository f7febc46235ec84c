// The picker, the test screen and the info panel drawn in process into the
// cell grid from hand-written state files: what each key does, which boxes a
// panel of each height holds, where the verdict shows on every terminal, and
// frames of every size and state drawn without a fault.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/cli.h"
#include "surface_ui/info_panel.h"
#include "surface_ui/picker.h"
#include "surface_ui/probe_ui.h"
#include "surface_ui/screen.h"
#include "surface_ui/spawn.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/test_screen.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_disk.h"
#include "tests/support/probe_state_dir.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/state_doc.h"
#include "tests/support/temp_dir.h"

namespace {

std::string row(int y) {
    std::string s;
    for (int x = 0; x < g_cols; ++x) s += g_cells[y * g_cols + x].glyph;
    return s;
}

std::string grid() {
    std::string s;
    for (int y = 0; y < g_rows; ++y) s += row(y) + "\n";
    return s;
}

int fg_at(int y, const std::string& text) {
    const std::string r = row(y);
    const std::size_t at = r.find(text);
    if (at == std::string::npos) return -100;
    int x = 0;
    for (std::size_t i = 0; i < at; ++i) x += (r[i] & 0xC0) != 0x80;
    return g_cells[y * g_cols + x].fg;
}

// Everything print writes to its stream.
std::string printed(const std::function<void(std::FILE*)>& print) {
    char* text = nullptr;
    std::size_t len = 0;
    std::FILE* f = ::open_memstream(&text, &len);
    if (!f) return "";
    print(f);
    std::fclose(f);
    std::string out(text, len);
    std::free(text);
    return out;
}

int g_spawns = 0;
int fake_spawn(const char*, const char*) {
    ++g_spawns;
    return 0;
}

class Screens : public ::testing::Test {
   protected:
    void SetUp() override {
        spawn_ = ui_spawn_replace(fake_spawn);
        std::strcpy(disk_.serial, "S1");
        std::strcpy(disk_.dev, "sdb");
    }
    void TearDown() override {
        view_free(&s_.view);
        ui_spawn_replace(spawn_);
        g_dialog = g_show_help = g_show_details = 0;
        g_theme = &kTheme256;
    }
    void enter(const std::string& doc, const char* mode = nullptr) {
        view_free(&s_.view);
        s_ = TestScreen{};
        if (doc.empty())
            ::unlink(dir_.state_path("S1").c_str());
        else
            dir_.write_state("S1", doc);
        test_screen_enter(&s_, &disk_, mode);
    }
    void draw(int w, int h) { test_screen_draw(&s_, w, h, clock_.mono_ms()); }

    UiSpawnFn spawn_ = nullptr;
    FakeClock clock_{kStateDocNow};
    ProbeStateDir dir_;
    PickerDisk disk_{};
    TestScreen s_{};
};

TEST_F(Screens, KeysDoWhatTheStateAllows) {
    using A = TsAction;
    const struct {
        int key, dialog, help;
        bool root, running;
        A action;
    } cases[] = {
        {'1', 0, 0, true, false, A::kStartQuick}, {'1', 0, 0, false, false, A::kNone},
        {'1', 0, 0, true, true, A::kNone},        {'2', 0, 0, true, false, A::kAskFull},
        {'s', 0, 0, true, true, A::kAskStop},     {'S', 0, 0, true, false, A::kNone},
        {'s', 0, 0, false, true, A::kNone},       {'r', 0, 0, true, false, A::kCycleRate},
        {'R', 0, 0, true, true, A::kNone},        {'d', 0, 0, false, true, A::kToggleDetails},
        {'h', 0, 0, false, false, A::kHelp},      {KEY_LEFT, 0, 0, false, true, A::kBack},
        {KEY_ESC, 0, 0, true, true, A::kLeave},   {'y', 1, 0, true, true, A::kStop},
        {'Y', 2, 0, true, false, A::kStartFull},  {'q', 1, 0, true, true, A::kClose},
        {'y', 0, 1, true, true, A::kClose},       {0, 1, 0, true, true, A::kNone},
        {'x', 0, 0, true, false, A::kNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(test_screen_key_action(c.key, c.dialog, c.help, c.root, c.running), c.action)
            << c.key << " dialog " << c.dialog << " help " << c.help;
}

// A panel whose verdict box has no room leaves the verdict to the status row.
TEST_F(Screens, TheVerdictShowsOnEveryTerminal) {
    enter(finished_doc().json());
    const int bad = kTheme256.c[10];
    draw(80, 24);
    EXPECT_EQ(row(22).rfind(" Test finished  DISK BAD  Full · ", 0), 0u) << grid();
    EXPECT_EQ(fg_at(22, "DISK BAD"), bad);
    g_show_details = 1;
    draw(80, 24);
    EXPECT_NE(row(22).find("DISK BAD"), std::string::npos) << "the overlay leaves it\n" << grid();
    g_show_details = 0;
    draw(130, 60);
    EXPECT_EQ(row(58).find("DISK BAD"), std::string::npos) << grid();
    EXPECT_NE(grid().find("│ ◆ DISK BAD "), std::string::npos) << grid();

    enter(running_doc().set("status", q("failed")).set("error", q("open /dev/sdc: gone")).json());
    draw(80, 24);
    EXPECT_EQ(row(22).rfind(" Test failed  Full · ", 0), 0u) << grid();
    EXPECT_NE(row(22).find(":59  open /dev/sdc: gone"), std::string::npos) << grid();
}

// The details overlay of a narrow terminal draws only inside its rectangle
// (and across the rows below the map that it reaches): the status row keeps
// the verdict, the key chips stay whole, the map box keeps its sides, and no
// box in the overlay is drawn without a line inside.
TEST_F(Screens, TheDetailsOverlayStaysInItsRectangle) {
    enter(finished_doc().json());
    g_toast[0] = '\0';  // no toast over the chips
    const struct {
        int w, h;
        const char *status, *chip;
    } cases[] = {
        {80, 9, " Test finished  DISK BAD  Full · ", " ?  help "},
        {80, 12, " Test finished  DISK BAD  Full · ", " ?  help "},
        {80, 16, " Test finished  DISK BAD  Full · ", " ?  help "},
        {20, 25, " Test finished  DISK", " q  quit "},  // with the Pace box
        {30, 12, " Test finished  DISK BAD  Full", " q  quit "},
        {25, 6, " Test finished  DISK BAD", " q  quit "},
    };
    for (const auto& c : cases) {
        const int w = c.w, h = c.h, ow = std::min(w, 64) - 4;
        draw(w, h);
        const std::vector<ScreenCell> plain(g_cells, g_cells + w * h);
        g_show_details = 1;
        draw(w, h);
        g_show_details = 0;
        EXPECT_EQ(row(h - 2).rfind(c.status, 0), 0u) << grid();
        EXPECT_NE(row(h - 1).find(c.chip), std::string::npos) << grid();
        std::string moved;
        for (int y = 0; y < h - 1 && moved.empty(); ++y)
            for (int x = 0; x < w && moved.empty(); ++x) {
                if (y >= h - 4 && y <= h - 3) continue;
                if (y >= 2 && y <= h - 3 && x >= 2 && x < 2 + ow) continue;
                const ScreenCell& a = plain[y * w + x];
                const ScreenCell& b = g_cells[y * w + x];
                if (std::strcmp(a.glyph, b.glyph) || a.fg != b.fg || a.bg != b.bg ||
                    a.bold != b.bold)
                    moved = std::to_string(x) + "," + std::to_string(y);
            }
        EXPECT_EQ(moved, "") << w << "x" << h << "\n" << grid();
        // A box with no room for a line inside is left out, not drawn empty.
        for (int y = 2; y < h - 3; ++y)
            for (int x = 2; x < 2 + ow; ++x)
                EXPECT_FALSE(std::strcmp(g_cells[y * w + x].glyph, "╭") == 0 &&
                             std::strcmp(g_cells[(y + 1) * w + x].glyph, "╰") == 0)
                    << w << "x" << h << " at " << x << "," << y << "\n"
                    << grid();
    }
}

// A narrow title shortens the model, never the device or the size.
TEST_F(Screens, TheTitleKeepsDeviceAndSize) {
    enter(running_doc().json());
    const struct {
        int w;
        const char* title;
    } cases[] = {
        {130, "  ◆ CORVANTIS SURFACE TEST  WDC WD40EFRX-68N32N0 · /dev/sdc · 4.0 TB   "},
        {80, "  ◆ CORVANTIS SURFACE TEST  WDC WD40E · /dev/sdc · 4.0 TB       FULL  "},
        {60, "  ◆ CORVANTIS SURFACE TEST   · /dev/sd  "},
    };
    for (const auto& c : cases) {
        draw(c.w, 24);
        EXPECT_EQ(row(0).rfind(c.title, 0), 0u) << c.w << "\n" << grid();
    }
}

// Where a letter or digit sits on a box's bottom edge ("╰──x"), or "".
std::string text_on_an_edge() {
    for (int y = 0; y < g_rows; ++y) {
        bool edge = false;
        for (int x = 0; x < g_cols; ++x) {
            const std::string glyph = g_cells[y * g_cols + x].glyph;
            if (edge && glyph.size() == 1 && std::isalnum(static_cast<unsigned char>(glyph[0])))
                return std::to_string(x) + "," + std::to_string(y) + "\n" + grid();
            edge = glyph == "╰" || (edge && glyph == "─");
        }
    }
    return "";
}

// At 80 x 24 the details overlay reaches below the map: the rows it reaches
// show nothing beside it. And no text is written over a box's frame: not the
// counters that have no room left for their box, not the texts of an empty
// map box or an empty list on a terminal too low for them.
TEST_F(Screens, OverlaysLeaveNoPiecesAndNoTextSitsOnAFrame) {
    enter(running_doc().json());
    g_show_details = 1;
    draw(80, 24);
    for (int y = 20; y <= 22; ++y)
        for (int x = 0; x < 80; x += x == 1 ? 61 : 1)
            EXPECT_STREQ(g_cells[y * g_cols + x].glyph, " ") << x << "," << y << "\n" << grid();
    EXPECT_NE(row(22).find("Bad blocks (B)"), std::string::npos) << grid();
    EXPECT_EQ(text_on_an_edge(), "");

    g_show_details = 0;
    enter("");
    for (const int w : {20, 98})
        for (int h = 5; h <= 12; ++h) {
            draw(w, h);
            EXPECT_EQ(text_on_an_edge(), "") << "test screen " << w << "x" << h;
            picker_draw(&disk_, 0, 0, w, h);
            EXPECT_EQ(text_on_an_edge(), "") << "picker " << w << "x" << h;
        }
}

// Every box is drawn exactly when the panel's plan says so, at every height.
TEST_F(Screens, InfoPanelBoxesByHeight) {
    const std::string docs[] = {"", running_doc().json(), finished_doc().json(),
                                finished_doc().set("status", q("stopped")).json(),
                                running_doc().erase("speed").json()};
    for (const std::string& doc : docs) {
        enter(doc);
        for (int details = 0; details < 2; ++details) {
            g_show_details = details;
            for (int h = 1; h <= 50; ++h) {
                scr_resize(42, h + 2);
                scr_clear();
                ui_draw_info_panel(&s_.view, 0, 0, 42, h, &disk_);
                const std::string g = grid();
                const auto has = [&g](const char* t) { return g.find(t) != std::string::npos; };
                const bool speed = s_.view.has_speed;
                EXPECT_EQ(has("╭ Run "), h > 8) << h;  // a box needs a line inside
                EXPECT_EQ(has("╭ Pace "), speed && h >= 19) << h;
                EXPECT_EQ(has("╭ Errors found "), details && h >= (speed && h >= 19 ? 22 : 16))
                    << h;
                EXPECT_EQ(has("╭ Verdict "), ui_info_panel_shows_verdict(&s_.view, h, details))
                    << h << " details " << details << "\n"
                    << g;
            }
        }
    }
    g_show_details = 0;
    // The model as sysfs shows it, here a bridge chip's garbage.
    const TempDir sys;
    fake_disk_add(
        fake_disk_root(sys.path()),
        FakeDisk{.dev = "sdb", .serial = "S1", .model = "\x80\x80\x80\x41\x62\xe6\x86\x5a"});
    ASSERT_EQ(picker_load_disks_under(sys.path().c_str(), &disk_, 1), 1);
    EXPECT_STREQ(disk_.model, "???Ab??Z");
    enter("");
    draw(130, 40);
    EXPECT_NE(grid().find("│ Status                No test recorded │"), std::string::npos)
        << grid();
    EXPECT_NE(grid().find("│ Model                         ???Ab??Z │"), std::string::npos)
        << grid();
    EXPECT_NE(grid().find("No surface test recorded for this disk."), std::string::npos);
}

TEST_F(Screens, AnySizeAnyStateAnyDialog) {
    const std::string docs[] = {
        "",
        "{}",
        running_doc().erase("map").set("phase", q("queued")).json(),
        running_doc().json(),
        finished_doc().json(),
        running_doc().set("thermal", R"({"state":"pause","temp_c":60,"hist":[]})").json(),
        running_doc().set("map", R"({"cells":1,"done":1,"codes":"B"})").json()};
    const int sizes[][2] = {{1, 1}, {2, 2}, {5, 3}, {12, 7}, {80, 24}, {96, 19}, {500, 200}};
    for (const std::string& doc : docs) {
        enter(doc);
        for (const auto& size : sizes)
            for (int state = 0; state < 8; ++state) {
                g_dialog = state % 3;
                g_show_help = state == 3;
                g_show_details = state >= 4;
                g_theme = state % 2 ? &kTheme16 : &kTheme256;
                draw(size[0], size[1]);
                ASSERT_EQ(g_cols * g_rows, size[0] * size[1]);
            }
    }
}

TEST_F(Screens, AStartIsWatchedForFifteenSeconds) {
    enter(finished_doc().json(), "quick");
    EXPECT_GT(s_.pending_ms, 0);
    clock_.advance_ms(15001);
    test_screen_reload(&s_, clock_.mono_ms());
    EXPECT_STREQ(ui_toast_text(), "The test did not start: see var/corvantis/probe/S1.log");
    EXPECT_EQ(s_.pending_ms, 0);

    test_screen_apply(&s_, TsAction::kStartQuick);
    EXPECT_STREQ(ui_toast_text(), "Starting the quick test.");
    dir_.write_state("S1", running_doc().set("phase", q("identify")).json());
    test_screen_reload(&s_, clock_.mono_ms());
    EXPECT_EQ(s_.pending_ms, 0) << "the new run is seen";

    enter(running_doc().json(), "full");
    EXPECT_STREQ(ui_toast_text(), "A test is already running on this disk; showing it.");
    EXPECT_EQ(s_.pending_ms, 0);
}

// Keys typed before the started run shows start nothing more, and a start
// that another run beat to the disk is said to be refused.
TEST_F(Screens, AStartSaysWhatTheStateFileShows) {
    enter(finished_doc().json());
    g_spawns = 0;
    test_screen_apply(&s_, TsAction::kStartQuick);
    test_screen_apply(&s_, TsAction::kAskFull);
    EXPECT_EQ(g_dialog, 0);
    test_screen_apply(&s_, TsAction::kStartFull);
    test_screen_apply(&s_, TsAction::kStartQuick);
    EXPECT_EQ(g_spawns, 1);
    EXPECT_STREQ(ui_toast_text(), "Starting the quick test.");

    enter(finished_doc().json());
    test_screen_apply(&s_, TsAction::kStartFull);
    dir_.write_state("S1", running_doc().set("mode", q("quick")).json());
    test_screen_reload(&s_, clock_.mono_ms());
    EXPECT_STREQ(ui_toast_text(),
                 "The full test was refused: a quick test of this disk was already running.");
}

// A disk whose serial cannot name a file cannot be tested from here, and
// the screen says so at once instead of waiting for a run.
TEST_F(Screens, AnUntestableSerialIsSaidAtOnce) {
    std::strcpy(disk_.serial, "AB CD/1");
    enter("");
    g_spawns = 0;
    test_screen_apply(&s_, TsAction::kStartQuick);
    EXPECT_STREQ(
        ui_toast_text(),
        "This disk cannot be tested from here: its serial \"AB CD/1\" cannot name a file.");
    EXPECT_EQ(s_.pending_ms, 0);
    test_screen_apply(&s_, TsAction::kAskFull);
    EXPECT_EQ(g_dialog, 0);
    EXPECT_EQ(g_spawns, 0);
}

// A test queued behind another disk's has no device yet: leaving names the
// disk by its serial alone.
TEST_F(Screens, LeavingAQueuedTestNamesItWithoutADevice) {
    enter(running_doc().erase("dev").erase("map").set("phase", q("queued")).json());
    const std::string out = printed([&](std::FILE* f) { test_screen_summary(f, &s_); });
    EXPECT_EQ(out.substr(0, out.find('\n')),
              "corvantis: the surface test of WD-WCC4E1234567 keeps running: 0 of 4096 cells.");
}

// The pid of a state file is signalled only when it is this disk's test.
TEST_F(Screens, AStopNeverSignalsAnotherProgram) {
    const pid_t other = ::fork();
    if (other == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(1);
    }
    enter(running_doc().set("pid", std::to_string(other)).json());
    test_screen_apply(&s_, TsAction::kStop);
    EXPECT_STREQ(ui_toast_text(), "Could not stop the probe.");
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "still running";
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

TEST_F(Screens, AHungUpTerminalKeepsTheKeyWait) {
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    FdRedirect in(null_fd, STDIN_FILENO);
    EXPECT_EQ(scr_read_key(100), 0);
    EXPECT_NEAR(clock_.slept_ms(), 100.0, 1.0) << "no busy loop on end of input";
    ::close(null_fd);
}

// The automatic style reads the terminal's colours from COLORTERM and TERM;
// --ui and --ui2 decide alone.
TEST_F(Screens, ThemeFollowsTheStyleAndTheTerminal) {
    const struct {
        int style;
        const char *colorterm, *term;  // nullptr: unset
        const Theme* theme;
    } cases[] = {
        {0, "truecolor", "xterm", &kTheme256}, {0, nullptr, "xterm-256color", &kTheme256},
        {0, nullptr, "xterm", &kTheme16},      {0, "", "xterm", &kTheme16},
        {0, nullptr, nullptr, &kTheme16},      {1, "truecolor", "xterm-256color", &kTheme16},
        {2, nullptr, "xterm", &kTheme256},
    };
    const std::string colorterm = std::getenv("COLORTERM") ? std::getenv("COLORTERM") : "";
    const std::string term = std::getenv("TERM") ? std::getenv("TERM") : "";
    auto put = [](const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    };
    for (const auto& c : cases) {
        put("COLORTERM", c.colorterm);
        put("TERM", c.term);
        ui_choose_theme(c.style);
        EXPECT_EQ(g_theme, c.theme) << c.style << " " << (c.colorterm ? c.colorterm : "-") << " "
                                    << (c.term ? c.term : "-");
    }
    put("COLORTERM", colorterm.empty() ? nullptr : colorterm.c_str());
    put("TERM", term.empty() ? nullptr : term.c_str());
}

TEST_F(Screens, PickerWrapsAndOpensOnlyADisk) {
    int selected = 0;
    EXPECT_EQ(picker_key(KEY_UP, 30, &selected), PickerAction::kNone);
    EXPECT_EQ(selected, 29);
    EXPECT_EQ(picker_key('j', 30, &selected), PickerAction::kNone);
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(picker_key(KEY_ENTER, 0, &selected), PickerAction::kNone);
    EXPECT_EQ(picker_key(KEY_RIGHT, 30, &selected), PickerAction::kOpen);
    PickerDisk many[kPickerMax] = {};
    for (const int n : {0, kPickerMax})
        for (const int size : {1, 3, 24, 300}) {
            picker_draw(many, n, n - 1, size * 2, size);
            EXPECT_EQ(grid().find("No disks found.") != std::string::npos, n == 0 && size >= 24);
        }
}

// Columns are cut between characters and padded by cells, in the plain table
// as on the screen, so that non-ASCII text stays valid and rows line up.
TEST_F(Screens, ColumnsCutAndPadByCharacter) {
    PickerDisk disks[2] = {{"S1", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCÜX", "sdb", "4.0 TB", 1},
                           {"SÉRIAL-Ω", "Ünicode", "sdc", "2.0 TB", 1}};
    const std::string table = printed([&](std::FILE* f) { picker_print_table(f, disks, 2); });
    EXPECT_NE(
        table.find("\nsdb        ABCDEFGHIJKLMNOPQRSTUVWXYZABCÜ S1                         4.0 TB\n"
                   "sdc        Ünicode                        SÉRIAL-Ω                   2.0 TB\n"),
        std::string::npos)
        << table;

    picker_draw(disks, 2, -1, 120, 24);
    const std::string listed = "        │ sdc        Ünicode                       SÉRIAL-Ω  ";
    EXPECT_EQ(row(5).rfind(listed + "                 2.0 TB  -", 0), 0u) << grid();
}

// A disk of the list with its state file ("" for none).
struct Listed {
    const char* dev;
    const char* model;
    std::string serial;
    const char* size;
    std::string doc;
};

std::vector<Listed> many_disks(int n) {
    std::vector<Listed> disks;
    for (int i = 0; i < n; ++i)
        disks.push_back({"sdb", "MANY DISK", "ZA" + std::string(18, '0') + std::to_string(10 + i),
                         "4.0 TB", ""});
    disks[0].doc = running_doc().set("status", q("stale")).json();
    return disks;
}

// n disks with no test run, short serials but the one at index `at`.
std::vector<Listed> untested_disks(int n, int at, const std::string& serial) {
    std::vector<Listed> disks = many_disks(n);
    for (int i = 0; i < n; ++i) {
        disks[i].serial = i == at ? serial : "ZA" + std::to_string(10 + i);
        disks[i].doc = "";
    }
    return disks;
}

std::vector<std::string> lines(const std::string& header, int rows, const std::string& row) {
    std::vector<std::string> all{header};
    all.insert(all.end(), rows, row);
    return all;
}

// How many characters of each field, in order, a row of the list shows.
std::vector<int> shown_chars(const std::string& row, const std::vector<std::string>& fields) {
    const std::string edge = "│";
    std::string inner = row.substr(row.find(edge) + edge.size());
    inner = inner.substr(0, inner.rfind(edge));
    std::vector<int> shown;
    std::size_t at = 0;
    for (const std::string& f : fields) {
        at = std::min(inner.find_first_not_of(' ', at), inner.size());
        std::size_t k = 0;
        while (k < f.size() && at + k < inner.size() && inner[at + k] == f[k]) ++k;
        shown.push_back(static_cast<int>(k));
        at += k;
    }
    return shown;
}

// The list keeps its columns where they fit; a narrower one sizes them by what
// they hold, so that serials, sizes and statuses show whole, the model keeps
// its first 12 cells and then takes what it needs, and only the status header
// is cut to make room.
TEST_F(Screens, PickerShowsSizeAndStatusAtEveryWidth) {
    const std::string stale = running_doc().set("status", q("stale")).json();
    const std::string link =
        finished_doc().set("verdict", R"({"code":"link","reasons":[]})").json();
    const Listed wd{"sdb", "WDC WD40EFRX-68N32N0", "S1", "4.0 TB", stale};
    const std::vector<Listed> three{
        {"sda", "WDC WD40EFRX-68N32N0", "WD-WCC4N7HLPX2K", "4.0 TB", link},
        {"sdb", "ST4000VN008-2DR166", "ZDH1ABCD", "4.0 TB", stale},
        {"nvme0n1", "Samsung SSD 970 EVO Plus 1TB", "S4EWNX0N123456A", "1.0 TB", ""}};
    std::vector<Listed> untested = three;
    for (Listed& l : untested) l.doc = "";
    const struct {
        int w;
        std::vector<Listed> disks;
        std::vector<std::string> lines;  // from the header down
    } cases[] = {
        {120,
         {wd},
         {"        │ DEVICE     MODEL                         SERIAL                       SIZE  "
          "SURFACE TEST             │",
          "        │ sdb        WDC WD40EFRX-68N32N0          S1                         4.0 TB  "
          "Probe gone (stale state) │"}},
        {100,
         {{"sdb", "WDC WD40EFRX-68N32N0", "S1", "4.0 TB", finished_doc().json()}},
         {" │ DEVICE MODEL                SERIAL   SIZE  SURFACE TEST                             "
          "           │",
          " │ sdb    WDC WD40EFRX-68N32N0 S1     4.0 TB  DISK BAD                                 "
          "           │"}},
        {80,
         three,
         {" │ DEVICE  MODEL             SERIAL            SIZE  SURFACE TEST             │",
          " │ sda     WDC WD40EFRX-68N3 WD-WCC4N7HLPX2K 4.0 TB  LINK OR BACKPLANE        │",
          " │ sdb     ST4000VN008-2DR16 ZDH1ABCD        4.0 TB  Probe gone (stale state) │",
          " │ nvme0n1 Samsung SSD 970 E S4EWNX0N123456A 1.0 TB  -                        │"}},
        // As many as fit on 24 rows, the longest serial and status among them.
        {80, many_disks(70),
         lines(" │ DEVICE MODEL        SERIAL ", 18, " │ sdb    MANY DISK    ZA0000")},
        // No test run yet: the model takes what its texts need, the status
        // header what is left.
        {80,
         untested,
         {" │ DEVICE  MODEL                        SERIAL            SIZE  SURFACE TEST  │",
          " │ sda     WDC WD40EFRX-68N32N0         WD-WCC4N7HLPX2K 4.0 TB  -             │",
          " │ sdb     ST4000VN008-2DR166           ZDH1ABCD        4.0 TB  -             │",
          " │ nvme0n1 Samsung SSD 970 EVO Plus 1TB S4EWNX0N123456A 1.0 TB  -             │"}},
        {70,
         untested,
         {" │ DEVICE  MODEL                        SERIAL            SIZE  SUR │",
          " │ sda     WDC WD40EFRX-68N32N0         WD-WCC4N7HLPX2K 4.0 TB  -   │",
          " │ sdb     ST4000VN008-2DR166           ZDH1ABCD        4.0 TB  -   │",
          " │ nvme0n1 Samsung SSD 970 EVO Plus 1TB S4EWNX0N123456A 1.0 TB  -   │"}},
        {60,
         untested,
         {" │ DEVICE  MODEL                SERIAL            SIZE  S │",
          " │ sda     WDC WD40EFRX-68N32N0 WD-WCC4N7HLPX2K 4.0 TB  - │",
          " │ sdb     ST4000VN008-2DR166   ZDH1ABCD        4.0 TB  - │",
          " │ nvme0n1 Samsung SSD 970 EVO  S4EWNX0N123456A 1.0 TB  - │"}},
        {80, untested_disks(36, 5, "WD-WX1234567890ABCDEF9"),
         [] {
             auto all = lines(
                 " │ DEVICE MODEL        SERIAL                   SIZE  SURFACE TEST            │",
                 5, " │ sdb    MANY DISK    ZA");
             all.push_back(
                 " │ sdb    MANY DISK    WD-WX1234567890ABCDEF9 4.0 TB  -                       │");
             return all;
         }()},
    };
    auto draw_list = [&](const std::vector<Listed>& listed, int w) {
        std::vector<PickerDisk> disks(listed.size());
        for (std::size_t i = 0; i < listed.size(); ++i) {
            const Listed& l = listed[i];
            disks[i] = PickerDisk{};
            std::strcpy(disks[i].dev, l.dev);
            std::strcpy(disks[i].model, l.model);
            std::strcpy(disks[i].serial, l.serial.c_str());
            std::strcpy(disks[i].size_text, l.size);
            if (l.doc.empty())
                ::unlink(dir_.state_path(l.serial).c_str());
            else
                dir_.write_state(l.serial, l.doc);
        }
        picker_draw(disks.data(), static_cast<int>(disks.size()), 0, w, 24);
    };
    for (const auto& c : cases) {
        draw_list(c.disks, c.w);
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_EQ(row(3 + static_cast<int>(i)).rfind(c.lines[i], 0), 0u)
                << c.w << " line " << i << "\n"
                << grid();
    }

    // One column more never shows less of any text.
    const std::vector<std::string> header{"DEVICE", "MODEL", "SERIAL", "SIZE", "SURFACE TEST"};
    const std::vector<std::string> statuses{"LINK OR BACKPLANE", "Probe gone (stale state)", "-"};
    for (const auto& listed : {untested, three}) {
        std::vector<std::vector<int>> before;
        for (int w = 20; w <= 110; ++w) {
            draw_list(listed, w);
            std::vector<std::vector<int>> now{shown_chars(row(3), header)};
            for (std::size_t i = 0; i < listed.size(); ++i)
                now.push_back(
                    shown_chars(row(4 + static_cast<int>(i)),
                                {listed[i].dev, listed[i].model, listed[i].serial, listed[i].size,
                                 listed[i].doc.empty() ? "-" : statuses[i]}));
            for (std::size_t r = 0; r < before.size(); ++r)
                for (std::size_t f = 0; f < now[r].size(); ++f)
                    EXPECT_GE(now[r][f], before[r][f])
                        << w << " line " << r << " field " << f << "\n"
                        << grid();
            before = now;
        }
    }
}

}  // namespace
