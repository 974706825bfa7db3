// libFuzzer target: any bytes, through the UTF-8 check, into the CASSCF parser.
#include "fuzz/harness.hpp"
#include "parsers/casscf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::run(data, size, true, [](binding::Text text) { return parsers::casscf::parse_casscf(std::move(text)); });
}
