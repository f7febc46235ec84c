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

// The value at the dotted path of text as written there (a string without its
// quotes, escapes kept); "(missing)" when the path does not exist, "(no json)"
// when text is no JSON. For checking single values of a document.
std::string json_get(const std::string& text, const std::string& path);

// Whether text decodes as UTF-8, by the C library's own decoder, and parses as
// JSON: what a strict reader, such as the NAS's web interface, takes.
bool json_strict_text(const std::string& text);
