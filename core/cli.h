// The command line: the default-command rewrite, the options and the usage text.
#pragma once

// Surface-test temperature limit: -1 automatic, 0 off, else 30..95 degrees C.
extern int g_temp_limit;
// Surface-test rate cap in MiB/s; 0.0 means no limit.
extern double g_max_rate;
// The argument vector as actually used, kept so that `watch` can re-execute itself.
extern char** g_argv;

// Display styles chosen by --ui, --ui2 and --plain.
enum CliStyle { kStyleNone = -1, kStyle16 = 1, kStyle256 = 2, kStylePlain = 3 };

struct CliOptions {
    const char* qpkg_root = nullptr;
    const char* serial = nullptr;
    const char* mode = nullptr;
    const char* wwn = nullptr;
    const char* conf = nullptr;
    int style = kStyleNone;
    int json = 0;
};

// Slots of the rewritten vector: program name, "probe-ui", the arguments (68 at
// most: the rewrite needs argc <= 69), NULL.
inline constexpr int kCliArgvSlots = 72;

// With no command word (nothing, or an option first) the vector becomes
// program name, "probe-ui", then the arguments given, written into slots; else
// argv is kept. Sets QORM_CLI_NAME when it rewrites and the variable is unset.
// Returns the count of the vector used and stores the vector in *used.
int cli_default_command(int argc, char** argv, char** slots, char*** used);

// Reads the options from argv[2] on into opt, g_temp_limit and g_max_rate.
// A bad --temp-limit or --max-rate value, or a --qpkg-root too long for its
// field, writes one line to standard error and returns 2; otherwise 0.
int cli_parse_options(int argc, char** argv, CliOptions* opt);

// The usage text, written to standard error in one piece.
void cli_print_usage();
