// Runs a fuzz target over files and folders of inputs without libFuzzer, so that the corpus
// and the regression cases run as ordinary tests with any compiler.
//
//   replay_tddft fuzz/corpus/tddft fuzz/regressions/tddft some-crash-file
//
// The parsers' check-failure reports on stderr are expected; a failing input is named
// after the sanitizer's or the oracle's report.

#include <algorithm>
#include <cstdint>
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
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "fuzz/harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string current = "(none)";

void say(const std::string& text) { (void)!::write(2, text.data(), text.size()); }

void name_the_input() { say("replay: the failing input is " + current + "\n"); }

[[noreturn]] void on_terminate() {
    std::string what = "an unknown exception";
    if (auto error = std::current_exception()) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = std::string(typeid(e).name()) + ": " + e.what();
        } catch (...) {
        }
    }
    say("replay: uncaught " + what + "\n");
    name_the_input();
    std::abort();
}

// GCC links ASan and UBSan as two runtimes, each with its own death callback: set it in
// every loaded sanitizer runtime (clang's single runtime is found the same way).
int name_input_on_sanitizer_death(dl_phdr_info* info, size_t, void*) {
    std::string_view name = info->dlpi_name;
    if (name.find("san") == std::string_view::npos && !name.empty()) return 0;
    void* library = ::dlopen(name.empty() ? nullptr : info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return 0;
    using SetCallback = void (*)(void (*)());
    if (auto set_callback = reinterpret_cast<SetCallback>(::dlsym(library, "__sanitizer_set_death_callback"))) {
        set_callback(name_the_input);
    }
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
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    ::dl_iterate_phdr(name_input_on_sanitizer_death, nullptr);
    fuzz::before_abort = name_the_input;
    std::set_terminate(on_terminate);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            say(std::string("replay: no such input: ") + argv[i] + "\n");
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
    return 0;
}
