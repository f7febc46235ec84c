#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "core/clock.h"

void log_msg(const char* fmt, ...) {
    const auto now = static_cast<std::time_t>(clock_now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    (void)std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    (void)std::fprintf(stderr, "[%s] ", stamp);
    va_list ap;
    va_start(ap, fmt);
    (void)std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    (void)std::fputc('\n', stderr);
}
