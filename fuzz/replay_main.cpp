// Runs a fuzz target's entry outside libFuzzer over saved inputs: every file named on the command
// line, and every file in the folders named, in name order. A broken invariant or a sanitizer
// report ends the run as it would under the fuzzer, naming the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The inputs under `path`, sorted; empty with a message when it cannot be read.
std::vector<fs::path> inputs_under(const fs::path& path) {
    std::error_code error;
    if (!fs::is_directory(path, error)) return {path};
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    if (error) std::fprintf(stderr, "replay: %s: %s\n", path.c_str(), error.message().c_str());
    std::sort(files.begin(), files.end());
    return files;
}

bool read_file(const fs::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    std::size_t replayed = 0;
    std::vector<std::uint8_t> bytes;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& input : inputs_under(argv[i])) {
            if (!read_file(input, bytes)) {
                std::fprintf(stderr, "replay: %s: cannot be read\n", input.c_str());
                return 1;
            }
            // Named first, so that a crash report follows the name of its input.
            std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", replayed);
    return 0;
}
