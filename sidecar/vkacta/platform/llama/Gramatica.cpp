#include "Gramatica.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vkacta {
namespace {

// A JSON string: any character but the quote, the backslash and controls, or an escape. The
// characters are listed as the ranges allowed: the grammar engine decodes UTF-8 leniently and
// would pass surrogates and code points past U+10FFFF, which no JSON reader takes, while a class
// of exclusions would also turn away the characters near them whenever a token boundary splits
// one. A \u escape of a surrogate must be half of a pair.
constexpr const char* kReglasDeCaracter =
    "caracter ::= [\\x20-\\x21\\x23-\\x5B\\x5D-\\x7E\\x80-\\uD7FF\\uE000-\\U0010FFFF] | "
    "\"\\\\\" ([\"\\\\/bfnrt] | \"u\" unidad)\n"
    "unidad ::= [0-9a-cA-Ce-fE-F] hex hex hex | [dD] [0-7] hex hex | "
    "[dD] [89abAB] hex hex \"\\\\u\" [dD] [c-fC-F] hex hex\n"
    "hex ::= [0-9a-fA-F]\n";

std::string reglasDeTexto() {
    return "texto ::= \"\\\"\" caracter{0," + std::to_string(kCaracteresMaximos) + "} \"\\\"\"\n" +
           std::string(kReglasDeCaracter);
}

// A GBNF string literal that matches `s` exactly.
std::string literal(const std::string& s) {
    std::string r = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            r += '\\';
            r += c;
        } else if (u < 0x20) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            r += "\\x";
            r += kHex[u >> 4U];
            r += kHex[u & 0xFU];
        } else {
            r += c;
        }
    }
    return r + "\"";
}

// A JSON-encoded property name: the key as the answer must spell it.
std::string claveJson(const std::string& nombre) {
    std::string r = "\"";
    for (const char c : nombre) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            r += '\\';
            r += c;
        } else if (u < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            r += "\\u00";
            r += kHex[u >> 4U];
            r += kHex[u & 0xFU];
        } else {
            r += c;
        }
    }
    return r + "\"";
}

class Conversor {
  public:
    std::string reglas() const {
        std::string r;
        for (const auto& linea : lineas_)
            r += linea + "\n";
        return r + reglasDeTexto();
    }

    // The grammar expression matching a value of `s`, adding the rules it needs.
    std::string expresion(const GenerationSchema& s) {
        switch (s.kind()) {
            case GenerationSchema::Kind::string:
                return "texto";
            case GenerationSchema::Kind::array: {
                const std::string e = expresion(s.items());
                return "\"[\" (" + e + " (\",\" " + e + "){0," + std::to_string(kEntradasMaximas - 1) +
                       "})? \"]\"";
            }
            case GenerationSchema::Kind::object:
                return reglaDeObjeto(s);
        }
        return "texto";
    }

  private:
    // Structurally equal objects of the same type share a rule; a different object with the
    // same type name gets a numbered one.
    std::string reglaDeObjeto(const GenerationSchema& s) {
        std::string cuerpo = "\"{\"";
        bool primera = true;
        for (const auto& p : s.properties()) {
            // Appended piece by piece: g++ 12 at -O3 misreads the temporary chain (-Wrestrict).
            std::string clave = primera ? "" : ",";
            clave += claveJson(p.name);
            clave += ':';
            cuerpo += ' ';
            cuerpo += literal(clave);
            cuerpo += ' ';
            cuerpo += expresion(*p.type);
            primera = false;
        }
        cuerpo += " \"}\"";
        const std::string base = nombreBase(s.typeName());
        for (const auto& [nombre, hecha] : hechas_) {
            if (hecha.first == base && hecha.second == cuerpo) return nombre;
        }
        std::string nombre = base;
        for (int n = 2; usado(nombre); ++n)
            nombre = base + "-" + std::to_string(n);
        hechas_.emplace_back(nombre, std::make_pair(base, cuerpo));
        lineas_.push_back(nombre + " ::= " + cuerpo);
        return nombre;
    }

    // Rule names allow letters, digits and '-'; anything else becomes '-'.
    static std::string nombreBase(const std::string& tipo) {
        std::string base = "obj-";
        for (const char c : tipo) {
            const bool valido = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            base += valido ? c : '-';
        }
        return base;
    }

    bool usado(const std::string& nombre) const {
        for (const auto& h : hechas_) {
            if (h.first == nombre) return true;
        }
        return false;
    }

    std::vector<std::string> lineas_;
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> hechas_;  // name, (base, body)
};

}  // namespace

std::string gramaticaGbnf(const GenerationSchema& esquema) {
    Conversor c;
    const std::string raiz = c.expresion(esquema);
    return "root ::= " + raiz + "\n" + c.reglas();
}

namespace {

// The shortest value of a schema, in characters.
int minimo(const GenerationSchema& s) {
    if (s.kind() != GenerationSchema::Kind::object) return 2;  // "" or []
    int n = 2;
    for (const auto& p : s.properties())
        n += static_cast<int>(claveJson(p.name).size()) + 2 +
             minimo(*p.type);  // the comma or brace, the colon
    return n;
}

}  // namespace

int caracteresParaCerrar(const GenerationSchema& s) {
    // Inside a string: at most the rest of a \uXXXX\uXXXX pair, then the quote.
    constexpr int kTexto = 12;
    switch (s.kind()) {
        case GenerationSchema::Kind::string:
            return kTexto;
        case GenerationSchema::Kind::array:
            // Inside an entry, or after a comma (a whole entry is due), then the bracket.
            return std::max(caracteresParaCerrar(s.items()), minimo(s.items())) + 1;
        case GenerationSchema::Kind::object: {
            // Inside a property's key or value: the rest of it and the properties after it.
            int peor = 0, despues = 1;  // the brace
            const auto& ps = s.properties();
            for (auto p = ps.rbegin(); p != ps.rend(); ++p) {
                const int clave = static_cast<int>(claveJson(p->name).size()) + 2;
                peor = std::max(peor,
                                clave + std::max(caracteresParaCerrar(*p->type), minimo(*p->type)) + despues);
                despues += clave + minimo(*p->type);
            }
            return std::max(peor, despues + 1);
        }
    }
    return kTexto;
}

bool admitePodaPorPrimerByte(const std::string& gbnf) {
    return gbnf.find("[^") == std::string::npos && gbnf.find('<') == std::string::npos;
}

}  // namespace vkacta
