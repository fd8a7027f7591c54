#pragma once
// MEXC's protobuf push frames (PushDataV3ApiWrapper and every body it carries), decoded from the
// field numbers MEXC publishes, with no generated code. The decoder hands what it finds to a
// Builder as it goes, so that the caller makes its own objects (the module: Python dicts) with no
// tree in between. Field names are those of MEXC's .proto files (camelCase); strings stay
// strings (prices and quantities are decimal text there), integers and booleans are numbers.

#include <cstdint>
#include <string_view>

namespace corvane::mexc {

struct ProtoField;
struct ProtoMessage;

// Values come in the frame's order, each after the key it goes under: key() for a single field
// (a later value of the same field replaces it, as in protobuf), item() for one more element of
// a repeated field (a list under the field's name).
class ProtoBuilder {
public:
    virtual ~ProtoBuilder() = default;
    virtual void begin_message() = 0;
    virtual void end_message() = 0;
    virtual void key(const ProtoField& field) = 0;
    virtual void item(const ProtoField& field) = 0;
    // A body the decoder does not know: its field number, then its raw bytes.
    virtual void number_key(std::uint32_t number) = 0;
    virtual void text(std::string_view value) = 0;  // UTF-8 as sent (the builder checks it)
    virtual void bytes(std::string_view value) = 0;
    virtual void integer(std::int64_t value) = 0;
    virtual void boolean(bool value) = 0;
};

struct ProtoField {
    enum class Type : std::uint8_t { text, int32, int64, boolean, message };
    std::uint32_t number;
    const char* name;
    Type type;
    bool repeated;
    const ProtoMessage* message;  // Type::message only
    std::uint16_t id;             // unique among all fields, for a builder's caches
};

struct ProtoMessage {
    const ProtoField* fields;
    std::uint16_t count;
};

// Every field the decoder knows has an id below this.
constexpr std::uint16_t kProtoFieldIds = 160;

// PushDataV3ApiWrapper, whose fields and bodies are all the decoder knows.
const ProtoMessage& push_wrapper();

// Decodes one PushDataV3ApiWrapper. Throws std::invalid_argument for a malformed frame.
void decode_push(std::string_view frame, ProtoBuilder& out);

}  // namespace corvane::mexc
