// Inputs above 4 GiB are counted with 64-bit sizes. Slow: it encodes 2^31
// samples and writes 1 GiB.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "reference_model.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

TEST(LargeInput, AboveFourGibibytesWithAnOddFinalByte) {
    temp_dir dir;
    const std::uint64_t size = (std::uint64_t{4} << 30) + 3;  // 2^31 + 1 samples and an odd byte
    {
        std::ofstream(dir / "in.raw", std::ios::binary).put(0);
        std::filesystem::resize_file(dir / "in.raw", size);
        // Loud samples at the very end (samples 2^31 - 7 .. 2^31): the report
        // shows that the end was read.
        std::fstream tail(dir / "in.raw", std::ios::binary | std::ios::in | std::ios::out);
        tail.seekp(static_cast<std::streamoff>(size - 1 - 16));  // before the odd byte
        const bytes loud = pcm_bytes(std::vector<std::int16_t>(8, -32768));
        tail.write(reinterpret_cast<const char*>(loud.data()), static_cast<std::streamsize>(loud.size()));
    }
    const process_result run =
        finish_process(start_process(NBZ_BINARY, {dir / "in.raw", dir / "out.nbz"}), std::chrono::seconds{600});
    EXPECT_EQ(run.status, 0);
    // Two billion zeros leave the step at 7 and the rest at 0; then the loud
    // samples, and the zeros that fill the last block.
    encoder_state tail_state{0, 0, 0, 7, 0, 0};
    for (int i = 0; i < 15; ++i) reference_encode_sample(tail_state, i < 8 ? -32768 : 0);
    EXPECT_EQ(run.out, "Maximum output level: " + std::to_string(tail_state.peak) + "\n");
    const std::uint64_t blocks = ((std::uint64_t{1} << 31) + 1 + 7) / 8;
    EXPECT_EQ(std::filesystem::file_size(dir / "out.nbz"), 4 * blocks);
}

}  // namespace
}  // namespace nbz::testing
