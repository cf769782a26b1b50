#include "MeetingDigest.h"

#include <utility>

namespace vkacta {

GenerationSchema ActionItem::generationSchema() {
    return GenerationSchema::object(
        "ActionItem", std::nullopt,
        {
            propiedad("task", "Qué hay que hacer, en una frase.", GenerationSchema::string()),
            propiedad("owner", "Quién queda a cargo. Cadena vacía si no se dijo.",
                      GenerationSchema::string()),
            propiedad("due",
                      "Cuándo, tal como se dijo (por ejemplo 'mañana', 'el lunes'). Vacío si no se dijo.",
                      GenerationSchema::string()),
        });
}

Result<ActionItem> ActionItem::desdeContenido(const GeneratedContent& contenido) {
    auto task = contenido.value<std::string>("task");
    if (!task) return task.error();
    auto owner = contenido.value<std::string>("owner");
    if (!owner) return owner.error();
    auto due = contenido.value<std::string>("due");
    if (!due) return due.error();
    return ActionItem{std::move(task).value(), std::move(owner).value(), std::move(due).value()};
}

GeneratedContent ActionItem::generatedContent() const {
    return GeneratedContent({{"task", GeneratedContent(task)},
                             {"owner", GeneratedContent(owner)},
                             {"due", GeneratedContent(due)}},
                            std::nullopt);
}

Result<ActionItem::PartiallyGenerated> ActionItem::PartiallyGenerated::desdeContenido(
    const GeneratedContent& contenido) {
    PartiallyGenerated p{contenido.id().value_or(GenerationID::nuevo()), {}, {}, {}};
    auto task = contenido.optionalValue<std::string>("task");
    if (!task) return task.error();
    auto owner = contenido.optionalValue<std::string>("owner");
    if (!owner) return owner.error();
    auto due = contenido.optionalValue<std::string>("due");
    if (!due) return due.error();
    p.task = std::move(task).value();
    p.owner = std::move(owner).value();
    p.due = std::move(due).value();
    return p;
}

GenerationSchema MeetingDigest::generationSchema() {
    return GenerationSchema::object(
        "MeetingDigest", std::nullopt,
        {
            propiedad("summary", "Resumen de la conversación en 2 o 3 frases, en español.",
                      GenerationSchema::string()),
            propiedad("decisions",
                      "Decisiones que se tomaron. Solo lo acordado explícitamente. Vacío si no hubo.",
                      GenerationSchema::array(GenerationSchema::string())),
            propiedad("actionItems", "Tareas pendientes que quedaron. Vacío si no hubo.",
                      GenerationSchema::array(ActionItem::generationSchema())),
        });
}

Result<MeetingDigest> MeetingDigest::desdeContenido(const GeneratedContent& contenido) {
    auto summary = contenido.value<std::string>("summary");
    if (!summary) return summary.error();
    auto decisions = contenido.value<std::vector<std::string>>("decisions");
    if (!decisions) return decisions.error();
    auto actionItems = contenido.value<std::vector<ActionItem>>("actionItems");
    if (!actionItems) return actionItems.error();
    return MeetingDigest{std::move(summary).value(), std::move(decisions).value(),
                         std::move(actionItems).value()};
}

GeneratedContent MeetingDigest::generatedContent() const {
    std::vector<GeneratedContent> decisiones;
    decisiones.reserve(decisions.size());
    for (const auto& d : decisions)
        decisiones.emplace_back(d);
    std::vector<GeneratedContent> tareas;
    tareas.reserve(actionItems.size());
    for (const auto& t : actionItems)
        tareas.push_back(t.generatedContent());
    return GeneratedContent({{"summary", GeneratedContent(summary)},
                             {"decisions", GeneratedContent(std::move(decisiones))},
                             {"actionItems", GeneratedContent(std::move(tareas))}},
                            std::nullopt);
}

Result<MeetingDigest::PartiallyGenerated> MeetingDigest::PartiallyGenerated::desdeContenido(
    const GeneratedContent& contenido) {
    PartiallyGenerated p{contenido.id().value_or(GenerationID::nuevo()), {}, {}, {}};
    auto summary = contenido.optionalValue<std::string>("summary");
    if (!summary) return summary.error();
    auto decisions = contenido.optionalValue<std::vector<std::string>>("decisions");
    if (!decisions) return decisions.error();
    auto actionItems = contenido.optionalValue<std::vector<ActionItem::PartiallyGenerated>>("actionItems");
    if (!actionItems) return actionItems.error();
    p.summary = std::move(summary).value();
    p.decisions = std::move(decisions).value();
    p.actionItems = std::move(actionItems).value();
    return p;
}

}  // namespace vkacta
