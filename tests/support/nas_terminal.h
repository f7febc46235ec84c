// NasTerminal: a real terminal (a tmux pane of the given size) in which a
// program runs inside a FakeNas, driven and read as a person would: keys in
// with send-keys, the screen out with capture-pane. tmux runs on the host;
// the pane's program enters the fake NAS's mount namespace through a process
// that stays inside it. The pane stays after the program ends, so the
// restored terminal and what was printed there can be read.
//
//   NasTerminal t(nas, {"probe-ui", "--qpkg-root", nas.pkg_root()}, {.cols = 120, .rows = 40});
//   ASSERT_TRUE(t.wait_for("pick a disk"));
//   t.keys({"Down", "Enter"});
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

class FakeNas;
class NasProcess;

struct TerminalOptions {
    int cols = 80;
    int rows = 24;
    std::string term = "xterm";  // TERM of the program; COLORTERM is never set
    uid_t uid = 0;               // runs the program as this user (and group)
    // After the program: a shell prints "exit <code>" and echoes one typed line
    // ("got <line>"), which shows whether the terminal was given back cooked.
    bool shell_after = true;
    std::vector<std::pair<std::string, std::string>> env{};
};

class NasTerminal {
   public:
    // Runs corvantisd with args in the pane.
    NasTerminal(const FakeNas& nas, const std::vector<std::string>& args,
                const TerminalOptions& opts = {});
    ~NasTerminal();
    NasTerminal(const NasTerminal&) = delete;
    NasTerminal& operator=(const NasTerminal&) = delete;

    // Empty when the terminal runs; why not otherwise.
    const std::string& error() const { return error_; }

    // tmux key names ("Enter", "Down", "Escape", "q").
    void keys(const std::vector<std::string>& names) const;
    // The screen as text, one line per row, trailing blanks cut.
    std::string text() const;
    // The same with the colour and attribute sequences tmux keeps.
    std::string styled() const;
    // Polls the screen until it holds needle; false after timeout_s.
    bool wait_for(const std::string& needle, int timeout_s = 60) const;
    bool wait_for_gone(const std::string& needle, int timeout_s = 60) const;
    void resize(int cols, int rows) const;
    // tmux's format values of the pane ("#{alternate_on}", "#{cursor_flag}").
    std::string pane(const std::string& format) const;
    // The corvantisd process of the pane (0 once it has ended).
    pid_t program_pid() const;

   private:
    int tmux(const std::vector<std::string>& args, std::string* out = nullptr) const;

    TempDir dir_;
    std::string socket_;
    std::unique_ptr<NasProcess> holder_;
    std::string error_;
};

// Polls fn until it holds; false after timeout_s.
bool poll_until(const std::function<bool()>& fn, int timeout_s = 60);
