#include "Transcript.h"

#include <gtest/gtest.h>

#include <numeric>

using vkacta::ActionItem;
using vkacta::chunk;
using vkacta::esBlanco;
using vkacta::longitud;
using vkacta::MeetingDigest;
using vkacta::render;

namespace {

std::string repetir(std::string_view s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

std::string unir(const std::vector<std::string>& partes) {
    return std::accumulate(partes.begin(), partes.end(), std::string());
}

}  // namespace

TEST(Caracteres, CuentaGrafemasNoBytesNiPuntosDeCodigo) {
    EXPECT_EQ(longitud(""), 0);
    EXPECT_EQ(longitud("abc"), 3);
    EXPECT_EQ(longitud("e\xCC\x81"), 1);                                         // e + combining acute
    EXPECT_EQ(longitud("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), 1);      // woman ZWJ laptop
    EXPECT_EQ(longitud("\xF0\x9F\x87\xAA\xF0\x9F\x87\xB8\xF0\x9F\x87\xB2"), 2);  // ES flag + lone M
    EXPECT_EQ(longitud("\r\n"), 1);
    EXPECT_EQ(longitud("\n\r"), 2);
    EXPECT_EQ(longitud("a\n\xCC\x81"), 3);  // a mark after a line feed stands alone
    EXPECT_EQ(longitud("\xFF\xFE"), 2);     // stray bytes count one each
}

TEST(Caracteres, BlancoEsCategoriaZMasControlesDeLinea) {
    EXPECT_TRUE(esBlanco(""));
    EXPECT_TRUE(esBlanco(" \t\n\v\f\r\n"));
    EXPECT_TRUE(esBlanco("\xC2\x85"));                          // U+0085
    EXPECT_TRUE(esBlanco("\xE3\x80\x80"));                      // U+3000
    EXPECT_TRUE(esBlanco("\xC2\xA0\xE2\x80\xA8\xE2\x80\xA9"));  // NBSP, LS, PS
    EXPECT_FALSE(esBlanco("\xE2\x80\x8B"));                     // zero width space is Cf
    EXPECT_FALSE(esBlanco("\xEF\xBB\xBF"));                     // BOM
    EXPECT_FALSE(esBlanco(" \x1C "));                           // U+001C is not in the set
    EXPECT_FALSE(esBlanco("  x  "));
}

TEST(Chunk, DentroDelLimiteVaEntero) {
    std::string texto = repetir("a", 6000);
    EXPECT_EQ(chunk(texto, 6000), std::vector<std::string>{texto});
    std::string conBlancos = "\n\n  hola \n\n";
    EXPECT_EQ(chunk(conBlancos, 6000), std::vector<std::string>{conBlancos});
    // The limit counts characters: 10 decomposed é are 30 bytes but 10 characters.
    std::string acentos = repetir("e\xCC\x81", 10);
    EXPECT_EQ(chunk(acentos, 10), std::vector<std::string>{acentos});
}

TEST(Chunk, UnCaracterDeMasTomaElCorte) {
    std::string texto = repetir("a", 6001);
    EXPECT_EQ(chunk(texto, 6000), std::vector<std::string>{texto + "\n"});
    std::string acentos = repetir("e\xCC\x81", 11);
    EXPECT_EQ(chunk(acentos, 10), std::vector<std::string>{acentos + "\n"});
}

TEST(Chunk, CrLfNoEsSaltoDeLinea) {
    std::string texto = repetir("linea\r\n", 1000);  // 6000 characters, 7000 bytes
    EXPECT_EQ(longitud(texto), 6000);
    EXPECT_EQ(chunk(texto, 5999), std::vector<std::string>{texto + "\n"});
    // A lone line feed after a lone CR still splits.
    auto partes = chunk("aaaa\r\r\nbb\nccc", 8);
    EXPECT_EQ(partes, (std::vector<std::string>{"aaaa\r\r\nbb\n", "ccc\n"}));
}

TEST(Chunk, LineasEnterasHastaElLimite) {
    EXPECT_EQ(chunk("aaaa\nbbbb\ncccc", 10), (std::vector<std::string>{"aaaa\nbbbb\n", "cccc\n"}));
}

TEST(Chunk, LineaLargaEntreCortasVaSola) {
    std::string larga = repetir("x", 25);
    auto partes = chunk("ab\ncd\n" + larga + "\nef\ngh", 10);
    EXPECT_EQ(partes, (std::vector<std::string>{"ab\ncd\n", larga + "\n", "ef\ngh\n"}));
}

TEST(Chunk, LineasEnBlancoAntesDeUnaLineaLarga) {
    std::string larga = repetir("x", 12);
    EXPECT_EQ(chunk("\n\n\n" + larga, 10), (std::vector<std::string>{"\n\n\n", larga + "\n"}));
}

TEST(Chunk, RestoEnBlancoSeDescarta) {
    EXPECT_EQ(chunk("aaaa\nbbbb\n   ", 5), (std::vector<std::string>{"aaaa\n", "bbbb\n"}));
    EXPECT_EQ(chunk("aaaa\nbbbb\n", 5), (std::vector<std::string>{"aaaa\n", "bbbb\n"}));
    EXPECT_TRUE(chunk(repetir(" ", 11), 10).empty());
}

TEST(Chunk, UnirLasPartesDevuelveElTextoMasUnSalto) {
    std::string texto;
    for (int i = 0; i < 300; ++i)
        texto += repetir("palabra ", i % 6) + "\n";
    texto += "fin";
    auto partes = chunk(texto, 50);
    EXPECT_EQ(unir(partes), texto + "\n");
    for (const auto& p : partes) {
        EXPECT_EQ(p.back(), '\n');
        EXPECT_LE(longitud(p), 50);
    }
    // A line longer than the limit only ever stands alone.
    texto += "\n" + repetir("larga ", 20) + "\ncorta";
    partes = chunk(texto, 50);
    EXPECT_EQ(unir(partes), texto + "\n");
    EXPECT_EQ(partes[partes.size() - 2], repetir("larga ", 20) + "\n");
}

TEST(Chunk, LimitesDegenerados) {
    // Every line its own part; nothing breaks.
    EXPECT_EQ(chunk("a\nb", 0), (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(chunk("a\nb", -5), (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(chunk("", 0), std::vector<std::string>{""});
}

TEST(Render, EjemploCompleto) {
    MeetingDigest d{"S", {"A", "B"}, {{"t1", "o1", ""}, {"", "", "d2"}}};
    EXPECT_EQ(render(d), "S\nDecisiones: A; B\nPendientes: t1 \xE2\x80\x94 o1; d2");
}

TEST(Render, CasosLimite) {
    EXPECT_EQ(render(MeetingDigest{"solo esto", {}, {}}), "solo esto");
    EXPECT_EQ(render(MeetingDigest{"", {"A"}, {}}), "\nDecisiones: A");
    EXPECT_EQ(render(MeetingDigest{"S", {}, {{"a", "", ""}, {"", "", ""}, {"b", "", ""}}}),
              "S\nPendientes: a; ; b");
    EXPECT_EQ(render(MeetingDigest{"S", {}, {{"", "", "el lunes"}}}), "S\nPendientes: el lunes");
    // Spaces are content, not emptiness.
    EXPECT_EQ(render(MeetingDigest{"S", {" "}, {{" ", "", "x"}}}),
              "S\nDecisiones:  \nPendientes:   \xE2\x80\x94 x");
}
