// The probe-ui command, and `probe` on a terminal: the disk list, the plain
// follower or the full-screen picker and test screen. It never runs a test
// itself and never opens the database.
#pragma once

// style: 0 automatic, 1 16 colours (--ui), 2 256 colours (--ui2), 3 plain.
// Returns the exit code: 2 for a bad mode or serial, the plain follower's
// code when it runs, 1 when the plain table could not be written, else 0.
int cmd_probe_ui(const char* serial, const char* mode, int style);

// The command's name in hints: QORM_CLI_NAME when set and non-empty, else
// this executable's path, else "corvantisd".
const char* ui_program_name();
// "probe-ui " when QORM_CLI_NAME is not set at all, else "": the hint then
// repeats what the user typed.
const char* ui_cli_word();

// The theme for a style and the environment's COLORTERM and TERM.
void ui_choose_theme(int style);
