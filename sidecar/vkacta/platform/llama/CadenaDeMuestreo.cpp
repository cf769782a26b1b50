#include "CadenaDeMuestreo.h"

#include <llama.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>

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

// The greedy search looks at the best tokens in windows growing by this factor.
constexpr size_t kPrimeraVentana = 64;
constexpr size_t kCrecimiento = 8;

// The token with the highest logit, ties to the lower id, as std::max_element gives it, in a
// fraction of its time: eight running maxima have no chain of dependent comparisons (one is
// some 4 ns a token, half a millisecond a choice on a large vocabulary), then the first token
// that holds the maximum.
llama_token mejorCrudo(const float* logits, size_t n) {
    constexpr size_t kCarriles = 8;
    const auto plano = [&] {
        return static_cast<llama_token>(std::max_element(logits, logits + n) - logits);
    };
    if (n < kCarriles) return plano();
    std::array<float, kCarriles> maximo{};
    std::copy(logits, logits + kCarriles, maximo.begin());
    size_t i = kCarriles;
    for (; i + kCarriles <= n; i += kCarriles)
        for (size_t c = 0; c < kCarriles; ++c)
            maximo[c] = logits[i + c] > maximo[c] ? logits[i + c] : maximo[c];
    float m = *std::max_element(maximo.begin(), maximo.end());
    for (; i < n; ++i)
        m = logits[i] > m ? logits[i] : m;
    const float* const hallado = std::find(logits, logits + n, m);
    // Logits that are not numbers compare with nothing: leave those to max_element.
    return hallado == logits + n ? plano() : static_cast<llama_token>(hallado - logits);
}

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

// Higher logit first, ties to the lower id: the order greedy decoding picks in.
bool antes(const llama_token_data& a, const llama_token_data& b) {
    return a.logit > b.logit || (a.logit == b.logit && a.id < b.id);
}

}  // namespace

std::string piezaDelToken(const llama_vocab* vocab, int32_t token, bool especiales) {
    std::string p(64, '\0');
    int32_t n = llama_token_to_piece(vocab, token, p.data(), static_cast<int32_t>(p.size()), 0, especiales);
    if (n < 0) {
        p.resize(static_cast<size_t>(-n));
        n = llama_token_to_piece(vocab, token, p.data(), static_cast<int32_t>(p.size()), 0, especiales);
    }
    p.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return p;
}

void CadenaDeMuestreo::Borrador::operator()(llama_sampler* s) const {
    llama_sampler_free(s);
}

CadenaDeMuestreo::CadenaDeMuestreo(const llama_vocab* vocab, bool mascaraCompleta)
    : nVocab_(static_cast<size_t>(llama_vocab_n_tokens(vocab))),
      mascaraCompleta_(mascaraCompleta),
      dry_(llama_sampler_init_dry(vocab, kMultiplicador, kBase, kLargoPermitido, kUltimos,
                                  const_cast<const char**>(kRupturas), std::size(kRupturas))),  // NOLINT
      primerByte_(nVocab_, -1),
      tokenDelByte_(256, LLAMA_TOKEN_NULL),
      candidatos_(nVocab_) {
    for (size_t i = 0; i < nVocab_; ++i) {
        const auto token = static_cast<llama_token>(i);
        if (llama_vocab_is_eog(vocab, token)) continue;
        const std::string p = piezaDelToken(vocab, token, true);
        if (p.empty()) continue;
        const auto byte = static_cast<unsigned char>(p[0]);
        primerByte_[i] = byte;
        if (p.size() == 1 && tokenDelByte_[byte] == LLAMA_TOKEN_NULL) tokenDelByte_[byte] = token;
    }
}

CadenaDeMuestreo::~CadenaDeMuestreo() = default;

