// Runs a fuzz target over files and folders of inputs without libFuzzer, so that the corpus
// and the regression cases run as ordinary tests with any compiler:
//
//   replay_tddft fuzz/corpus/tddft fuzz/regressions/tddft some-crash-file
//
// Each input is named on stderr before it runs, among the parsers' expected failure reports:
// the last name before a sanitizer's or an oracle's report is the failing input.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& path) {
    if (!std::filesystem::is_directory(path)) return {path};
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        // Dot files (.gitkeep) keep empty folders in git; they are no inputs.
        if (entry.is_regular_file() && !entry.path().filename().string().starts_with(".")) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            std::fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 2;
        }
        for (const auto& path : inputs_of(argv[i])) {
            std::ifstream file(path, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            // A buffer of exactly the input's size, so that sanitizers see any read past its end.
            auto data = std::make_unique<uint8_t[]>(bytes.size());
            std::memcpy(data.get(), bytes.data(), bytes.size());
            std::fprintf(stderr, "replay: %s\n", path.c_str());
            LLVMFuzzerTestOneInput(data.get(), bytes.size());
            ++count;
        }
    }
    std::printf("replay: %zu inputs ran clean\n", count);
    return count > 0 ? 0 : 2;
}
