// PseudoTerminal: a real pseudo-terminal pair (openpty) for tests of the
// terminal layer, and FdRedirect, which puts a descriptor in the place of
// standard input or output for as long as it lives.
#pragma once

#include <string>

class PseudoTerminal {
   public:
    // A pair of cols x rows; throws when the system has none to give.
    PseudoTerminal(int cols = 80, int rows = 24);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slave_path() const { return slave_path_; }

    // The settings of the terminal as `stty -g` prints them.
    std::string stty_g() const;
    // Sets them back from such a text, as a shell does for a stopped job.
    bool stty_set(const std::string& settings) const;
    // Puts the slave side in raw mode, as a full-screen program would.
    void make_raw() const;
    // Writes all of text to the master side: keys as typed.
    void type(const std::string& text) const;
    // Everything the slave side wrote that is waiting on the master side now.
    std::string drain() const;

   private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

class FdRedirect {
   public:
    FdRedirect(int fd, int target);  // target gets fd's place
    ~FdRedirect();
    FdRedirect(const FdRedirect&) = delete;
    FdRedirect& operator=(const FdRedirect&) = delete;

   private:
    int target_;
    int saved_;
};
