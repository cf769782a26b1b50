// Without libFuzzer: runs the target over every file named on the command line (or in the
// directories named), so the normal build still exercises it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* datos, std::size_t largo);

namespace {

void correr(const std::filesystem::path& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    int hechos = 0;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path ruta(argv[a]);
        if (std::filesystem::is_directory(ruta)) {
            for (const auto& e : std::filesystem::directory_iterator(ruta))
                if (e.is_regular_file()) {
                    correr(e.path());
                    ++hechos;
                }
        } else {
            correr(ruta);
            ++hechos;
        }
    }
    std::printf("%d entradas\n", hechos);
    return 0;
}
