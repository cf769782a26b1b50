#include "Transcript.h"

#include <utf8proc.h>

namespace vkacta {

namespace {

// Next code point of `texto` from byte `i`; an invalid byte reads as U+FFFD of length 1.
utf8proc_int32_t siguiente(std::string_view texto, std::size_t& i) {
    utf8proc_int32_t cp = 0;
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(texto.data() + i);
    auto n = utf8proc_iterate(p, static_cast<utf8proc_ssize_t>(texto.size() - i), &cp);
    if (n <= 0) {
        i += 1;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(n);
    return cp;
}

bool esEspacio(utf8proc_int32_t cp) {
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
    switch (utf8proc_category(cp)) {
        case UTF8PROC_CATEGORY_ZS:
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            return true;
        default:
            return false;
    }
}

// A line feed that is a character of its own: not the second half of CR LF.
bool esSalto(std::string_view texto, std::size_t i) {
    return texto[i] == '\n' && (i == 0 || texto[i - 1] != '\r');
}

}  // namespace

std::int64_t longitud(std::string_view texto) {
    std::int64_t n = 0;
    utf8proc_int32_t estado = 0;
    utf8proc_int32_t anterior = -1;
    std::size_t i = 0;
    while (i < texto.size()) {
        utf8proc_int32_t cp = siguiente(texto, i);
        if (anterior < 0 || utf8proc_grapheme_break_stateful(anterior, cp, &estado)) ++n;
        anterior = cp;
    }
    return n;
}

bool esBlanco(std::string_view texto) {
    std::size_t i = 0;
    while (i < texto.size()) {
        if (!esEspacio(siguiente(texto, i))) return false;
    }
    return true;
}

std::vector<std::string> chunk(std::string_view text, std::int64_t limit) {
    if (longitud(text) <= limit) return {std::string(text)};

    std::vector<std::string> partes;
    std::string acumulado;
    std::int64_t largo = 0;
    std::size_t inicio = 0;
    // Lines end at each lone line feed; the text's end closes the last line, even when empty.
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !esSalto(text, i)) continue;
        std::string_view linea = text.substr(inicio, i - inicio);
        std::int64_t n = longitud(linea);
        if (!acumulado.empty() && largo + n + 1 > limit) {
            partes.push_back(std::move(acumulado));
            acumulado.clear();
            largo = 0;
        }
        acumulado.append(linea);
        acumulado.push_back('\n');
        largo += n + 1;
        inicio = i + 1;
    }
    if (!esBlanco(acumulado)) partes.push_back(std::move(acumulado));
    return partes;
}

std::string render(const MeetingDigest& digest) {
    std::string texto = digest.summary;
    if (!digest.decisions.empty()) {
        texto += "\nDecisiones: ";
        for (std::size_t i = 0; i < digest.decisions.size(); ++i) {
            if (i > 0) texto += "; ";
            texto += digest.decisions[i];
        }
    }
    if (!digest.actionItems.empty()) {
        texto += "\nPendientes: ";
        for (std::size_t i = 0; i < digest.actionItems.size(); ++i) {
            if (i > 0) texto += "; ";
            const ActionItem& t = digest.actionItems[i];
            bool primero = true;
            for (const std::string* campo : {&t.task, &t.owner, &t.due}) {
                if (campo->empty()) continue;
                if (!primero) texto += " — ";
                texto += *campo;
                primero = false;
            }
        }
    }
    return texto;
}

}  // namespace vkacta
