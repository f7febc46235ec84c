#include "core/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/run.h"
#include "core/util.h"

char g_root[kRootSize];
char g_var_dir[kVarDirSize];
char g_db_path[kDbPathSize];

namespace {

constexpr int kGetcfgTimeoutS = 10;

// The install path that the NAS's package registry holds for us, if any. A
// first line that does not fit the field is not trusted: a cut path would send
// every file of the program to a directory nobody asked for. A registry that
// hangs is killed at its limit and counts as silent.
void root_from_registry() {
    static const char* const kGetcfg[] = {"/sbin/getcfg",          "qorm", "Install_Path", "-f",
                                          "/etc/config/qpkg.conf", nullptr};
    const int n = run_first_line(kGetcfg, kGetcfgTimeoutS, g_root, sizeof g_root);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof g_root) g_root[0] = '\0';
}

void root_from_executable() {
    char exe[480];
    const ssize_t n = ::readlink("/proc/self/exe", exe, 479);
    if (n < 0) return;
    exe[n] = '\0';
    char* slash = std::strrchr(exe, '/');
    if (slash) *slash = '\0';
    (void)std::snprintf(g_root, sizeof g_root, "%s/corvantisd-cli", exe);
}

}  // namespace

void paths_init(const char* override_root) {
    g_root[0] = '\0';
    if (override_root && *override_root) str_copy(g_root, sizeof g_root, override_root);
    if (!g_root[0]) root_from_registry();
    if (!g_root[0]) root_from_executable();
    if (!g_root[0]) str_copy(g_root, sizeof g_root, "/usr/app/qorm");
    (void)std::snprintf(g_var_dir, sizeof g_var_dir, "%s/var/corvantis", g_root);
    (void)std::snprintf(g_db_path, sizeof g_db_path, "%s/corvantis.db", g_var_dir);
}

void paths_ensure_dirs() {
    char var[kVarDirSize];
    (void)std::snprintf(var, sizeof var, "%s/var", g_root);
    ::mkdir(g_root, 0755);
    ::mkdir(var, 0755);
    ::mkdir(g_var_dir, 0755);
}
