// State documents as the surface test writes them, for the tests of the
// screens that read them: every top-level key in the engine's order, each
// with its raw JSON value, serialised without whitespace.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The fake clock's start: the documents' times are near it.
inline constexpr std::int64_t kStateDocNow = 1800000000;

class StateDoc {
   public:
    // Replaces the value of key, or adds key at the end.
    StateDoc& set(const std::string& key, const std::string& raw);
    StateDoc& erase(const std::string& key);
    std::string json() const;

   private:
    std::vector<std::pair<std::string, std::string>> keys_;
};

// text as a JSON string (no escaping).
std::string q(const std::string& text);

// A full test of a 4 TB disk, 2000 of 4096 cells mapped (mostly fast, some
// slow, a bad block at 126, a link error at 1500 and another error at 1999),
// written by this process.
std::string running_codes();
StateDoc running_doc();
// The same run done, with the verdict "bad" and three reasons.
StateDoc finished_doc();
