// libFuzzer target: any bytes, through the UTF-8 check, into the CASSCF parser, whose
// outcome must be the reference parser's.
#include "fuzz/describe.hpp"
#include "fuzz/harness.hpp"
#include "fuzz/reference/casscf.hpp"
#include "parsers/casscf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::run(
        data, size, true,
        [](const fuzz::OwnedText& text) { return fuzz::describe_casscf(parsers::casscf::parse_casscf(text)); },
        [](const fuzz::OwnedText& text) { return fuzz::describe_casscf(reference::casscf::parse_casscf(text)); });
}
