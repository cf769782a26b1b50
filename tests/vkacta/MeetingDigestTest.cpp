#include "MeetingDigest.h"

#include <gtest/gtest.h>

using vkacta::ActionItem;
using vkacta::GeneratedContent;
using vkacta::GenerationID;
using vkacta::GenerationSchema;
using vkacta::MeetingDigest;

namespace {

GeneratedContent objeto(GeneratedContent::Propiedades p) {
    return GeneratedContent(std::move(p), std::nullopt);
}

GeneratedContent tarea(const char* task, const char* owner, const char* due) {
    return objeto({{"task", GeneratedContent(task)},
                   {"owner", GeneratedContent(owner)},
                   {"due", GeneratedContent(due)}});
}

GeneratedContent lista(std::vector<GeneratedContent> v) {
    return GeneratedContent(std::move(v));
}

}  // namespace

TEST(Esquema, PropiedadesEnOrdenConSusDescripciones) {
    GenerationSchema s = MeetingDigest::generationSchema();
    ASSERT_EQ(s.kind(), GenerationSchema::Kind::object);
    EXPECT_EQ(s.typeName(), "MeetingDigest");
    EXPECT_FALSE(s.description().has_value());
    ASSERT_EQ(s.properties().size(), 3u);
    EXPECT_EQ(s.properties()[0].name, "summary");
    EXPECT_EQ(s.properties()[0].description, "Resumen de la conversación en 2 o 3 frases, en español.");
    EXPECT_EQ(s.properties()[0].type->kind(), GenerationSchema::Kind::string);
    EXPECT_EQ(s.properties()[1].name, "decisions");
    EXPECT_EQ(s.properties()[1].description,
              "Decisiones que se tomaron. Solo lo acordado explícitamente. Vacío si no hubo.");
    ASSERT_EQ(s.properties()[1].type->kind(), GenerationSchema::Kind::array);
    EXPECT_EQ(s.properties()[1].type->items().kind(), GenerationSchema::Kind::string);
    EXPECT_EQ(s.properties()[2].name, "actionItems");
    EXPECT_EQ(s.properties()[2].description, "Tareas pendientes que quedaron. Vacío si no hubo.");
    ASSERT_EQ(s.properties()[2].type->kind(), GenerationSchema::Kind::array);

    const GenerationSchema& t = s.properties()[2].type->items();
    ASSERT_EQ(t.kind(), GenerationSchema::Kind::object);
    EXPECT_EQ(t.typeName(), "ActionItem");
    ASSERT_EQ(t.properties().size(), 3u);
    EXPECT_EQ(t.properties()[0].name, "task");
    EXPECT_EQ(t.properties()[0].description, "Qué hay que hacer, en una frase.");
    EXPECT_EQ(t.properties()[1].name, "owner");
    EXPECT_EQ(t.properties()[1].description, "Quién queda a cargo. Cadena vacía si no se dijo.");
    EXPECT_EQ(t.properties()[2].name, "due");
    EXPECT_EQ(t.properties()[2].description,
              "Cuándo, tal como se dijo (por ejemplo 'mañana', 'el lunes'). Vacío si no se dijo.");
}

TEST(Esquema, TextoJsonConservaElOrden) {
    std::string j = ActionItem::generationSchema().jsonSchema();
    EXPECT_EQ(j.rfind(R"({"type":"object","title":"ActionItem","properties":{"task":{"type":"string",)", 0),
              0u)
        << j;
    EXPECT_NE(j.find(R"("required":["task","owner","due"],"additionalProperties":false)"), std::string::npos)
        << j;
    EXPECT_NE(j.find("mañana"), std::string::npos);  // UTF-8 written as is
}

