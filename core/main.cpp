// corvantisd: the single entry of the program. Parses the command line,
// resolves the package paths and hands the process over to one command.
#include <unistd.h>

#include <cstring>

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

// Commands whose bodies are not in this build yet answer with a failure,
// never with a pretended success.
int not_built(const char* command) {
    log_msg("%s: not built yet", command);
    return 1;
}

bool is(const char* word, const char* command) {
    return std::strcmp(word, command) == 0;
}

// The commands that take the process over; main opens nothing for them.
// Returns -1 when the word is none of them.
int dispatch_own_process(const char* word, const CliOptions& opt) {
    const int style = opt.style > 0 ? opt.style : 0;
    if (is(word, "watch")) return not_built("watch");
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
    (void)opt;
    if (is(word, "init")) {
        log_msg("schema ready at %s", g_db_path);
        return 0;
    }
    if (is(word, "tick")) return not_built("tick");
    if (is(word, "dump")) return not_built("dump");
    if (is(word, "forget")) return not_built("forget");
    if (is(word, "prune")) return not_built("prune");
    if (is(word, "status")) return not_built("status");
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
    db_close();
    return code;
}
