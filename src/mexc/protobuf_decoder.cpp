#include "mexc/protobuf_decoder.hpp"

#include <stdexcept>
#include <string>

namespace corvane::mexc {
namespace {

using Type = ProtoField::Type;

[[noreturn]] void malformed(const char* why, std::size_t at) {
    throw std::invalid_argument(std::string("malformed MEXC protobuf frame: ") + why + " at byte " +
                                std::to_string(at));
}

// A cursor over one message's bytes.
class Reader {
public:
    Reader(std::string_view data, std::size_t base) : data(data), base(base) {}
    bool done() const { return at == data.size(); }
    std::size_t offset() const { return base + at; }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == data.size()) malformed("truncated varint", offset());
            const auto byte = static_cast<std::uint8_t>(data[at++]);
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (byte < 0x80) return value;
        }
        malformed("varint over ten bytes", offset());
    }
    std::string_view span(std::uint64_t length) {
        if (length > data.size() - at) malformed("length past the end", offset());
        const std::string_view out = data.substr(at, length);
        at += length;
        return out;
    }
    void skip(std::size_t length) { span(length); }

private:
    std::string_view data;
    std::size_t base;  // where `data` starts in the frame, for error positions
    std::size_t at = 0;
};

const ProtoField* find(const ProtoMessage& message, std::uint32_t number) {
    for (std::uint16_t i = 0; i < message.count; ++i)
        if (message.fields[i].number == number) return &message.fields[i];
    return nullptr;
}

void decode(const ProtoMessage& message, std::string_view data, std::size_t base,
            bool keep_unknown, ProtoBuilder& out);

// One value of a known field. Nested messages follow the schema, which nests three deep: a
// frame cannot make the decoder recurse deeper.
void emit(const ProtoField& field, std::uint64_t value, std::string_view span, std::size_t offset,
          ProtoBuilder& out) {
    switch (field.type) {
        case Type::text:
            return out.text(span);
        case Type::int32:
            return out.integer(static_cast<std::int32_t>(value));
        case Type::int64:
            return out.integer(static_cast<std::int64_t>(value));
        case Type::boolean:
            return out.boolean(value != 0);
        case Type::message:
            return decode(*field.message, span, offset, false, out);
    }
}

// One message, in one pass over its fields: those the decoder does not know are skipped, as
// protobuf does, except the wrapper's unknown bodies, which are kept by their numbers.
void decode(const ProtoMessage& message, std::string_view data, std::size_t base,
            bool keep_unknown, ProtoBuilder& out) {
    out.begin_message();
    Reader in(data, base);
    while (!in.done()) {
        const std::uint64_t key = in.varint();
        const unsigned wire = key & 7;
        if ((key >> 3) == 0 || (key >> 3) > 0x1FFFFFFF) malformed("bad field number", in.offset());
        const auto number = static_cast<std::uint32_t>(key >> 3);
        const ProtoField* field = find(message, number);
        const bool length_delimited = field != nullptr && (field->type == Type::text ||
                                                           field->type == Type::message);
        if (field != nullptr && (wire == 2) != length_delimited) {
            malformed("wrong wire type", in.offset());
        }
        std::uint64_t value = 0;
        std::string_view span;
        if (wire == 0) {
            value = in.varint();
        } else if (wire == 2) {
            span = in.span(in.varint());
        } else if (wire == 1 || wire == 5) {
            in.skip(wire == 1 ? 8 : 4);
        } else {
            malformed("unsupported wire type", in.offset());
        }
        if (field != nullptr) {
            if (field->repeated) {
                out.item(*field);
            } else {
                out.key(*field);
            }
            emit(*field, value, span, in.offset() - span.size(), out);
        } else if (keep_unknown && wire == 2) {
            out.number_key(number);
            out.bytes(span);
        }
    }
    out.end_message();
}

}  // namespace

void decode_push(std::string_view frame, ProtoBuilder& out) {
    decode(push_wrapper(), frame, 0, true, out);
}

}  // namespace corvane::mexc
