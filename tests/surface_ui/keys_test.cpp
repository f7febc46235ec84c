// The key decoder fed bytes at made-up times: what a pause between two bytes
// means is decided by the times given, never by how fast a test machine runs.
#include "surface_ui/keys.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "surface_ui/screen.h"

namespace {

struct Piece {
    int after_ms;  // since the piece before
    std::string bytes;
};

struct KeyCase {
    const char* name;
    std::vector<Piece> pieces;
    std::vector<int> keys;
};

// Asks for keys as the key reader does: as soon as bytes arrive and whenever
// a waiting Esc or sequence is due; after the last piece, until nothing waits.
std::vector<int> keys_of(const std::vector<Piece>& pieces) {
    KeyDecoder decoder;
    std::vector<int> keys;
    double now = 0;
    const auto take = [&] {
        for (int k; (k = decoder.next(now)) != 0;) keys.push_back(k);
    };
    const auto wait_to = [&](double t) {
        while (decoder.wait_until() > 0 && decoder.wait_until() <= t) {
            now = decoder.wait_until();
            take();
        }
    };
    double at = 0;
    for (const Piece& p : pieces) {
        at += p.after_ms;
        wait_to(at);
        now = at;
        EXPECT_EQ(decoder.feed(p.bytes.data(), static_cast<int>(p.bytes.size()), now),
                  static_cast<int>(p.bytes.size()));
        take();
    }
    wait_to(std::numeric_limits<double>::infinity());
    return keys;
}

void run_cases(const std::vector<KeyCase>& cases) {
    for (const KeyCase& c : cases) EXPECT_EQ(keys_of(c.pieces), c.keys) << c.name;
}

TEST(KeyDecoding, PlainKeysArrowsAndEsc) {
    run_cases({
        {"plain keys", {{0, "q1?"}}, {'q', '1', '?'}},
        {"return and line feed", {{0, "\r\n"}}, {KEY_ENTER, KEY_ENTER}},
        {"arrows in one read",
         {{0, "\x1b[A\x1b[B\x1b[C\x1b[D"}},
         {KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT}},
        {"arrow between keys", {{0, "j\x1b[Bk"}}, {'j', KEY_DOWN, 'k'}},
        {"lone Esc", {{0, "\x1b"}}, {KEY_ESC}},
        {"Esc, then a key long after", {{0, "\x1b"}, {600, "q"}}, {KEY_ESC, 'q'}},
        {"Esc pressed twice", {{0, "\x1b\x1b"}}, {KEY_ESC, KEY_ESC}},
        // Esc then q typed quickly closes the help and then quits.
        {"Esc, then a key within the Esc wait", {{0, "\x1b"}, {100, "q"}}, {KEY_ESC, 'q'}},
        {"Esc and a key in one read", {{0, "\x1bq"}}, {KEY_ESC, 'q'}},
        {"Esc, then an arrow at once", {{0, "\x1b\x1b[A"}}, {KEY_ESC, KEY_UP}},
    });
}

// Over a slow link the bytes of one key may arrive in separate reads.
TEST(KeyDecoding, ArrowsSplitAcrossReads) {
    run_cases({
        {"after the Esc by 50 ms", {{0, "\x1b"}, {50, "[A"}}, {KEY_UP}},
        {"after the Esc by 299 ms", {{0, "\x1b"}, {299, "[B"}}, {KEY_DOWN}},
        {"after the bracket by 400 ms", {{0, "\x1b["}, {400, "C"}}, {KEY_RIGHT}},
        {"byte by byte, 120 ms apart", {{0, "\x1b"}, {120, "["}, {120, "D"}}, {KEY_LEFT}},
    });
}

// Function keys and other sequences mean nothing here: they are dropped
// whole, never read as Esc, and none of their bytes arrives as a key (F10
// followed by "1" must not answer a dialog and then start a test).
TEST(KeyDecoding, OtherSequencesAreDroppedWhole) {
    run_cases({
        {"F10 then a key", {{0, "\x1b[21~"}, {0, "q"}}, {'q'}},
        {"F10 and a key in one read", {{0, "\x1b[21~1"}}, {'1'}},
        {"F1", {{0, "\x1bOP"}}, {}},
        {"F5 split after the bracket", {{0, "\x1b["}, {200, "15~"}}, {}},
        {"arrow in application mode", {{0, "\x1bOA"}}, {}},
        {"Ctrl with an arrow", {{0, "\x1b[1;5A"}}, {}},
        {"a sequence far too long", {{0, "\x1b[" + std::string(40, '1') + "A"}}, {}},
        {"a sequence cut by another", {{0, "\x1b[2\x1b[A"}}, {KEY_UP}},
    });
}

TEST(KeyDecoding, SequencesThatNeverCompleteLeaveNoTail) {
    run_cases({
        {"never completed", {{0, "\x1b[2"}}, {}},
        {"completed after it was given up", {{0, "\x1b[2"}, {1300, "1~q"}}, {'q'}},
        {"tail of a key split after its Esc for longer than the Esc wait",
         {{0, "\x1b"}, {600, "[21~"}},
         {KEY_ESC}},
    });
}

}  // namespace
