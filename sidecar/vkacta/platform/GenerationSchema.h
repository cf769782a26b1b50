#pragma once
// What the model is asked to generate: a tree of strings, arrays and objects whose properties
// are ordered and described. Backends walk it (kind, property order, descriptions) to build
// their constraint (a grammar) and to write it into the prompt; the digest records publish one.
//
// Contract: a plain immutable value, safe to copy and to read from any thread. Property order
// is declaration order and is significant: generated objects follow it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vkacta {

class GenerationSchema {
  public:
    enum class Kind { string, array, object };

    // One property of an object schema. `guides` would hold counts, ranges, patterns or
    // choices; the digest imposes none, so there is no representation for them yet.
    struct Property {
        std::string name;
        std::string description;
        std::shared_ptr<const GenerationSchema> type;  // never null
    };

    // A string leaf.
    static GenerationSchema string();
    // An array whose elements all follow `elemento`.
    static GenerationSchema array(GenerationSchema elemento);
    // An object named `typeName` (the generated record's type), with its properties in order.
    static GenerationSchema object(std::string typeName, std::optional<std::string> description,
                                   std::vector<Property> properties);

    Kind kind() const { return kind_; }
    // Object schemas: the record's type name and optional type description; empty otherwise.
    const std::string& typeName() const { return typeName_; }
    const std::optional<std::string>& description() const { return description_; }
    // Object schemas: properties in declaration order. Empty for other kinds.
    const std::vector<Property>& properties() const { return properties_; }
    // Array schemas: the element schema. Must not be called on other kinds.
    const GenerationSchema& items() const { return *items_; }

    // The schema as JSON Schema text (objects: "type", "properties" in declaration order
    // with their "description", "required" listing every property, "additionalProperties"
    // false; arrays: "items"; type names as "title"). Compact, deterministic: meant to be
    // written into a prompt when include-schema-in-prompt is asked for.
    std::string jsonSchema() const;

  private:
    Kind kind_ = Kind::string;
    std::string typeName_;
    std::optional<std::string> description_;
    std::vector<Property> properties_;
    std::shared_ptr<const GenerationSchema> items_;
};

// Shorthand for building properties in declaration order.
GenerationSchema::Property propiedad(std::string name, std::string description, GenerationSchema type);

}  // namespace vkacta
