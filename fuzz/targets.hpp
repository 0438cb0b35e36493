// The fuzz targets' bodies, shared by the libFuzzer harnesses and by the regression test that
// replays every input that ever crashed or hung. Each takes arbitrary bytes and must neither
// crash nor trip a sanitizer; where there is an independent way to compute the result, the
// target checks that the two agree and aborts if not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

void gcms_index(const std::uint8_t* data, std::size_t size);
void gcms_scan(const std::uint8_t* data, std::size_t size);
void qtof_index(const std::uint8_t* data, std::size_t size);
void qtof_scan(const std::uint8_t* data, std::size_t size);
void ttfl_index(const std::uint8_t* data, std::size_t size);
void ttfl_scan(const std::uint8_t* data, std::size_t size);
void calibration(const std::uint8_t* data, std::size_t size);
void container(const std::uint8_t* data, std::size_t size);
void open_file(const std::uint8_t* data, std::size_t size);

// The target of that name, or null.
using Target = void (*)(const std::uint8_t*, std::size_t);
Target target_named(const std::string& name);

}  // namespace fuzz
