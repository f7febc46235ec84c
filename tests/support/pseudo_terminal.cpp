#include "tests/support/pseudo_terminal.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "core/run.h"
#include "core/strbuf.h"

PseudoTerminal::PseudoTerminal(int cols, int rows) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, &ws) != 0) throw std::runtime_error("openpty");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    ::close(slave_);
    ::close(master_);
}

std::string PseudoTerminal::stty_g() const {
    const char* const argv[] = {"/usr/bin/stty", "-g", "-F", slave_path_.c_str(), nullptr};
    StrBuf out;
    if (run_capture(argv, &out, 10) != 0) return "stty failed";
    return out.c_str();
}

bool PseudoTerminal::stty_set(const std::string& settings) const {
    std::string text = settings;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const char* const argv[] = {"/usr/bin/stty", "-F", slave_path_.c_str(), text.c_str(), nullptr};
    StrBuf out;
    return run_capture(argv, &out, 10) == 0;
}

void PseudoTerminal::make_raw() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
}

void PseudoTerminal::type(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(master_, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN) throw std::runtime_error("pty write");
        if (n > 0) done += static_cast<std::size_t>(n);
    }
}

std::string PseudoTerminal::drain() const {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

FdRedirect::FdRedirect(int fd, int target) : target_(target), saved_(::dup(target)) {
    ::dup2(fd, target);
}

FdRedirect::~FdRedirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
}
