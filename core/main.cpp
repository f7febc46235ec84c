// corvantisd: the single entry of the program. Parses the command line,
// resolves the package paths and hands the process over to one command.
#include <unistd.h>

#include <cstring>

#include "collector/maintenance.h"
#include "collector/polls.h"
#include "collector/watch.h"
#include "core/cli.h"
#include "core/db.h"
#include "core/log.h"
#include "core/paths.h"
#include "nas_flags/flag_clear.h"
#include "nas_flags/flags.h"
#include "surface_test/probe_result.h"
#include "surface_test/probe_run.h"
#include "surface_ui/probe_ui.h"

namespace {

bool is(const char* word, const char* command) {
    return std::strcmp(word, command) == 0;
}

// The commands that take the process over; main opens nothing for them.
// Returns -1 when the word is none of them.
int dispatch_own_process(const char* word, const CliOptions& opt) {
    const int style = opt.style > 0 ? opt.style : 0;
    if (is(word, "watch")) return cmd_watch();
    if (is(word, "probe")) {
        const bool terminal = opt.style > 0 || (isatty(1) && isatty(0));
        if (!opt.json && terminal) {
            const char* mode = opt.mode ? opt.mode : (opt.serial ? "quick" : nullptr);
            return cmd_probe_ui(opt.serial, mode, style);
        }
        return probe_run(opt.serial, opt.mode);
    }
    if (is(word, "probe-ui")) return cmd_probe_ui(opt.serial, opt.mode, style);
    if (is(word, "probe-stop")) return cmd_probe_stop(opt.serial);
    if (is(word, "flags")) return cmd_flags(opt.conf);
    if (is(word, "flag-clear")) return cmd_flag_clear(opt.wwn, opt.conf);
    return -1;
}

// The commands that run with the database open (main has created it and its
// schema); any other word ends in the usage text.
int dispatch_database(const char* word, const CliOptions& opt) {
    if (is(word, "init")) {
        log_msg("schema ready at %s", g_db_path);
        return 0;
    }
    if (is(word, "tick")) return cmd_tick();
    if (is(word, "dump")) return cmd_dump(opt.serial);
    if (is(word, "forget")) return cmd_forget(opt.serial);
    if (is(word, "prune")) return cmd_prune();
    if (is(word, "status")) return cmd_status();
    cli_print_usage();
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    static char* slots[kCliArgvSlots];
    char** args = nullptr;
    argc = cli_default_command(argc, argv, slots, &args);
    g_argv = args;

    CliOptions opt;
    if (cli_parse_options(argc, args, &opt) != 0) return 2;

    paths_init(opt.qpkg_root);
    paths_ensure_dirs();

    const char* word = argc > 1 ? args[1] : "";
    const int rc = dispatch_own_process(word, opt);
    if (rc >= 0) return rc;
    if (db_open(1) != 0) return 1;
    const int code = dispatch_database(word, opt);
    tick_lock_release();
    db_close();
    return code;
}
