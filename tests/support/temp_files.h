#pragma once
// A scratch directory per test, and whole-file helpers.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace nbz::testing {

class temp_dir {
public:
    temp_dir() {
#ifdef _WIN32
        std::random_device random;
        for (int attempt = 0; path_.empty(); ++attempt) {
            if (attempt == 100) std::abort();
            const auto candidate = std::filesystem::temp_directory_path() / ("nbz-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "nbz-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
#endif
    }
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

using bytes = std::vector<unsigned char>;

inline void write_file(const std::string& path, const bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

inline bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The names in `dir` of the temporary files that unfinished outputs leave.
inline std::vector<std::string> unfinished_outputs(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.find(".nbz-unfinished-") != std::string::npos) names.push_back(std::move(name));
    }
    return names;
}

inline bytes pcm_bytes(std::span<const std::int16_t> samples) {
    bytes out;
    for (const std::int16_t s : samples) {
        out.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(s) & 0xFF));
        out.push_back(static_cast<unsigned char>(static_cast<std::uint16_t>(s) >> 8));
    }
    return out;
}

inline bytes word_bytes(std::span<const std::uint32_t> words) {
    bytes out;
    for (const std::uint32_t w : words)
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<unsigned char>(w >> (8 * b)));
    return out;
}

// The code words of a stream's bytes, each little-endian (a partial last
// word left out).
inline std::vector<std::uint32_t> stream_words(const bytes& stream) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i + 4 <= stream.size(); i += 4)
        words.push_back(stream[i] | stream[i + 1] << 8 | stream[i + 2] << 16 |
                        static_cast<std::uint32_t>(stream[i + 3]) << 24);
    return words;
}

inline std::string expected_report(std::uint32_t peak) {
    std::string line = "Maximum output level: " + std::to_string(peak);
    if (peak > 32767) line += " (overflow by " + std::to_string(peak - 32767) + ")";
    return line + "\n";
}

}  // namespace nbz::testing
