#include "tests/support/smartctl_samples.h"

#include "tests/support/fake_nas.h"

std::vector<std::string> smartctl_sample_paths() {
    std::vector<std::string> files;
    for (const std::string& dir : {std::string(CORVANTIS_TEST_DATA) + "/smartctl",
                                   std::string(CORVANTIS_TEST_DATA) + "/smartctl/emulated"}) {
        for (const std::string& name : dir_names(dir))
            if (name.size() > 5 && name.substr(name.size() - 5) == ".json")
                files.push_back(dir + "/" + name);
    }
    return files;
}

std::string smartctl_sample(const std::string& name) {
    return test_data_file("smartctl/" + name);
}

std::string smartctl_sample_mutant(const std::string& text, std::mt19937& rng) {
    std::string m = text;
    switch (rng() % 4) {
        case 0:
            m.resize(rng() % (m.size() + 1));
            break;
        case 1:
            m[rng() % m.size()] ^= static_cast<char>(1u << (rng() % 8));
            break;
        case 2:
            m.insert(rng() % m.size(), 1, "{}[]\",:\\\x80\x01"[rng() % 11]);
            break;
        case 3:
            m.erase(rng() % m.size(), 1 + rng() % 8);
            break;
    }
    return m;
}
