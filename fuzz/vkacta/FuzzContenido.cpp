// Parsing a model's answer: never crashes; accepted content survives a JSON round trip, and a
// digest read from it survives conversion and the tool's own JSON output.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "MeetingDigest.h"
#include "Summary.h"

namespace {

void exigir(bool condicion) {
    if (!condicion) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    auto contenido = vkacta::GeneratedContent::parse(json);
    if (!contenido) return 0;

    auto otra = vkacta::GeneratedContent::parse(contenido.value().jsonString());
    exigir(otra.ok() && otra.value() == contenido.value());

    (void)vkacta::MeetingDigest::PartiallyGenerated::desdeContenido(contenido.value());
    auto digest = vkacta::MeetingDigest::desdeContenido(contenido.value());
    if (!digest) return 0;
    auto vuelta = vkacta::MeetingDigest::desdeContenido(digest.value().generatedContent());
    exigir(vuelta.ok() && vuelta.value() == digest.value());

    // Parsed text is valid UTF-8, so the output always serialises and reads back the same.
    auto salida = vkacta::serializar(digest.value(), 1.25);
    exigir(salida.has_value());
    auto j = nlohmann::json::parse(*salida);
    exigir(j["summary"] == digest.value().summary);
    exigir(j["decisions"] == digest.value().decisions);
    exigir(j["elapsedSeconds"] == 1.25);
    exigir(j["actionItems"].size() == digest.value().actionItems.size());
    for (std::size_t i = 0; i < digest.value().actionItems.size(); ++i) {
        const auto& t = digest.value().actionItems[i];
        exigir(j["actionItems"][i] == nlohmann::json({{"task", t.task}, {"owner", t.owner}, {"due", t.due}}));
    }
    return 0;
}
