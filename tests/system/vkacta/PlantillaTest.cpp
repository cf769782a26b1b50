// The backend's pure pieces: chat-template framing, the schema grammar's shape, the model's
// place beside the executable. No model is loaded.
#include <gtest/gtest.h>

#include "Gramatica.h"
#include "LlamaLanguageModel.h"
#include "PlantillaDeChat.h"

namespace vkacta {
namespace {

TEST(MarcoDeChat, CutsTheTemplateAroundInstructionsAndPrompt) {
    // A ChatML template as models ship it (detected by its control strings).
    const auto m = marcoDeChat(
        "{% for m in messages %}<|im_start|>{{ m.role }}\n{{ m.content }}<|im_end|>\n{% endfor %}");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->antesDeInstrucciones, "<|im_start|>system\n");
    EXPECT_EQ(m->entreInstruccionesYPrompt, "<|im_end|>\n<|im_start|>user\n");
    EXPECT_EQ(m->despuesDelPrompt, "<|im_end|>\n<|im_start|>assistant\n");
}

TEST(MarcoDeChat, KeepsTheOrderWhenTheTemplateFoldsInstructionsIntoTheUserTurn) {
    // Gemma has no system role: the instructions open the user turn.
    const auto m = marcoDeChat("gemma");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->antesDeInstrucciones.rfind("<start_of_turn>user\n", 0), 0U);
    EXPECT_EQ(m->despuesDelPrompt, "<end_of_turn>\n<start_of_turn>model\n");
    EXPECT_EQ(m->entreInstruccionesYPrompt.find("<start_of_turn>"), std::string::npos);
}

TEST(MarcoDeChat, RefusesATemplateItCannotApply) {
    EXPECT_FALSE(marcoDeChat("{{ nothing that looks like a known chat format }}").has_value());
}

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
    const auto d = g.find(R"(",\"decisions\":" "[" (texto ("," texto)*)? "]")");
    const auto a = g.find(R"(",\"actionItems\":" "[" (obj-ActionItem ("," obj-ActionItem)*)? "]")");
    ASSERT_NE(s, std::string::npos) << g;
    ASSERT_NE(d, std::string::npos) << g;
    ASSERT_NE(a, std::string::npos) << g;
    EXPECT_LT(s, d);
    EXPECT_LT(d, a);
    EXPECT_NE(g.find(R"(obj-ActionItem ::= "{" "\"task\":" texto ",\"owner\":" texto "}")"),
              std::string::npos)
        << g;
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

TEST(RutaDelModelo, IsFixedBesideTheExecutable) {
    EXPECT_EQ(rutaDelModelo("/opt/vk/bin/vkacta"), std::filesystem::path("/opt/vk/share/vkacta/modelo.gguf"));
    EXPECT_EQ(rutaDelModelo("/a/b/../bin/vkacta"), std::filesystem::path("/a/share/vkacta/modelo.gguf"));
}

}  // namespace
}  // namespace vkacta
