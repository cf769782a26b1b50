#pragma once
// The digest the model fills in: plain values that publish their generation schema and
// convert to and from generated content.
#include <optional>
#include <string>
#include <vector>

#include "GeneratedContent.h"
#include "GenerationSchema.h"

namespace vkacta {

struct ActionItem {
    std::string task;
    std::string owner;  // empty when nobody was named
    std::string due;    // in the meeting's words; empty when not said

    // Fields as far as a streamed answer got; each one unset until it arrives.
    struct PartiallyGenerated {
        GenerationID id;
        std::optional<std::string> task;
        std::optional<std::string> owner;
        std::optional<std::string> due;

        static Result<PartiallyGenerated> desdeContenido(const GeneratedContent& contenido);
    };

    static GenerationSchema generationSchema();
    // Reads task, owner and due, in that order; the first absent or mistyped one fails.
    static Result<ActionItem> desdeContenido(const GeneratedContent& contenido);
    GeneratedContent generatedContent() const;

    bool operator==(const ActionItem&) const = default;
};

struct MeetingDigest {
    std::string summary;
    std::vector<std::string> decisions;
    std::vector<ActionItem> actionItems;

    struct PartiallyGenerated {
        GenerationID id;
        std::optional<std::string> summary;
        std::optional<std::vector<std::string>> decisions;
        std::optional<std::vector<ActionItem::PartiallyGenerated>> actionItems;

        static Result<PartiallyGenerated> desdeContenido(const GeneratedContent& contenido);
    };

    static GenerationSchema generationSchema();
    // Reads summary, decisions and actionItems, in that order; one bad action item fails all.
    static Result<MeetingDigest> desdeContenido(const GeneratedContent& contenido);
    GeneratedContent generatedContent() const;

    bool operator==(const MeetingDigest&) const = default;
};

}  // namespace vkacta