TEST(DesdeContenido, DigestCompletoYListasVacias) {
    auto r = MeetingDigest::desdeContenido(
        objeto({{"summary", GeneratedContent("S")}, {"decisions", lista({})}, {"actionItems", lista({})}}));
    ASSERT_TRUE(r.ok()) << r.error().texto;
    EXPECT_EQ(r.value(), (MeetingDigest{"S", {}, {}}));

    // Other properties are not read; an item with empty owner and due converts.
    r = MeetingDigest::desdeContenido(objeto({{"extra", GeneratedContent(1.0)},
                                              {"actionItems", lista({tarea("t", "", "")})},
                                              {"decisions", lista({GeneratedContent("d")})},
                                              {"summary", GeneratedContent("S")}}));
    ASSERT_TRUE(r.ok()) << r.error().texto;
    EXPECT_EQ(r.value(), (MeetingDigest{"S", {"d"}, {{"t", "", ""}}}));
}

TEST(DesdeContenido, FaltaOTipoErroneoFallaTodo) {
    // No summary, the rest present.
    EXPECT_FALSE(
        MeetingDigest::desdeContenido(objeto({{"decisions", lista({})}, {"actionItems", lista({})}})));
    // One action item without due fails the whole digest; so does one without owner.
    auto sinDue = objeto({{"task", GeneratedContent("t")}, {"owner", GeneratedContent("o")}});
    auto sinOwner = objeto({{"task", GeneratedContent("t")}, {"due", GeneratedContent("d")}});
    for (const auto& mala : {sinDue, sinOwner}) {
        auto r =
            MeetingDigest::desdeContenido(objeto({{"summary", GeneratedContent("S")},
                                                  {"decisions", lista({})},
                                                  {"actionItems", lista({tarea("a", "b", "c"), mala})}}));
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().texto.find("actionItems"), std::string::npos) << r.error().texto;
    }
    // Mistyped: a number for a string, a string for a list, a decision that is not a string.
    EXPECT_FALSE(MeetingDigest::desdeContenido(
        objeto({{"summary", GeneratedContent(2.0)}, {"decisions", lista({})}, {"actionItems", lista({})}})));
    EXPECT_FALSE(MeetingDigest::desdeContenido(objeto({{"summary", GeneratedContent("S")},
                                                       {"decisions", GeneratedContent("d")},
                                                       {"actionItems", lista({})}})));
    EXPECT_FALSE(MeetingDigest::desdeContenido(objeto({{"summary", GeneratedContent("S")},
                                                       {"decisions", lista({GeneratedContent()})},
                                                       {"actionItems", lista({})}})));
    // Not an object at all.
    EXPECT_FALSE(MeetingDigest::desdeContenido(GeneratedContent("S")));
}

TEST(DesdeContenido, IdaYVuelta) {
    MeetingDigest d{"Se habló de ⟪x⟫ y \"y\"\n", {"a", "", "c/d"}, {{"t", "", "mañana"}, {"", "o", ""}}};
    GeneratedContent c = d.generatedContent();
    EXPECT_FALSE(c.id().has_value());
    ASSERT_EQ(c.propiedades().size(), 3u);
    EXPECT_EQ(c.propiedades()[0].first, "summary");
    EXPECT_EQ(c.propiedades()[2].first, "actionItems");
    auto r = MeetingDigest::desdeContenido(c);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), d);
    // Also through the JSON text a backend parses.
    auto p = GeneratedContent::parse(c.jsonString());
    ASSERT_TRUE(p.ok()) << p.error().texto;
    EXPECT_EQ(MeetingDigest::desdeContenido(p.value()).value(), d);
}

