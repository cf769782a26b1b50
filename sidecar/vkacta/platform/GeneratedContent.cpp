#include "GeneratedContent.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

namespace vkacta {

GenerationID GenerationID::nuevo() {
    // A per-process random prefix plus a counter: unique within the process without locking.
    static const std::string prefijo = [] {
        std::random_device rd;
        char buf[32];
        char* fin = std::to_chars(buf, buf + 16, rd(), 16).ptr;
        fin = std::to_chars(fin, buf + sizeof buf, rd(), 16).ptr;
        return std::string(buf, fin);
    }();
    static std::atomic<std::uint64_t> siguiente{1};
    return GenerationID(prefijo + "-" + std::to_string(siguiente.fetch_add(1)));
}

GeneratedContent::GeneratedContent(std::string texto) : kind_(Kind::string), texto_(std::move(texto)) {}
GeneratedContent::GeneratedContent(bool valor) : kind_(Kind::boolean), booleano_(valor) {}
GeneratedContent::GeneratedContent(double valor) : kind_(Kind::number), numero_(valor) {}
GeneratedContent::GeneratedContent(std::vector<GeneratedContent> elementos)
    : kind_(Kind::array), elementos_(std::move(elementos)) {}

GeneratedContent::GeneratedContent(Propiedades propiedades, std::optional<GenerationID> id)
    : kind_(Kind::structure), id_(std::move(id)) {
    propiedades_.reserve(propiedades.size());
    for (auto& par : propiedades) {
        auto previa = std::find_if(propiedades_.begin(), propiedades_.end(),
                                   [&par](const auto& p) { return p.first == par.first; });
        if (previa != propiedades_.end()) {
            previa->second = std::move(par.second);
        } else {
            propiedades_.push_back(std::move(par));
        }
    }
}

const GeneratedContent* GeneratedContent::propiedad(std::string_view nombre) const {
    if (kind_ != Kind::structure) return nullptr;
    for (const auto& [n, v] : propiedades_) {
        if (n == nombre) return &v;
    }
    return nullptr;
}

namespace {

using Json = nlohmann::ordered_json;

// Depth and repeated names are checked while parsing, before any value is built, so a hostile
// answer cannot make the conversion below recurse without bound.
struct Vigia {
    std::vector<std::set<std::string>> abiertos;
    bool repetida = false;
    bool profunda = false;
};

Result<GeneratedContent> desdeJson(const Json& j) {
    switch (j.type()) {
        case Json::value_t::null:
        case Json::value_t::discarded:
            return GeneratedContent{};
        case Json::value_t::boolean:
            return GeneratedContent(j.get<bool>());
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            // strtod turns 1e400 into infinity, which no JSON text can carry back.
            if (!std::isfinite(j.get<double>()))
                return GenerationError{"la respuesta trae un número fuera de rango"};
            return GeneratedContent(j.get<double>());
        case Json::value_t::string:
            return GeneratedContent(j.get<std::string>());
        case Json::value_t::binary:
            return GenerationError{"la respuesta no es JSON"};
        case Json::value_t::array: {
            std::vector<GeneratedContent> elementos;
            elementos.reserve(j.size());
            for (const auto& e : j) {
                auto r = desdeJson(e);
                if (!r) return r;
                elementos.push_back(std::move(r).value());
            }
            return GeneratedContent(std::move(elementos));
        }
        case Json::value_t::object: {
            GeneratedContent::Propiedades props;
            props.reserve(j.size());
            for (const auto& [k, v] : j.items()) {
                auto r = desdeJson(v);
                if (!r) return r;
                props.emplace_back(k, std::move(r).value());
            }
            return GeneratedContent(std::move(props), std::nullopt);
        }
    }
    return GenerationError{"la respuesta no es JSON"};
}

Json aJson(const GeneratedContent& c) {
    switch (c.kind()) {
        case GeneratedContent::Kind::null:
            return nullptr;
        case GeneratedContent::Kind::boolean:
            return c.booleano();
        case GeneratedContent::Kind::number:
            // JSON has no infinities or NaN; null is the nearest honest value.
            if (!std::isfinite(c.numero())) return nullptr;
            return c.numero();
        case GeneratedContent::Kind::string:
            return c.texto();
        case GeneratedContent::Kind::array: {
            auto a = Json::array();
            for (const auto& e : c.elementos())
                a.push_back(aJson(e));
            return a;
        }
        case GeneratedContent::Kind::structure: {
            auto o = Json::object();
            for (const auto& [k, v] : c.propiedades())
                o[k] = aJson(v);
            return o;
        }
    }
    return nullptr;
}

}  // namespace

Result<GeneratedContent> GeneratedContent::parse(std::string_view json) {
    Vigia vigia;
    Json::parser_callback_t cb = [&vigia](int /*depth*/, Json::parse_event_t evento, Json& valor) {
        switch (evento) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (vigia.abiertos.size() >= kProfundidadMaxima) vigia.profunda = true;
                vigia.abiertos.emplace_back();
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                if (!vigia.abiertos.empty()) vigia.abiertos.pop_back();
                break;
            case Json::parse_event_t::key:
                if (!vigia.abiertos.empty() &&
                    !vigia.abiertos.back().insert(valor.get<std::string>()).second) {
                    vigia.repetida = true;
                }
                break;
            case Json::parse_event_t::value:
                break;
        }
        // Once something is wrong, keep nothing more: the answer is rejected anyway.
        return !(vigia.profunda || vigia.repetida);
    };
    Json j = Json::parse(json.begin(), json.end(), cb, /*allow_exceptions=*/false);
    if (vigia.profunda) return GenerationError{"la respuesta anida demasiado"};
    if (vigia.repetida) return GenerationError{"la respuesta repite una propiedad"};
    if (j.is_discarded()) return GenerationError{"la respuesta no es JSON válido"};
    return desdeJson(j);
}

std::string GeneratedContent::jsonString() const {
    return aJson(*this).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vkacta
