// Cutting any text at any limit: parts are whole lines, within the limit unless a part is one
// long line, and together they give back the text plus a line feed, less a blank remainder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Transcript.h"

namespace {

void exigir(bool condicion) {
    if (!condicion) std::abort();
}

// Lines in a part: each ends with a line feed of its own, except that the text's last line may
// end in CR, and then the line feed added after it joins it as CR LF.
std::size_t lineas(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) ++n;
    }
    return n + (s.ends_with("\r\n") ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First two bytes: the limit, from -8 to 504, so short inputs reach the split path.
    const std::int64_t limite = static_cast<std::int64_t>(((data[0] << 8) | data[1]) % 513) - 8;
    const std::string_view texto(reinterpret_cast<const char*>(data + 2), size - 2);

    const auto partes = vkacta::chunk(texto, limite);
    if (vkacta::longitud(texto) <= limite) {
        exigir(partes.size() == 1 && partes[0] == texto);
        return 0;
    }
    std::string unidas;
    for (const auto& p : partes) {
        exigir(!p.empty() && p.back() == '\n');
        // A part over the limit is a single line with its line feed.
        if (vkacta::longitud(p) > limite) exigir(lineas(p) == 1);
        // Parts start at line starts.
        exigir(unidas.empty() || unidas.back() == '\n');
        unidas += p;
    }
    const std::string completo = std::string(texto) + "\n";
    exigir(completo.starts_with(unidas));
    const std::string_view resto = std::string_view(completo).substr(unidas.size());
    exigir(vkacta::esBlanco(resto));
    return 0;
}
