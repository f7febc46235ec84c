// Changing one value of a recorded reply, so that a test can derive the state
// it needs (a self-test at 30 % remaining, a hotter drive) from a real reply
// instead of writing a reply by hand.
#pragma once

#include <string>

// text with the value at the dotted path (object keys only) replaced by
// value_json (a JSON text: 42, "x", {...}). A path that does not exist is
// added: its missing keys are created as objects inside the deepest object
// that exists. Throws std::runtime_error on text that is no JSON object.
std::string json_set(const std::string& text, const std::string& path,
                     const std::string& value_json);

// The value at a dotted path: a string's bytes without its quotes, any other
// value's JSON text; "(missing)" when there is none, "(no json)" for text
// that is no JSON.
std::string json_get(const std::string& text, const char* path);
