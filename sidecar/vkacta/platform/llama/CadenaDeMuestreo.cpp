#include "CadenaDeMuestreo.h"

#include <llama.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace vkacta {
namespace {

// DRY as its authors tune it for prose: a repeat of more than two tokens starts to cost, and the
// cost grows with every token the repeat goes on. JSON's structural characters break sequences
// (besides the line feed), so `","owner":"` and the like never count as a repeat.
constexpr float kMultiplicador = 0.8F;
constexpr float kBase = 1.75F;
constexpr int32_t kLargoPermitido = 2;
// How far back a repeat is looked for: longer than any answer the budget allows a part.
constexpr int32_t kUltimos = 8192;
constexpr const char* kRupturas[] = {"\n", "\"", ":", ",", "{", "}", "[", "]"};

// How many of the best tokens are checked one by one before the whole vocabulary is masked.
constexpr size_t kCandidatosCercanos = 512;

bool rechazado(const llama_token_data& t) {
    return std::isinf(t.logit) && t.logit < 0;
}

// Whether the grammar takes this one token now; far cheaper than masking the whole vocabulary.
bool admite(llama_sampler* gramatica, llama_token token, float logit) {
    llama_token_data uno{token, logit, 0.0F};
    llama_token_data_array solo{&uno, 1, -1, false};
    llama_sampler_apply(gramatica, &solo);
    return !rechazado(uno);
}

}  // namespace

void CadenaDeMuestreo::Borrador::operator()(llama_sampler* s) const {
    llama_sampler_free(s);
}

CadenaDeMuestreo::CadenaDeMuestreo(const llama_vocab* vocab)
    : nVocab_(static_cast<size_t>(llama_vocab_n_tokens(vocab))),
      dry_(llama_sampler_init_dry(vocab, kMultiplicador, kBase, kLargoPermitido, kUltimos,
                                  const_cast<const char**>(kRupturas), std::size(kRupturas))),  // NOLINT
      candidatos_(nVocab_) {}

CadenaDeMuestreo::~CadenaDeMuestreo() = default;

void CadenaDeMuestreo::empezar(const GenerationOptions& opciones, llama_sampler* gramatica) {
    llama_sampler_reset(dry_.get());
    gramatica_ = gramatica;
    voraz_ = opciones.sampling != SamplingMode::random;
    azar_.reset();
    if (!voraz_) {
        azar_.reset(llama_sampler_chain_init(llama_sampler_chain_default_params()));
        llama_sampler_chain_add(
            azar_.get(), llama_sampler_init_temp(static_cast<float>(opciones.temperature.value_or(0.8))));
        llama_sampler_chain_add(azar_.get(), llama_sampler_init_dist(std::random_device{}()));
    }
}

void CadenaDeMuestreo::llenar(const float* logits) {
    for (size_t i = 0; i < nVocab_; ++i)
        candidatos_[i] = {static_cast<llama_token>(i), logits[i], 0.0F};
    llama_token_data_array todos{candidatos_.data(), nVocab_, -1, false};
    llama_sampler_apply(dry_.get(), &todos);
}

int32_t CadenaDeMuestreo::mejor(size_t n) const {
    const auto m = std::max_element(candidatos_.begin(), candidatos_.begin() + static_cast<std::ptrdiff_t>(n),
                                    [](const llama_token_data& a, const llama_token_data& b) {
                                        // Ties go to the lower id, whatever order the array is in.
                                        return a.logit < b.logit || (a.logit == b.logit && a.id > b.id);
                                    });
    return rechazado(*m) ? LLAMA_TOKEN_NULL : m->id;
}

Result<int32_t> CadenaDeMuestreo::elegir(const float* logits) {
    llenar(logits);
    llama_token_data_array todos{candidatos_.data(), nVocab_, -1, false};
    llama_token token = LLAMA_TOKEN_NULL;
    if (voraz_) {
        token = mejor(nVocab_);
    } else {
        llama_sampler_apply(azar_.get(), &todos);
        token = todos.data[todos.selected].id;
    }
    if (gramatica_ == nullptr || admite(gramatica_, token, 0.0F)) return token;

    // Checking the one chosen token is cheap; masking the whole vocabulary is not, so it happens
    // only when the grammar rejects that token.
    ++cuentas_.rechazos;
    if (voraz_ && nVocab_ > kCandidatosCercanos) {
        // Greedy: the best token the grammar accepts among the best few is the best it accepts
        // at all, so the whole vocabulary is masked only when none of them will do.
        const auto corte = candidatos_.begin() + static_cast<std::ptrdiff_t>(kCandidatosCercanos);
        std::nth_element(candidatos_.begin(), corte, candidatos_.end(),
                         [](const llama_token_data& a, const llama_token_data& b) {
                             return a.logit > b.logit || (a.logit == b.logit && a.id < b.id);
                         });
        llama_token_data_array cercanos{candidatos_.data(), kCandidatosCercanos, -1, false};
        llama_sampler_apply(gramatica_, &cercanos);
        token = mejor(kCandidatosCercanos);
        if (token != LLAMA_TOKEN_NULL) return token;
    }
    ++cuentas_.mascarasCompletas;
    llenar(logits);
    todos = {candidatos_.data(), nVocab_, -1, false};
    llama_sampler_apply(gramatica_, &todos);
    if (voraz_) {
        token = mejor(nVocab_);
    } else {
        llama_sampler_apply(azar_.get(), &todos);
        token = todos.selected < 0 || rechazado(todos.data[todos.selected]) ? LLAMA_TOKEN_NULL
                                                                            : todos.data[todos.selected].id;
    }
    if (token == LLAMA_TOKEN_NULL) return GenerationError{"la gramática del esquema no admite ningún token"};
    return token;
}

void CadenaDeMuestreo::aceptar(int32_t token) {
    if (gramatica_ != nullptr) llama_sampler_accept(gramatica_, token);
    llama_sampler_accept(dry_.get(), token);
    if (azar_) llama_sampler_accept(azar_.get(), token);
}

bool CadenaDeMuestreo::puedeTerminar(int32_t fin) const {
    return gramatica_ == nullptr || (fin != LLAMA_TOKEN_NULL && admite(gramatica_, fin, 0.0F));
}

}  // namespace vkacta
