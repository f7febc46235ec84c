// The recorded smartctl replies of tests/data/smartctl (real drives) and its
// emulated/ folder, and the random damage the robustness tests do to them.
#pragma once

#include <random>
#include <string>
#include <vector>

// Full paths of every .json reply, both folders.
std::vector<std::string> smartctl_sample_paths();
// The content of tests/data/smartctl/<name> ("emulated/..." for the other folder).
std::string smartctl_sample(const std::string& name);
// One random change of a non-empty text: cut short, a bit flipped, a JSON
// punctuation or stray byte inserted, or a few bytes removed.
std::string smartctl_sample_mutant(const std::string& text, std::mt19937& rng);
