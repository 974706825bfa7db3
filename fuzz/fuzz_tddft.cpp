// libFuzzer target: any bytes, through the UTF-8 check, into the TD-DFT parser, whose
// outcome must be the reference parser's.
#include "fuzz/describe.hpp"
#include "fuzz/harness.hpp"
#include "fuzz/reference/tddft.hpp"
#include "parsers/tddft.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::run(
        data, size, false,
        [](const fuzz::OwnedText& text) { return fuzz::describe_tddft(parsers::tddft::parse_tddft(text)); },
        [](const fuzz::OwnedText& text) { return fuzz::describe_tddft(reference::tddft::parse_tddft(text)); });
}
