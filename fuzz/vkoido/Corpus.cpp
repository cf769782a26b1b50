// Without libFuzzer: runs the target once over every file named, or found in a directory named,
// on the command line. A failed invariant aborts, so the exit status tells.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void correr(const std::filesystem::path& archivo) {
    std::ifstream f(archivo, std::ios::binary);
    std::vector<char> datos((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(datos.data()), datos.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t n = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (e.is_regular_file()) {
                    correr(e.path());
                    ++n;
                }
            }
        } else {
            correr(p);
            ++n;
        }
    }
    std::printf("%zu entradas\n", n);
    return 0;
}
