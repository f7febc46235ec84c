#include "surface_ui/keys.h"

#include <algorithm>
#include <cstring>

#include "surface_ui/screen.h"

namespace {

constexpr unsigned char kEsc = 0x1B;
// How long the rest of a started sequence (ESC [ ...) may take to arrive, and
// how long after a lone Esc or a sequence given up a late tail is still
// recognised and dropped.
constexpr double kSeqWaitMs = 1000.0;
constexpr double kTailMs = 1000.0;
constexpr int kMaxSeqLen = 32;
constexpr int kDropped = 0;  // a sequence was dropped; decoding goes on
constexpr int kNeedInput = -1;

bool csi_param(unsigned char b) {
    return b >= 0x20 && b <= 0x3F;
}
bool csi_final(unsigned char b) {
    return b >= 0x40 && b <= 0x7E;
}

}  // namespace

int KeyDecoder::feed(const char* bytes, int n, double now_ms) {
    const int taken = std::clamp(n, 0, space());
    if (taken == 0) return 0;
    std::memcpy(buf_ + len_, bytes, static_cast<std::size_t>(taken));
    len_ += taken;
    last_rx_ms_ = now_ms;
    return taken;
}

int KeyDecoder::next(double now_ms) {
    int key;
    while ((key = step(now_ms)) == kDropped) {
    }
    return key == kNeedInput ? 0 : key;
}

void KeyDecoder::consume(int n) {
    std::memmove(buf_, buf_ + n, static_cast<std::size_t>(len_ - n));
    len_ -= n;
}

int KeyDecoder::drop(int n, Tail tail, double now) {
    consume(n);
    tail_ = tail;
    tail_until_ = now + kTailMs;
    return kDropped;
}

// Bytes that continue a sequence already dropped (or a lone Esc already
// reported) are dropped too while they come soon enough.
bool KeyDecoder::swallow_tail(double now) {
    if (tail_ == kNoTail) return false;
    const unsigned char b = buf_[0];
    if (now > tail_until_) {
        tail_ = kNoTail;
    } else if (tail_ == kAfterEsc && b == '[') {
        consume(1);
        tail_ = kInCsi;
        tail_until_ = now + kTailMs;
        return true;
    } else if (tail_ == kInCsi && csi_param(b)) {
        consume(1);
        tail_until_ = now + kTailMs;
        return true;
    } else if (tail_ == kInCsi && csi_final(b)) {
        consume(1);
        tail_ = kNoTail;
        return true;
    }
    tail_ = kNoTail;
    return false;
}

// A key, kDropped, or kNeedInput (with deadline_ set while a sequence waits).
int KeyDecoder::step(double now) {
    deadline_ = 0;
    while (len_ > 0 && swallow_tail(now)) {
    }
    if (len_ == 0) return kNeedInput;
    const unsigned char b = buf_[0];
    if (b != kEsc) {
        consume(1);
        return b == 13 || b == 10 ? KEY_ENTER : b;
    }
    return escape(now);
}

int KeyDecoder::escape(double now) {
    if (len_ == 1) {
        deadline_ = last_rx_ms_ + kEscWaitMs;
        if (now < deadline_) return kNeedInput;
        deadline_ = 0;
        consume(1);
        tail_ = kAfterEsc;
        tail_until_ = now + kTailMs;
        return KEY_ESC;
    }
    if (buf_[1] == '[' || buf_[1] == 'O') return sequence(now);
    // Any other byte begins no sequence: it is a key typed right after Esc (an
    // Alt chord looks the same), so Esc comes first and then that key.
    consume(1);
    return KEY_ESC;
}

// The sequence ESC [ ... or ESC O ... at the start of the buffer.
int KeyDecoder::sequence(double now) {
    const bool csi = buf_[1] == '[';
    int i = 2;
    while (i < len_ && (csi ? csi_param(buf_[i]) : (buf_[i] >= 0x30 && buf_[i] <= 0x3F))) ++i;
    if (i > kMaxSeqLen) return drop(i, kInCsi, now);
    if (i == len_) {
        deadline_ = last_rx_ms_ + kSeqWaitMs;
        if (now < deadline_) return kNeedInput;
        deadline_ = 0;
        return drop(i, kInCsi, now);  // given up: its tail may still come
    }
    if (!csi_final(buf_[i])) return drop(i, kNoTail, now);  // broken off by another byte
    const unsigned char final_byte = buf_[i];
    const bool arrow = csi && i == 2 && final_byte >= 'A' && final_byte <= 'D';
    consume(i + 1);
    if (!arrow) return kDropped;
    static constexpr int kArrows[] = {KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT};
    return kArrows[final_byte - 'A'];
}
