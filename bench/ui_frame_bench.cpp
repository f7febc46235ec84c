// One frame of the test screen's surface map, 4096 cells drawn into a 200 x 60
// grid and flushed: the time per frame and the bytes written per frame, for
// a map of long runs of one grade and for one whose every cell differs from
// its neighbour, in both palettes, written to /dev/null and to a
// pseudo-terminal whose other side a child process reads. Prints figures;
// asserts nothing.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "surface_ui/screen.h"
#include "surface_ui/surface_map.h"
#include "surface_ui/view.h"

namespace {

constexpr int kCols = 200;
constexpr int kRows = 60;
constexpr int kFrames = 400;

std::string make_codes(bool scattered) {
    std::string codes(4096, '.');
    unsigned seed = 12345;
    for (int i = 0; i < 3000; ++i) {
        seed = seed * 1103515245u + 12345u;
        if (scattered) {
            codes[i] = "abcdefELB"[(seed >> 16) % 9];
        } else {
            codes[i] = i / 300 % 2 ? 'a' : 'b';
            if ((seed >> 16) % 97 == 0) codes[i] = "efELB"[(seed >> 8) % 5];
        }
    }
    return codes;
}

// The map box and its contents as the test screen lays them out at 200 x 60
// with the side panel: a 157-column map area, inner area 153 x 53.
void draw_frame(const ProbeView* view, HeadAnim* anim, double now) {
    scr_resize(kCols, kRows);
    scr_clear();
    scr_box(0, 1, 157, kRows - 5, "Surface map");
    map_draw(view, anim, 2, 2, 153, kRows - 7, now);
}

struct Figures {
    double mean_ms, p99_ms, max_ms;
};

Figures measure(const ProbeView* view, int out_fd) {
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    HeadAnim anim{};
    map_head_anim_update(&anim, view);
    std::vector<double> ms;
    for (int f = 0; f < kFrames; ++f) {
        const auto t0 = std::chrono::steady_clock::now();
        draw_frame(view, &anim, f * 100.0);
        scr_flush();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double m : ms) sum += m;
    return {sum / kFrames, ms[kFrames * 99 / 100], ms.back()};
}

// Bytes of one frame: the flush written into a pipe.
std::size_t frame_bytes(const ProbeView* view) {
    int p[2];
    if (::pipe(p) != 0) return 0;
    ::fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(p[1], STDOUT_FILENO);
    HeadAnim anim{};
    map_head_anim_update(&anim, view);
    draw_frame(view, &anim, 0);
    scr_flush();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(p[1]);
    std::size_t total = 0;
    char buf[65536];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) total += static_cast<std::size_t>(n);
    ::close(p[0]);
    return total;
}

}  // namespace

int main() {
    const struct {
        const char* name;
        bool scattered;
    } maps[] = {{"runs of one grade", false}, {"every cell different", true}};
    const struct {
        const char* name;
        const Theme* theme;
    } themes[] = {{"256 colours", &kTheme256}, {"16 colours", &kTheme16}};

    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_col = kCols;
    ws.ws_row = kRows;
    if (null_fd < 0 || ::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
        std::perror("setup");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    const pid_t reader = ::fork();
    if (reader == 0) {  // the terminal: reads everything as fast as it comes
        ::close(slave);
        char buf[65536];
        while (::read(master, buf, sizeof buf) > 0) {
        }
        ::_exit(0);
    }
    ::close(master);

    std::printf("%d frames of a 4096-cell map at %dx%d (one cell per character)\n", kFrames, kCols,
                kRows);
    std::printf("%-22s %-12s %9s %26s %26s\n", "map", "palette", "bytes",
                "to /dev/null ms (mean/p99/max)", "to a pty ms (mean/p99/max)");
    for (const auto& m : maps) {
        std::string codes = make_codes(m.scattered);
        ProbeView view{};
        view.present = 1;
        std::strcpy(view.status, "running");
        std::strcpy(view.phase, "verify");
        view.started_ts = 1800000000;
        view.map.cells = 4096;
        view.map.done = 3000;
        view.map.codes = codes.data();
        view.map.codes_len = 4096;
        for (const auto& t : themes) {
            g_theme = t.theme;
            const std::size_t bytes = frame_bytes(&view);
            const Figures dn = measure(&view, null_fd);
            const Figures tty = measure(&view, slave);
            std::printf("%-22s %-12s %9zu %12.3f/%.3f/%.3f %14.3f/%.3f/%.3f\n", m.name, t.name,
                        bytes, dn.mean_ms, dn.p99_ms, dn.max_ms, tty.mean_ms, tty.p99_ms,
                        tty.max_ms);
        }
    }
    ::close(slave);
    ::kill(reader, SIGTERM);
    ::waitpid(reader, nullptr, 0);
    return 0;
}
