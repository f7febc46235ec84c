// The program's one log: timestamped lines on standard error.
#pragma once

// Writes "[YYYY-MM-DD HH:MM:SS] " in local time, the formatted message and a newline.
void log_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
