#include "GenerationSchema.h"

#include <nlohmann/json.hpp>

namespace vkacta {

GenerationSchema GenerationSchema::string() {
    return GenerationSchema{};
}

GenerationSchema GenerationSchema::array(GenerationSchema elemento) {
    GenerationSchema s;
    s.kind_ = Kind::array;
    s.items_ = std::make_shared<const GenerationSchema>(std::move(elemento));
    return s;
}

GenerationSchema GenerationSchema::object(std::string typeName, std::optional<std::string> description,
                                          std::vector<Property> properties) {
    GenerationSchema s;
    s.kind_ = Kind::object;
    s.typeName_ = std::move(typeName);
    s.description_ = std::move(description);
    s.properties_ = std::move(properties);
    return s;
}

GenerationSchema::Property propiedad(std::string name, std::string description, GenerationSchema type) {
    return {std::move(name), std::move(description),
            std::make_shared<const GenerationSchema>(std::move(type))};
}

namespace {

nlohmann::ordered_json comoJson(const GenerationSchema& s) {
    nlohmann::ordered_json j;
    switch (s.kind()) {
        case GenerationSchema::Kind::string:
            j["type"] = "string";
            break;
        case GenerationSchema::Kind::array:
            j["type"] = "array";
            j["items"] = comoJson(s.items());
            break;
        case GenerationSchema::Kind::object: {
            j["type"] = "object";
            if (!s.typeName().empty()) j["title"] = s.typeName();
            if (s.description()) j["description"] = *s.description();
            auto props = nlohmann::ordered_json::object();
            auto requeridas = nlohmann::ordered_json::array();
            for (const auto& p : s.properties()) {
                auto pj = comoJson(*p.type);
                pj["description"] = p.description;
                props[p.name] = std::move(pj);
                requeridas.push_back(p.name);
            }
            j["properties"] = std::move(props);
            j["required"] = std::move(requeridas);
            j["additionalProperties"] = false;
            break;
        }
    }
    return j;
}

}  // namespace

std::string GenerationSchema::jsonSchema() const {
    return comoJson(*this).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vkacta