void CadenaDeMuestreo::empezar(const GenerationOptions& opciones, llama_sampler* gramatica,
                               bool podaPorPrimerByte) {
    llama_sampler_reset(dry_.get());
    gramatica_ = gramatica;
    podaPorPrimerByte_ = gramatica != nullptr && podaPorPrimerByte && !mascaraCompleta_;
    voraz_ = opciones.sampling != SamplingMode::random;
    azar_.reset();
    if (!voraz_) {
        azar_.reset(llama_sampler_chain_init(llama_sampler_chain_default_params()));
        llama_sampler_chain_add(
            azar_.get(), llama_sampler_init_temp(static_cast<float>(opciones.temperature.value_or(0.8))));
        llama_sampler_chain_add(azar_.get(), llama_sampler_init_dist(std::random_device{}()));
    }
}

size_t CadenaDeMuestreo::llenar(const float* logits, bool podar) {
    // Which first bytes the grammar takes now, asked once with the one-byte tokens; a byte the
    // vocabulary has no such token for is never a reason to leave a token out.
    std::array<bool, 256> admitido{};
    admitido.fill(true);
    if (podar) {
        std::array<llama_token_data, 256> bytes{};
        size_t n = 0;
        for (const llama_token t : tokenDelByte_)
            if (t != LLAMA_TOKEN_NULL) bytes[n++] = {t, 0.0F, 0.0F};
        llama_token_data_array a{bytes.data(), n, -1, false};
        llama_sampler_apply(gramatica_, &a);
        for (size_t i = 0; i < n; ++i)
            admitido[static_cast<size_t>(primerByte_[static_cast<size_t>(bytes[i].id)])] =
                !rechazado(bytes[i]);
    }
    size_t n = 0;
    for (size_t i = 0; i < nVocab_; ++i) {
        const int16_t b = primerByte_[i];
        if (b < 0 || admitido[static_cast<size_t>(b)])
            candidatos_[n++] = {static_cast<llama_token>(i), logits[i], 0.0F};
    }
    return n;
}

int32_t CadenaDeMuestreo::mejor(size_t desde, size_t hasta) const {
    const auto m = std::min_element(candidatos_.begin() + static_cast<std::ptrdiff_t>(desde),
                                    candidatos_.begin() + static_cast<std::ptrdiff_t>(hasta), antes);
    return rechazado(*m) ? LLAMA_TOKEN_NULL : m->id;
}

Result<int32_t> CadenaDeMuestreo::elegir(const float* logits) {
    return voraz_ ? elegirVoraz(logits) : elegirAlAzar(logits);
}

Result<int32_t> CadenaDeMuestreo::elegirParaCerrar(const float* logits, bool dentroDeTexto) {
    if (gramatica_ == nullptr) return elegir(logits);
    size_t n = 0;
    for (size_t i = 0; i < nVocab_; ++i) {
        const int16_t b = primerByte_[i];
        if (dentroDeTexto ? b == '"' : b == ']' || b == '}')
            candidatos_[n++] = {static_cast<llama_token>(i), logits[i], 0.0F};
    }
    if (n > 0) {
        llama_token_data_array cierran{candidatos_.data(), n, -1, false};
        llama_sampler_apply(gramatica_, &cierran);
        const llama_token token = mejor(0, n);
        if (token != LLAMA_TOKEN_NULL) {
            ++cuentas_.cierres;
            return token;
        }
    }
    return elegir(logits);
}

