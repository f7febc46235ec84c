#include "tests/support/nas_terminal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "core/run.h"
#include "core/strbuf.h"

namespace {

constexpr char kTmux[] = "/usr/bin/tmux";

std::string join_quoted(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) {
        line += line.empty() ? "'" : " '";
        for (char c : w) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += "'";
    }
    return line;
}

std::string exe_of(pid_t pid) {
    char buf[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

NasTerminal::NasTerminal(const FakeNas& nas, const std::vector<std::string>& args,
                         const TerminalOptions& opts)
    : nas_(nas), socket_(dir_.path() + "/tmux.sock") {
    if (::access(kTmux, X_OK) != 0) {
        error_ = "no tmux";
        return;
    }
    RunOptions hold;
    hold.exe = "/bin/sleep";
    hold.timeout_s = 5;
    holder_ = nas.start({"3600"}, hold);

    std::vector<std::string> program = {"env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                        "TERM=" + opts.term, CORVANTISD_BIN};
    program.insert(program.end(), args.begin(), args.end());
    const std::string script =
        join_quoted(program) + "; echo \"exit $?\"; read line; echo \"got $line\"; sleep 3600";
    std::vector<std::string> enter = {"nsenter", "-t", std::to_string(holder_.pid), "-m", "--wd=/"};
    if (opts.uid != 0)
        enter.insert(enter.end(),
                     {"-S" + std::to_string(opts.uid), "-G" + std::to_string(opts.uid)});
    enter.insert(enter.end(), {"--", "/bin/sh", "-c", script});
    const std::string conf = dir_.path() + "/tmux.conf";
    write_file(conf, "set -g remain-on-exit on\nset -g status off\n");
    int rc = 0;
    tmux({"-f", conf, "new-session", "-d", "-s", "t", "-x", std::to_string(opts.cols), "-y",
          std::to_string(opts.rows), join_quoted(enter)},
         &rc);
    if (rc != 0) error_ = "tmux new-session failed";
}

NasTerminal::~NasTerminal() {
    if (const pid_t pid = program_pid()) ::kill(pid, SIGKILL);
    tmux({"kill-server"});
    if (holder_.pid > 0) {
        ::kill(holder_.pid, SIGKILL);
        nas_.wait(holder_, 5);
    }
}

std::string NasTerminal::tmux(const std::vector<std::string>& args, int* rc) const {
    std::vector<const char*> argv = {kTmux, "-S", socket_.c_str()};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    StrBuf out;
    const int status = run_capture(argv.data(), &out, 20);
    if (rc) *rc = status;
    return out.c_str();
}

void NasTerminal::keys(const std::vector<std::string>& names) const {
    std::vector<std::string> args = {"send-keys", "-t", "t"};
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
}

std::string NasTerminal::text() const {
    return tmux({"capture-pane", "-p", "-t", "t"});
}

std::string NasTerminal::styled() const {
    return tmux({"capture-pane", "-p", "-e", "-t", "t"});
}

bool NasTerminal::wait_for(const std::string& needle, int timeout_s) const {
    return wait_until([&] { return text().find(needle) != std::string::npos; }, timeout_s);
}

void NasTerminal::resize(int cols, int rows) const {
    tmux({"resize-window", "-t", "t", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

std::string NasTerminal::pane(const std::string& format) const {
    std::string out = tmux({"display-message", "-p", "-t", "t", format});
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// The pane's shell runs corvantisd as its child.
pid_t NasTerminal::program_pid() const {
    const std::string shell = pane("#{pane_pid}");
    if (std::atol(shell.c_str()) <= 0) return 0;
    std::istringstream children(read_file("/proc/" + shell + "/task/" + shell + "/children"));
    for (pid_t child = 0; children >> child;)
        if (exe_of(child) == CORVANTISD_BIN) return child;
    return 0;
}
