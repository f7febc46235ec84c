// NasTerminal: a real terminal (a tmux pane) in which corvantisd runs inside
// a FakeNas, driven and read as a person would: keys in with send-keys, the
// screen out with capture-pane. tmux runs on the host; the program enters the
// fake NAS's mount namespace through a process that stays inside it. After
// the program a shell prints "exit <code>" and echoes one typed line as
// "got <line>", which shows whether the terminal was given back usable.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_nas.h"
#include "tests/support/temp_dir.h"

struct TerminalOptions {
    int cols = 80;
    int rows = 24;
    std::string term = "xterm";  // TERM of the program; COLORTERM is never set
    uid_t uid = 0;               // runs the program as this user and group
};

class NasTerminal {
   public:
    NasTerminal(const FakeNas& nas, const std::vector<std::string>& args,
                const TerminalOptions& opts = {});
    ~NasTerminal();
    NasTerminal(const NasTerminal&) = delete;
    NasTerminal& operator=(const NasTerminal&) = delete;

    // Empty when the terminal runs; why not otherwise.
    const std::string& error() const { return error_; }
    // tmux key names ("Enter", "Down", "q").
    void keys(const std::vector<std::string>& names) const;
    // The screen as text; styled() keeps the colour sequences.
    std::string text() const;
    std::string styled() const;
    // Polls the screen until it holds needle; false after timeout_s.
    bool wait_for(const std::string& needle, int timeout_s = 60) const;
    void resize(int cols, int rows) const;
    // A tmux format of the pane ("#{alternate_on}").
    std::string pane(const std::string& format) const;
    // The corvantisd process of the pane (0 once it has ended).
    pid_t program_pid() const;

   private:
    std::string tmux(const std::vector<std::string>& args, int* rc = nullptr) const;

    const FakeNas& nas_;
    TempDir dir_;
    std::string socket_;
    NasProcess holder_;
    std::string error_;
};
