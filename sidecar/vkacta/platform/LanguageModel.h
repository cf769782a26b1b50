#pragma once
// The language-model operations the digest flow uses: the system's default model and its
// availability, sessions made with instructions and no tools, generation options, and one
// awaited request that generates content against a schema.
//
// Contract for every implementation (the llama.cpp backend, the test double):
// - One thread calls everything, one call at a time. Calls may block (loading, generating);
//   nothing here calls back into the caller.
// - `availability()` does no generation and touches no standard stream.
// - Each session starts with no history: the instructions are its only context. A request
//   sees the instructions, the prompt and, when asked, the schema, never an earlier request
//   of any session. A session may outlive its model object only if the implementation says
//   so; the flow drops every session before the model.
// - `respond` returns content that follows `schema` (objects with the schema's properties,
//   in its order), or a `GenerationError` whose text says what went wrong. It never throws
//   for a generation failure; std::bad_alloc may escape.
// - Generation options left unset mean the implementation's defaults.
//
// The schema and content types live in GenerationSchema.h and GeneratedContent.h; their code
// is in the static target `vkacta_plataforma`, which a backend links.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "GeneratedContent.h"
#include "GenerationSchema.h"

namespace vkacta {

// Whether the model can be used; when not, why, as a text for the user.
class Availability {
  public:
    // The reason the model cannot be used (missing, not loadable...), with its textual form.
    struct UnavailableReason {
        std::string texto;
    };

    static Availability available() { return Availability{}; }
    static Availability unavailable(std::string motivo) {
        Availability a;
        a.motivo_ = UnavailableReason{std::move(motivo)};
        return a;
    }

    bool isAvailable() const { return !motivo_.has_value(); }
    // Only when !isAvailable().
    const UnavailableReason& reason() const { return *motivo_; }

  private:
    std::optional<UnavailableReason> motivo_;
};

enum class SamplingMode { greedy, random };

// Everything unset by default: the platform chooses sampling, temperature and answer length.
struct GenerationOptions {
    std::optional<SamplingMode> sampling;
    std::optional<double> temperature;
    std::optional<int> maximumResponseTokens;

    bool operator==(const GenerationOptions&) const = default;
};

class LanguageModelSession {
  public:
    virtual ~LanguageModelSession() = default;
    LanguageModelSession() = default;
    LanguageModelSession(const LanguageModelSession&) = delete;
    LanguageModelSession& operator=(const LanguageModelSession&) = delete;

    // Blocks until the model has answered. `includeSchemaInPrompt` asks for the schema to be
    // written into the prompt as well as used to constrain the answer.
    virtual Result<GeneratedContent> respond(const std::string& prompt, const GenerationSchema& schema,
                                             bool includeSchemaInPrompt,
                                             const GenerationOptions& options) = 0;

    // Whether `respond` with this prompt (and the options left unset) fits the model's context
    // together with the whole answer budget it would get. Generates nothing; cheap next to a
    // request, so it may be asked many times.
    virtual bool cabe(const std::string& prompt, const GenerationSchema& schema,
                      bool includeSchemaInPrompt) = 0;
};

class LanguageModel {
  public:
    virtual ~LanguageModel() = default;
    LanguageModel() = default;
    LanguageModel(const LanguageModel&) = delete;
    LanguageModel& operator=(const LanguageModel&) = delete;

    virtual Availability availability() = 0;
    // A new conversation with these instructions and no tools. Only called when available.
    virtual std::unique_ptr<LanguageModelSession> makeSession(const std::string& instructions) = 0;
};

// The system's default model, for the executable at `ejecutable` (the model file sits at a
// fixed place beside it). Never null and never throws for a missing or broken model file:
// that is reported by `availability()`. Defined by the platform backend.
std::unique_ptr<LanguageModel> modeloDelSistema(const std::filesystem::path& ejecutable);

// A record the model can generate: it publishes its schema and converts both ways.
template <class T>
concept Generable = requires(const T& v, const GeneratedContent& c) {
    { T::generationSchema() } -> std::convertible_to<GenerationSchema>;
    { T::desdeContenido(c) } -> std::same_as<Result<T>>;
    { v.generatedContent() } -> std::same_as<GeneratedContent>;
};

// One typed request: the content of the answer converted to T. A conversion failure is a
// failure of the request, like any generation error.
template <Generable T>
Result<T> respond(LanguageModelSession& session, const std::string& prompt, bool includeSchemaInPrompt,
                  const GenerationOptions& options) {
    auto contenido = session.respond(prompt, T::generationSchema(), includeSchemaInPrompt, options);
    if (!contenido) return contenido.error();
    return T::desdeContenido(contenido.value());
}

}  // namespace vkacta
