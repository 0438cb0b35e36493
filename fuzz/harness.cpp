// One libFuzzer harness; FUZZ_TARGET names the target body (see targets.hpp).
#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FUZZ_TARGET(data, size);
    return 0;
}
