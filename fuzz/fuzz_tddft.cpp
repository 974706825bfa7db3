// libFuzzer target: any bytes, through the UTF-8 check, into the TD-DFT parser.
#include "fuzz/harness.hpp"
#include "parsers/tddft.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::run(data, size, false, [](binding::Text text) { return parsers::tddft::parse_tddft(std::move(text)); });
}
