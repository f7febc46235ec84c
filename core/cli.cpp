#include "core/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/paths.h"

int g_temp_limit = -1;
double g_max_rate = 0.0;
char** g_argv = nullptr;

namespace {

constexpr char kUsage[] =
    "usage: corvantisd {init|tick|dump|watch|forget|prune|status|probe|probe-ui|probe-stop|flags|"
    "flag-clear}\n"
    "  [--qpkg-root P] [--serial S] [--mode quick|full] [--wwn W] [--conf PATH]\n"
    "  probe pace: [--temp-limit auto|off|C] (default auto: the drive's own threshold) "
    "[--max-rate MiB/s]\n"
    "  surface test on a terminal (SSH):\n"
    "    corvantisd probe-ui                         pick a disk, watch or start its test\n"
    "    corvantisd probe --serial S --mode quick    start a test and watch it (q leaves, the test "
    "keeps running)\n"
    "    --ui2 256 colours (default on a 256-colour terminal) \xC2\xB7 --ui 16 colours \xC2\xB7 "
    "--plain progress lines\n"
    "    --json  the old foreground run that prints one JSON line (what the web API uses)\n";

constexpr char kTempLimitError[] = "corvantisd: --temp-limit auto, off or 30..95 (degrees C)\n";
constexpr char kMaxRateError[] = "corvantisd: --max-rate MiB/s (0 = no limit)\n";
constexpr char kRootTooLong[] = "corvantisd: --qpkg-root path too long\n";

constexpr int kMaxArgcForRewrite = 69;

void write_stderr(const char* text, std::size_t n) {
    (void)std::fwrite(text, 1, n, stderr);
}

// "auto", "off" or whole degrees; trailing text after the digits is ignored.
// The range is checked on the full 64-bit value so that a huge number cannot
// wrap into the valid range.
int parse_temp_limit(const char* value) {
    if (std::strcmp(value, "auto") == 0) {
        g_temp_limit = -1;
        return 0;
    }
    if (std::strcmp(value, "off") == 0) {
        g_temp_limit = 0;
        return 0;
    }
    const long long degrees = std::strtoll(value, nullptr, 10);
    if (degrees < 30 || degrees > 95) return -1;
    g_temp_limit = static_cast<int>(degrees);
    return 0;
}

// A text that is no number reads as 0.0 (no limit). NaN and infinities are
// refused: NaN would pass both range checks and later print invalid JSON.
int parse_max_rate(const char* value) {
    const double rate = std::strtod(value, nullptr);
    if (!std::isfinite(rate) || rate < 0.0 || rate > 100000.0) return -1;
    g_max_rate = rate;
    return 0;
}

}  // namespace

int cli_default_command(int argc, char** argv, char** slots, char*** used) {
    const char* first = argc > 1 ? argv[1] : nullptr;
    const bool no_word = argc <= 1;
    const bool option_first = first && first[0] == '-' && std::strcmp(first, "--help") != 0 &&
                              std::strcmp(first, "-h") != 0 && argc <= kMaxArgcForRewrite;
    if (!no_word && !option_first) {
        *used = argv;
        return argc;
    }
    static char probe_ui[] = "probe-ui";
    static char default_name[] = "corvantisd";
    char* name_arg = argc > 0 && argv[0] ? argv[0] : default_name;
    int n = 0;
    slots[n++] = name_arg;
    slots[n++] = probe_ui;
    for (int i = 1; i < argc; ++i) slots[n++] = argv[i];
    slots[n] = nullptr;
    const char* name = std::getenv("QORM_CLI_NAME");
    if (!name || !*name) ::setenv("QORM_CLI_NAME", name_arg, 1);
    *used = slots;
    return n;
}

int cli_parse_options(int argc, char** argv, CliOptions* opt) {
    for (int i = 2; i < argc; ++i) {
        const char* word = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const char** text_target = nullptr;
        if (std::strcmp(word, "--qpkg-root") == 0)
            text_target = &opt->qpkg_root;
        else if (std::strcmp(word, "--serial") == 0)
            text_target = &opt->serial;
        else if (std::strcmp(word, "--mode") == 0)
            text_target = &opt->mode;
        else if (std::strcmp(word, "--wwn") == 0)
            text_target = &opt->wwn;
        else if (std::strcmp(word, "--conf") == 0)
            text_target = &opt->conf;

        if (text_target) {
            if (value) *text_target = argv[++i];
            // A root cut to fit its field would be a different directory: refuse it.
            if (text_target == &opt->qpkg_root && value && std::strlen(value) >= kRootSize) {
                write_stderr(kRootTooLong, sizeof kRootTooLong - 1);
                return 2;
            }
        } else if (std::strcmp(word, "--ui") == 0) {
            opt->style = kStyle16;
        } else if (std::strcmp(word, "--ui2") == 0) {
            opt->style = kStyle256;
        } else if (std::strcmp(word, "--plain") == 0) {
            opt->style = kStylePlain;
        } else if (std::strcmp(word, "--json") == 0) {
            opt->json = 1;
        } else if (std::strcmp(word, "--temp-limit") == 0) {
            if (!value) continue;
            ++i;
            if (parse_temp_limit(value) != 0) {
                write_stderr(kTempLimitError, sizeof kTempLimitError - 1);
                return 2;
            }
        } else if (std::strcmp(word, "--max-rate") == 0) {
            if (!value) continue;
            ++i;
            if (parse_max_rate(value) != 0) {
                write_stderr(kMaxRateError, sizeof kMaxRateError - 1);
                return 2;
            }
        }
    }
    return 0;
}

void cli_print_usage() {
    write_stderr(kUsage, sizeof kUsage - 1);
}
