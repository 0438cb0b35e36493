// Replays every input kept under tests/regressions/<target>/ through the fuzz target of that
// name: inputs that once crashed, hung or tripped a sanitizer must now pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "targets.hpp"

namespace fs = std::filesystem;

TEST(Regressions, EveryKeptInputPasses) {
    const fs::path root = TAVRIK_REGRESSIONS;
    ASSERT_TRUE(fs::is_directory(root)) << root;
    std::size_t replayed = 0;
    for (const auto& dir : fs::directory_iterator(root)) {
        if (!dir.is_directory()) continue;
        const auto target = fuzz::target_named(dir.path().filename().string());
        ASSERT_NE(target, nullptr) << "no fuzz target named " << dir.path().filename();
        for (const auto& file : fs::directory_iterator(dir.path())) {
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
            SCOPED_TRACE(file.path().string());
            target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0u);
}