TEST(FormaParcial, SoloSummary) {
    auto r = MeetingDigest::PartiallyGenerated::desdeContenido(objeto({{"summary", GeneratedContent("S")}}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().summary, "S");
    EXPECT_FALSE(r.value().decisions.has_value());
    EXPECT_FALSE(r.value().actionItems.has_value());
    EXPECT_FALSE(r.value().id.texto().empty());
    auto otra = MeetingDigest::PartiallyGenerated::desdeContenido(objeto({}));
    EXPECT_NE(otra.value().id, r.value().id);
}

TEST(FormaParcial, ConservaElIdYFallaConTipoErroneo) {
    GeneratedContent c({{"actionItems", lista({objeto({{"due", GeneratedContent("d")}})})}},
                       GenerationID("g-1"));
    auto r = MeetingDigest::PartiallyGenerated::desdeContenido(c);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().id, GenerationID("g-1"));
    ASSERT_EQ(r.value().actionItems->size(), 1u);
    EXPECT_EQ((*r.value().actionItems)[0].due, "d");
    EXPECT_FALSE((*r.value().actionItems)[0].task.has_value());
    // Present but not convertible still fails.
    EXPECT_FALSE(MeetingDigest::PartiallyGenerated::desdeContenido(objeto({{"summary", lista({})}})));
    EXPECT_FALSE(ActionItem::PartiallyGenerated::desdeContenido(objeto({{"owner", GeneratedContent(true)}})));
}

TEST(ContenidoJson, AnalisisConservaOrdenYTipos) {
    auto r = GeneratedContent::parse(R"( {"b":1,"a":[true,null,"x"],"c":{"d":-2.5e1}} )");
    ASSERT_TRUE(r.ok()) << r.error().texto;
    const auto& c = r.value();
    ASSERT_EQ(c.kind(), GeneratedContent::Kind::structure);
    EXPECT_FALSE(c.id().has_value());
    ASSERT_EQ(c.propiedades().size(), 3u);
    EXPECT_EQ(c.propiedades()[0].first, "b");
    EXPECT_EQ(c.propiedades()[1].first, "a");
    EXPECT_EQ(c.propiedad("a")->elementos()[0].kind(), GeneratedContent::Kind::boolean);
    EXPECT_EQ(c.propiedad("a")->elementos()[1].kind(), GeneratedContent::Kind::null);
    EXPECT_EQ(c.propiedad("c")->propiedad("d")->numero(), -25.0);
    EXPECT_EQ(c.jsonString(), R"({"b":1.0,"a":[true,null,"x"],"c":{"d":-25.0}})");
    EXPECT_EQ(c.value<std::string>("b").ok(), false);
    EXPECT_EQ(c.value<std::string>("zz").ok(), false);
}

TEST(ContenidoJson, NombreRepetidoAlConstruirTomaElUltimoValor) {
    GeneratedContent c =
        objeto({{"a", GeneratedContent("1")}, {"b", GeneratedContent("2")}, {"a", GeneratedContent("3")}});
    ASSERT_EQ(c.propiedades().size(), 2u);
    EXPECT_EQ(c.propiedades()[0].first, "a");
    EXPECT_EQ(c.value<std::string>("a").value(), "3");
}

TEST(ContenidoJson, RechazaLoQueNoEsUnaRespuestaSana) {
    EXPECT_FALSE(GeneratedContent::parse(""));
    EXPECT_FALSE(GeneratedContent::parse(R"({"a":"b"} x)"));
    EXPECT_FALSE(GeneratedContent::parse(R"({"a":"b",})"));
    EXPECT_FALSE(GeneratedContent::parse("{\"a\":\"\xC3\x28\"}"));          // invalid UTF-8
    EXPECT_FALSE(GeneratedContent::parse(R"({"a":"\ud800"})"));             // lone surrogate escape
    EXPECT_FALSE(GeneratedContent::parse(R"({"a":1,"b":{"c":2},"a":3})"));  // repeated name
    EXPECT_TRUE(GeneratedContent::parse(R"({"a":{"a":1}})"));               // same name, other object

    auto anidado = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
    EXPECT_TRUE(GeneratedContent::parse(anidado(GeneratedContent::kProfundidadMaxima)));
    EXPECT_FALSE(GeneratedContent::parse(anidado(GeneratedContent::kProfundidadMaxima + 1)));
    EXPECT_FALSE(GeneratedContent::parse(anidado(200000)));
}
