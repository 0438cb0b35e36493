#include "le.hpp"

#include <string>

namespace le {

void read_past_end(std::size_t width, std::size_t count, std::size_t at, std::size_t size) {
    throw reader::InvariantBroken("read of " + std::to_string(count) + " x " + std::to_string(width) + " bytes at " +
                                  std::to_string(at) + " past the end of " + std::to_string(size) + " bytes");
}

}  // namespace le
