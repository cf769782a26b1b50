#pragma once
// What a model generated: a JSON-shaped value whose objects keep their properties in order
// and may carry a generation id. The digest records convert to and from it; a backend builds
// it from the model's JSON answer with `GeneratedContent::parse`.
//
// Contract: plain values, no shared state; any thread may use its own copies. Reads never
// throw: failures come back as `GenerationError` values carrying a Spanish text.
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vkacta {

// A failure of generation or conversion, with its textual form (shown to the user as is).
struct GenerationError {
    std::string texto;
};

// A value or the error that prevented it.
template <class T>
class Result {
  public:
    Result(T valor) : v_(std::move(valor)) {}                // NOLINT(google-explicit-constructor)
    Result(GenerationError error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    // Only when !ok().
    const GenerationError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, GenerationError> v_;
};

// Identifies one generated value (an object of a response). Opaque text.
class GenerationID {
  public:
    // A new id, distinct from every other one made by this process.
    static GenerationID nuevo();
    explicit GenerationID(std::string texto) : texto_(std::move(texto)) {}
    const std::string& texto() const { return texto_; }
    bool operator==(const GenerationID&) const = default;

  private:
    std::string texto_;
};

class GeneratedContent {
  public:
    enum class Kind { null, boolean, number, string, array, structure };
    using Propiedades = std::vector<std::pair<std::string, GeneratedContent>>;

    GeneratedContent() = default;  // null
    explicit GeneratedContent(std::string texto);
    explicit GeneratedContent(const char* texto) : GeneratedContent(std::string(texto)) {}
    explicit GeneratedContent(bool valor);
    explicit GeneratedContent(double valor);
    explicit GeneratedContent(std::vector<GeneratedContent> elementos);
    // An object with its properties in the given order and an optional generation id. A name
    // given twice keeps its first position and takes the later value.
    GeneratedContent(Propiedades propiedades, std::optional<GenerationID> id);

    // Parses the JSON text a model produced (one value, surrounding white space allowed).
    // Fails on malformed JSON, invalid UTF-8, an object with a repeated property name, or
    // nesting deeper than `kProfundidadMaxima`, a number out of the range of a double. Parsed
    // objects carry no generation id.
    static Result<GeneratedContent> parse(std::string_view json);
    static constexpr std::size_t kProfundidadMaxima = 64;

    // Compact JSON text of the value, properties in order (the id is not written).
    std::string jsonString() const;

    Kind kind() const { return kind_; }
    const std::optional<GenerationID>& id() const { return id_; }
    // Kind-specific views; empty/neutral for other kinds.
    const std::string& texto() const { return texto_; }
    bool booleano() const { return booleano_; }
    double numero() const { return numero_; }
    const std::vector<GeneratedContent>& elementos() const { return elementos_; }
    const Propiedades& propiedades() const { return propiedades_; }

    // The property of that name, or null when this is not an object or has no such property.
    const GeneratedContent* propiedad(std::string_view nombre) const;

    // Required read: fails when the property is absent or cannot be converted to T.
    template <class T>
    Result<T> value(std::string_view forProperty) const;
    // Optional read: an absent property gives an empty optional; a present one that cannot be
    // converted to T still fails.
    template <class T>
    Result<std::optional<T>> optionalValue(std::string_view forProperty) const;

    bool operator==(const GeneratedContent&) const = default;

  private:
    Kind kind_ = Kind::null;
    std::string texto_;
    bool booleano_ = false;
    double numero_ = 0;
    std::vector<GeneratedContent> elementos_;
    Propiedades propiedades_;
    std::optional<GenerationID> id_;
};

// Types that convert from generated content: the leaves below, lists of them, and records
// that declare `static Result<T> desdeContenido(const GeneratedContent&)`.
template <class T>
struct ConvertibleFromGeneratedContent;

template <>
struct ConvertibleFromGeneratedContent<GeneratedContent> {
    static Result<GeneratedContent> convertir(const GeneratedContent& c) { return c; }
};

template <>
struct ConvertibleFromGeneratedContent<std::string> {
    static Result<std::string> convertir(const GeneratedContent& c) {
        if (c.kind() != GeneratedContent::Kind::string) return GenerationError{"se esperaba un texto"};
        return c.texto();
    }
};

template <class T>
requires requires(const GeneratedContent& c) {
    { T::desdeContenido(c) } -> std::same_as<Result<T>>;
}
struct ConvertibleFromGeneratedContent<T> {
    static Result<T> convertir(const GeneratedContent& c) { return T::desdeContenido(c); }
};

template <class T>
struct ConvertibleFromGeneratedContent<std::vector<T>> {
    static Result<std::vector<T>> convertir(const GeneratedContent& c) {
        if (c.kind() != GeneratedContent::Kind::array) return GenerationError{"se esperaba una lista"};
        std::vector<T> lista;
        lista.reserve(c.elementos().size());
        for (const auto& e : c.elementos()) {
            auto r = ConvertibleFromGeneratedContent<T>::convertir(e);
            if (!r) return r.error();
            lista.push_back(std::move(r).value());
        }
        return lista;
    }
};

template <class T>
Result<T> GeneratedContent::value(std::string_view forProperty) const {
    const GeneratedContent* p = propiedad(forProperty);
    if (p == nullptr) return GenerationError{"falta la propiedad «" + std::string(forProperty) + "»"};
    auto r = ConvertibleFromGeneratedContent<T>::convertir(*p);
    if (!r) return GenerationError{"propiedad «" + std::string(forProperty) + "»: " + r.error().texto};
    return r;
}

template <class T>
Result<std::optional<T>> GeneratedContent::optionalValue(std::string_view forProperty) const {
    const GeneratedContent* p = propiedad(forProperty);
    if (p == nullptr) return std::optional<T>{};
    auto r = ConvertibleFromGeneratedContent<T>::convertir(*p);
    if (!r) return GenerationError{"propiedad «" + std::string(forProperty) + "»: " + r.error().texto};
    return std::optional<T>(std::move(r).value());
}

}  // namespace vkacta
