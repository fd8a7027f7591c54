#include "mexc/protobuf_decoder.hpp"

#include <stdexcept>
#include <string>
#include <vector>

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

// One occurrence of a field: a varint, or a length-delimited span.
struct Occurrence {
    const ProtoField* field;  // null: a body the decoder does not know
    std::uint32_t number;
    std::uint64_t value;
    std::string_view span;
    std::size_t offset;
};

const ProtoField* find(const ProtoMessage& message, std::uint32_t number) {
    for (std::uint16_t i = 0; i < message.count; ++i)
        if (message.fields[i].number == number) return &message.fields[i];
    return nullptr;
}

void decode(const ProtoMessage& message, std::string_view data, std::size_t base, bool keep_unknown,
            ProtoBuilder& out);

// Nested messages follow the schema, which nests three deep: a frame cannot make it recurse
// deeper.
void emit(const Occurrence& item, ProtoBuilder& out) {
    switch (item.field->type) {
        case Type::text:
            return out.text(item.span);
        case Type::int32:
            return out.integer(static_cast<std::int32_t>(item.value));
        case Type::int64:
            return out.integer(static_cast<std::int64_t>(item.value));
        case Type::boolean:
            return out.boolean(item.value != 0);
        case Type::message:
            return decode(*item.field->message, item.span, item.offset, false, out);
    }
}

// Reads every field of a message; fields it does not know are skipped, as protobuf does.
std::vector<Occurrence> scan(const ProtoMessage& message, std::string_view data, std::size_t base,
                             bool keep_unknown) {
    std::vector<Occurrence> found;
    Reader in(data, base);
    while (!in.done()) {
        const std::uint64_t key = in.varint();
        const auto number = static_cast<std::uint32_t>(key >> 3);
        const unsigned wire = key & 7;
        if (number == 0 || (key >> 3) > 0x1FFFFFFF) malformed("bad field number", in.offset());
        const ProtoField* field = find(message, number);
        const bool length_delimited =
            field != nullptr && (field->type == Type::text || field->type == Type::message);
        if (field != nullptr && (wire == 2) != length_delimited) {
            malformed("wrong wire type", in.offset());
        }
        Occurrence item{field, number, 0, {}, in.offset()};
        if (wire == 0) {
            item.value = in.varint();
        } else if (wire == 2) {
            item.span = in.span(in.varint());
            item.offset = in.offset() - item.span.size();
        } else if (wire == 1 || wire == 5) {
            in.skip(wire == 1 ? 8 : 4);
        } else {
            malformed("unsupported wire type", in.offset());
        }
        if (field != nullptr || (keep_unknown && wire == 2)) found.push_back(item);
    }
    return found;
}

// The message as a builder message: its fields in the schema's order (the last occurrence of a
// single field wins, as protobuf has it), then unknown bodies kept by their numbers.
void decode(const ProtoMessage& message, std::string_view data, std::size_t base, bool keep_unknown,
            ProtoBuilder& out) {
    const std::vector<Occurrence> found = scan(message, data, base, keep_unknown);
    out.begin_message();
    for (std::uint16_t i = 0; i < message.count; ++i) {
        const ProtoField& field = message.fields[i];
        const Occurrence* last = nullptr;
        bool listed = false;
        for (const Occurrence& item : found) {
            if (item.field != &field) continue;
            if (!field.repeated) {
                last = &item;
                continue;
            }
            if (!listed) {
                out.key(field);
                out.begin_list();
                listed = true;
            }
            emit(item, out);
        }
        if (listed) out.end_list();
        if (last != nullptr) {
            out.key(field);
            emit(*last, out);
        }
    }
    for (const Occurrence& item : found) {
        if (item.field != nullptr) continue;
        out.number_key(item.number);
        out.bytes(item.span);
    }
    out.end_message();
}

}  // namespace

void decode_push(std::string_view frame, ProtoBuilder& out) {
    decode(push_wrapper(), frame, 0, true, out);
}

}  // namespace corvane::mexc
