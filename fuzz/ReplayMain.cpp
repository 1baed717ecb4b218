// Replays fuzz inputs without libFuzzer: every file under the folders (or files) named on
// the command line goes once through the fuzz entry point. Missing folders are skipped, so
// the replay also runs where the shared corpus is absent.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replayFile(const std::filesystem::path& path, int& count)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++count;
}

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_regular_file(p, ec)) {
            replayFile(p, count);
        } else if (fs::is_directory(p, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(p, ec)) {
                if (entry.is_regular_file()) {
                    replayFile(entry.path(), count);
                }
            }
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
