// Runs a fuzz target over files and folders of inputs without libFuzzer, so that the corpus
// and the regression cases run as ordinary tests with any compiler:
//
//   replay_tddft fuzz/corpus/tddft fuzz/regressions/tddft some-crash-file
//
// The parsers' failure reports on stderr are expected; a failing input is named after the
// sanitizer's or the oracle's report.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <link.h>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string current = "(none)";

void name_the_input() { std::fprintf(stderr, "replay: the failing input is %s\n", current.c_str()); }

// GCC links ASan and UBSan as two runtimes, each with its own death callback: set it in
// every loaded sanitizer runtime (clang's single runtime is found the same way).
int name_input_on_sanitizer_death(dl_phdr_info* info, size_t, void*) {
    std::string_view name = info->dlpi_name;
    if (!name.empty() && name.find("san") == std::string_view::npos) return 0;
    void* library = ::dlopen(name.empty() ? nullptr : info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return 0;
    using SetCallback = void (*)(void (*)());
    if (auto set = reinterpret_cast<SetCallback>(::dlsym(library, "__sanitizer_set_death_callback"))) set(name_the_input);
    ::dlclose(library);
    return 0;
}

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
    ::dl_iterate_phdr(name_input_on_sanitizer_death, nullptr);
    fuzz::before_abort = name_the_input;
    std::set_terminate([] {
        name_the_input();
        std::abort();
    });
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
            current = path.string();
            LLVMFuzzerTestOneInput(data.get(), bytes.size());
            ++count;
        }
    }
    std::printf("replay: %zu inputs ran clean\n", count);
    return count > 0 ? 0 : 2;
}
