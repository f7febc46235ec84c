// The key decoder: turns the bytes read from the terminal into the key codes
// of scr_read_key (screen.h). It never reads a clock: the caller says when
// each byte arrived and when it asks, so what a pause between two bytes means
// is decided by those times alone.
//
// An arrow key (ESC [ A..D) is its key code. Every other escape sequence
// (ESC [ ... or ESC O ...) is dropped whole, never an Esc and never its tail,
// also when it is split across reads or given up for arriving too slowly. Esc
// followed by any byte other than "[" and "O" is the Esc key, then that byte
// decoded on its own. A lone Esc is the Esc key once nothing has followed it
// for kEscWaitMs.
#pragma once

inline constexpr double kEscWaitMs = 300.0;

class KeyDecoder {
   public:
    // Takes up to n bytes that arrived at now_ms; returns how many it took
    // (fewer once space() is used up).
    int feed(const char* bytes, int n, double now_ms);
    int space() const { return static_cast<int>(sizeof buf_) - len_; }
    // The next key complete at now_ms, or 0 when none is. With 0, a non-zero
    // wait_until() is the time at which the Esc or sequence that waits for its
    // next byte is decided without it (by a call to next at that time).
    int next(double now_ms);
    double wait_until() const { return deadline_; }

   private:
    enum Tail { kNoTail, kAfterEsc, kInCsi };
    int step(double now);
    void consume(int n);
    int drop(int n, Tail tail, double now);
    bool swallow_tail(double now);
    int escape(double now);
    int sequence(double now);

    unsigned char buf_[128] = {};
    int len_ = 0;
    double last_rx_ms_ = 0;
    double deadline_ = 0;
    Tail tail_ = kNoTail;
    double tail_until_ = 0;
};
