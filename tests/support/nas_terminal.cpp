#include "tests/support/nas_terminal.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/run.h"
#include "core/strbuf.h"
#include "tests/support/fake_nas.h"

namespace {

constexpr char kTmux[] = "/usr/bin/tmux";

std::string quoted(const std::string& word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string join(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& w : words) line += (line.empty() ? "" : " ") + quoted(w);
    return line;
}

std::vector<pid_t> children(pid_t pid) {
    std::vector<pid_t> out;
    const std::string list =
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = list.find(' ', at);
        const std::string word = list.substr(at, end == std::string::npos ? end : end - at);
        if (!word.empty()) out.push_back(static_cast<pid_t>(std::atol(word.c_str())));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

std::string exe_of(pid_t pid) {
    char buf[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

bool poll_until(const std::function<bool()>& fn, int timeout_s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (std::chrono::steady_clock::now() < end) {
        if (fn()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fn();
}

NasTerminal::NasTerminal(const FakeNas& nas, const std::vector<std::string>& args,
                         const TerminalOptions& opts)
    : socket_(dir_.path() + "/tmux.sock") {
    if (::access(kTmux, X_OK) != 0) {
        error_ = "no tmux";
        return;
    }
    RunOptions hold;
    hold.exe = "/bin/sleep";
    hold.timeout_s = 5;
    holder_ = std::make_unique<NasProcess>(nas.start({"3600"}, hold));

    std::vector<std::string> program = {"env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                        "TERM=" + opts.term};
    for (const auto& [name, value] : opts.env) program.push_back(name + "=" + value);
    program.push_back(CORVANTISD_BIN);
    program.insert(program.end(), args.begin(), args.end());
    const std::string script =
        opts.shell_after
            ? join(program) + "; echo \"exit $?\"; read line; echo \"got $line\"; sleep 3600"
            : "exec " + join(program);
    std::vector<std::string> enter = {"nsenter", "-t", std::to_string(holder_->pid()), "-m",
                                      "--wd=/"};
    if (opts.uid != 0) {
        enter.push_back("-S" + std::to_string(opts.uid));
        enter.push_back("-G" + std::to_string(opts.uid));
    }
    enter.insert(enter.end(), {"--", "/bin/sh", "-c", script});

    const std::string conf = dir_.path() + "/tmux.conf";
    write_file(conf, "set -g remain-on-exit on\nset -g status off\nset -g history-limit 100\n");
    if (tmux({"-f", conf, "new-session", "-d", "-s", "t", "-x", std::to_string(opts.cols), "-y",
              std::to_string(opts.rows), join(enter)}) != 0)
        error_ = "tmux new-session failed";
}

NasTerminal::~NasTerminal() {
    if (const pid_t pid = program_pid()) ::kill(pid, SIGKILL);
    tmux({"kill-server"});
    if (holder_) holder_->signal(SIGKILL);
}

int NasTerminal::tmux(const std::vector<std::string>& args, std::string* out) const {
    std::vector<const char*> argv = {kTmux, "-S", socket_.c_str()};
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    StrBuf sb;
    const int rc = run_capture(argv.data(), &sb, 20);
    if (out) *out = sb.c_str();
    return rc;
}

void NasTerminal::keys(const std::vector<std::string>& names) const {
    std::vector<std::string> args = {"send-keys", "-t", "t"};
    args.insert(args.end(), names.begin(), names.end());
    tmux(args);
}

std::string NasTerminal::text() const {
    std::string out;
    tmux({"capture-pane", "-p", "-t", "t"}, &out);
    return out;
}

std::string NasTerminal::styled() const {
    std::string out;
    tmux({"capture-pane", "-p", "-e", "-t", "t"}, &out);
    return out;
}

bool NasTerminal::wait_for(const std::string& needle, int timeout_s) const {
    return poll_until([&] { return text().find(needle) != std::string::npos; }, timeout_s);
}

bool NasTerminal::wait_for_gone(const std::string& needle, int timeout_s) const {
    return poll_until([&] { return text().find(needle) == std::string::npos; }, timeout_s);
}

void NasTerminal::resize(int cols, int rows) const {
    tmux({"resize-window", "-t", "t", "-x", std::to_string(cols), "-y", std::to_string(rows)});
}

std::string NasTerminal::pane(const std::string& format) const {
    std::string out;
    tmux({"display-message", "-p", "-t", "t", format}, &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

pid_t NasTerminal::program_pid() const {
    const pid_t shell = static_cast<pid_t>(std::atol(pane("#{pane_pid}").c_str()));
    if (shell <= 0) return 0;
    if (exe_of(shell) == CORVANTISD_BIN) return shell;
    for (const pid_t child : children(shell))
        if (exe_of(child) == CORVANTISD_BIN) return child;
    return 0;
}
