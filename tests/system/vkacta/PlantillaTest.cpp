// The backend's pure pieces: the schema grammar's shape, the model's place beside the
// executable, the threads. No model is loaded (the chat frame needs one: PlantillasRealesTest).
#include <gtest/gtest.h>
#include <sched.h>

#include "Gramatica.h"
#include "LlamaLanguageModel.h"
#include "MotorLlama.h"

namespace vkacta {
namespace {

GenerationSchema accion() {
    return GenerationSchema::object("ActionItem", std::nullopt,
                                    {propiedad("task", "t", GenerationSchema::string()),
                                     propiedad("owner", "o", GenerationSchema::string())});
}

TEST(GramaticaGbnf, SpellsPropertiesInDeclaredOrderWithNoWhiteSpace) {
    const auto g = gramaticaGbnf(GenerationSchema::object(
        "MeetingDigest", std::nullopt,
        {propiedad("summary", "s", GenerationSchema::string()),
         propiedad("decisions", "d", GenerationSchema::array(GenerationSchema::string())),
         propiedad("actionItems", "a", GenerationSchema::array(accion()))}));
    EXPECT_EQ(g.rfind("root ::= obj-MeetingDigest\n", 0), 0U) << g;
    const auto s = g.find(R"("{" "\"summary\":" texto)");
    // Lists and strings bounded: the grammar engine counts, so a loop has to end.
    const auto d = g.find(R"(",\"decisions\":" "[" (texto ("," texto){0,99})? "]")");
    const auto a = g.find(R"(",\"actionItems\":" "[" (obj-ActionItem ("," obj-ActionItem){0,99})? "]")");
    ASSERT_NE(s, std::string::npos) << g;
    ASSERT_NE(d, std::string::npos) << g;
    ASSERT_NE(a, std::string::npos) << g;
    EXPECT_LT(s, d);
    EXPECT_LT(d, a);
    EXPECT_NE(g.find(R"(obj-ActionItem ::= "{" "\"task\":" texto ",\"owner\":" texto "}")"),
              std::string::npos)
        << g;
    EXPECT_NE(g.find(R"(texto ::= "\"" caracter{0,1500} "\"")"), std::string::npos) << g;
    EXPECT_EQ(g.find(" ws"), std::string::npos);
}

TEST(GramaticaGbnf, OneRulePerObjectEvenWhenUsedTwiceAndDistinctRulesForSameNamedTypes) {
    const auto item = accion();
    const auto otro = GenerationSchema::object("ActionItem", std::nullopt,
                                               {propiedad("due", "d", GenerationSchema::string())});
    const auto g = gramaticaGbnf(GenerationSchema::object(
        "R", std::nullopt, {propiedad("a", "", item), propiedad("b", "", item), propiedad("c", "", otro)}));
    // The same object in two properties is one rule; another object of that type name is
    // another rule, never a second definition of the first.
    size_t definiciones = 0;
    for (size_t p = g.find("obj-ActionItem ::="); p != std::string::npos;
         p = g.find("obj-ActionItem ::=", p + 1)) {
        ++definiciones;
    }
    EXPECT_EQ(definiciones, 1U) << g;
    EXPECT_NE(
        g.find(
            R"(obj-R ::= "{" "\"a\":" obj-ActionItem ",\"b\":" obj-ActionItem ",\"c\":" obj-ActionItem-2 "}")"),
        std::string::npos)
        << g;
    EXPECT_NE(g.find(R"(obj-ActionItem-2 ::= "{" "\"due\":" texto "}")"), std::string::npos) << g;
}

TEST(GramaticaGbnf, EscapesPropertyNamesTwiceOverForJsonAndForTheGrammar) {
    const auto g = gramaticaGbnf(GenerationSchema::object(
        "T y/z", std::nullopt, {propiedad("di\"jo\\", "", GenerationSchema::string())}));
    // JSON key "di\"jo\\" written as a grammar literal.
    EXPECT_NE(g.find(R"("{" "\"di\\\"jo\\\\\":" texto "}")"), std::string::npos) << g;
    EXPECT_NE(g.find("obj-T-y-z ::="), std::string::npos) << g;
}

TEST(Hilos, OnePerCoreTheProcessMayRunOnAndOneForATinyModel) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    EXPECT_EQ(MotorLlama::hilosPara(1'500'000'000U), CPU_COUNT(&cpus));
    EXPECT_EQ(MotorLlama::hilosPara(20'000'000U), 1);
    // Kept to one core (as `taskset` or a container would), the process gets one thread.
    cpu_set_t uno;
    CPU_ZERO(&uno);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &cpus)) {
            CPU_SET(c, &uno);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof uno, &uno), 0);
    EXPECT_EQ(MotorLlama::hilosPara(1'500'000'000U), 1);
    ASSERT_EQ(sched_setaffinity(0, sizeof cpus, &cpus), 0);
}

TEST(Presupuesto, RoomForAnAnswerAsLongAsThePromptAndHalfAgain) {
    EXPECT_EQ(MotorLlama::presupuestoPara(10), kPresupuestoMinimo);
    EXPECT_EQ(MotorLlama::presupuestoPara(4000), 6000);
    EXPECT_EQ(MotorLlama::presupuestoPara(30000), 45000);
}

TEST(RutaDelModelo, IsFixedBesideTheExecutable) {
    EXPECT_EQ(rutaDelModelo("/opt/vk/bin/vkacta"), std::filesystem::path("/opt/vk/share/vkacta/modelo.gguf"));
    EXPECT_EQ(rutaDelModelo("/a/b/../bin/vkacta"), std::filesystem::path("/a/share/vkacta/modelo.gguf"));
}

}  // namespace
}  // namespace vkacta
