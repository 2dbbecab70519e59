// The driver of a fuzz target in a build without libFuzzer: runs the target
// once over every file given, or every file in every folder given (a seed
// corpus), so CTest shows that the targets build with every compiler and
// sanitizer and that their seeds pass. A failed property aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{

bool RunFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A block of exactly the file's size, so reads past the input stand out
    // under AddressSanitizer as they do under libFuzzer.
    const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error))
        {
            for (const auto& entry : std::filesystem::directory_iterator(path))
            {
                if (entry.is_regular_file() && !RunFile(entry.path()))
                {
                    return 1;
                }
                count += entry.is_regular_file() ? 1 : 0;
            }
        }
        else if (!RunFile(path))
        {
            return 1;
        }
        else
        {
            ++count;
        }
    }
    // No input at all would pass without showing anything.
    if (count == 0)
    {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    std::printf("%zu inputs passed\n", count);
    return 0;
}
