#include "surface_test/probe_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "surface_test/probe_state_file.h"

ProbeState g_probe;
volatile std::sig_atomic_t g_probe_stop = 0;
int g_probe_queue_fd = -1;
const char* g_probe_root = "";

namespace {
constexpr double kWaitSliceMs = 200.0;
}

int probe_wait_ms(double ms, void (*after_slice)()) {
    const double end = clock_mono_ms() + ms;
    for (double left = ms; left > 0; left = end - clock_mono_ms()) {
        if (g_probe_stop) return -1;
        clock_sleep_ms(left < kWaitSliceMs ? left : kWaitSliceMs);
        if (after_slice) after_slice();
        probe_state_save_due();
    }
    return g_probe_stop ? -1 : 0;
}

namespace {

int format_into(char* out, std::size_t size, const char* fmt, va_list ap) {
    const int n = std::vsnprintf(out, size, fmt, ap);
    if (n >= 0 && static_cast<std::size_t>(n) < size) return 0;
    if (size > 0) out[0] = '\0';
    return -1;
}

}  // namespace

int probe_format(char* out, std::size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = format_into(out, size, fmt, ap);
    va_end(ap);
    return r;
}

int probe_path(char* out, std::size_t size, const char* fmt, ...) {
    if (size == 0) return -1;
    const int head = std::snprintf(out, size, "%s", g_probe_root ? g_probe_root : "");
    if (head < 0 || static_cast<std::size_t>(head) >= size) {
        out[0] = '\0';
        return -1;
    }
    va_list ap;
    va_start(ap, fmt);
    const int r = format_into(out + head, size - static_cast<std::size_t>(head), fmt, ap);
    va_end(ap);
    if (r != 0) out[0] = '\0';
    return r;
}