Result<int32_t> CadenaDeMuestreo::elegirVoraz(const float* logits) {
    if (mascaraCompleta_) {
        const size_t n = llenar(logits, false);
        llama_token_data_array todos{candidatos_.data(), n, -1, false};
        llama_sampler_apply(dry_.get(), &todos);
        if (gramatica_ != nullptr) {
            llama_sampler_apply(gramatica_, &todos);
            ++cuentas_.mascarasCompletas;
        }
        cuentas_.tokensRevisados += static_cast<int64_t>(n);
        const llama_token token = mejor(0, n);
        if (token == LLAMA_TOKEN_NULL)
            return GenerationError{"la gramática del esquema no admite ningún token"};
        return token;
    }

    // The best raw logit, ties to the lower id: when DRY leaves it as it is and the grammar
    // takes it, nothing can beat it, and no other token needs a look.
    const llama_token primero = mejorCrudo(logits, nVocab_);
    llama_token_data uno{primero, logits[primero], 0.0F};
    llama_token_data_array solo{&uno, 1, -1, false};
    llama_sampler_apply(dry_.get(), &solo);
    if (uno.logit == logits[primero]) {
        if (gramatica_ == nullptr || admite(gramatica_, primero, uno.logit)) return primero;
        ++cuentas_.rechazos;
    }

    // The best tokens by raw logit in growing windows, each through DRY and the grammar once.
    // Once the best of those seen so far beats the raw logit of the best one left (which no
    // penalty can raise), it is the answer; ties go on looking, so the lower id wins them.
    const size_t n = llenar(logits, podaPorPrimerByte_);
    const auto inicio = candidatos_.begin();
    size_t hecho = 0;
    size_t hasta = std::min(n, kPrimeraVentana);
    for (;;) {
        if (hasta < n)
            std::nth_element(inicio + static_cast<std::ptrdiff_t>(hecho),
                             inicio + static_cast<std::ptrdiff_t>(hasta),
                             inicio + static_cast<std::ptrdiff_t>(n), antes);
        llama_token_data_array ventana{candidatos_.data() + hecho, hasta - hecho, -1, false};
        llama_sampler_apply(dry_.get(), &ventana);
        if (gramatica_ != nullptr) llama_sampler_apply(gramatica_, &ventana);
        cuentas_.tokensRevisados += static_cast<int64_t>(hasta - hecho);
        if (hasta == n) break;
        const auto m = std::min_element(inicio, inicio + static_cast<std::ptrdiff_t>(hasta), antes);
        if (!rechazado(*m) && m->logit > candidatos_[hasta].logit) break;
        hecho = hasta;
        hasta = std::min(n, hasta * kCrecimiento);
    }
    if (hasta == nVocab_ && gramatica_ != nullptr) ++cuentas_.mascarasCompletas;
    const llama_token token = n == 0 ? LLAMA_TOKEN_NULL : mejor(0, hasta);
    if (token == LLAMA_TOKEN_NULL) return GenerationError{"la gramática del esquema no admite ningún token"};
    return token;
}

Result<int32_t> CadenaDeMuestreo::elegirAlAzar(const float* logits) {
    size_t n = llenar(logits, false);
    llama_token_data_array todos{candidatos_.data(), n, -1, false};
    llama_sampler_apply(dry_.get(), &todos);
    if (gramatica_ != nullptr && mascaraCompleta_) {
        llama_sampler_apply(gramatica_, &todos);
        ++cuentas_.mascarasCompletas;
    }
    llama_sampler_apply(azar_.get(), &todos);
    llama_token token = todos.data[todos.selected].id;
    if (gramatica_ == nullptr || mascaraCompleta_ || admite(gramatica_, token, 0.0F)) {
        if (rechazado(todos.data[todos.selected]))
            return GenerationError{"la gramática del esquema no admite ningún token"};
        return token;
    }

    // A draw the grammar refuses is drawn again among the tokens it takes: together, exactly
    // the masked distribution. The tokens left out by their first byte would be masked anyway,
    // so only the rest go through DRY, the grammar and the draw.
    ++cuentas_.rechazos;
    n = llenar(logits, podaPorPrimerByte_);
    if (n == nVocab_) ++cuentas_.mascarasCompletas;
    cuentas_.tokensRevisados += static_cast<int64_t>(n);
    todos = {candidatos_.data(), n, -1, false};
    llama_sampler_apply(dry_.get(), &todos);
    llama_sampler_apply(gramatica_, &todos);
    llama_sampler_apply(azar_.get(), &todos);
    token = n == 0 || todos.selected < 0 || rechazado(todos.data[todos.selected])
                ? LLAMA_TOKEN_NULL
                : todos.data[todos.selected].id;
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
