// read_book_push: one push of a books channel read in place, on the connection's thread for every
// push of every tracked book, so with no DOM and no allocation but the levels' own. It refuses
// exactly what a DOM reading of the same text refuses (read_book_snapshot's way): not JSON, or
// not one book of that shape.

#include <optional>
#include <string_view>

#include "core/book/json_cursor.hpp"
#include "core/book/json_levels.hpp"
#include "okx/okx_book.hpp"

namespace corvane::okx {
namespace {

using book::BookPush;
using book::JsonCursor;

// A whole number member as book::read_integer reads it, its minimum checked once the channel
// says which members count.
struct Whole {
    bool present = false;
    std::optional<std::int64_t> value;  // nullopt: present but no integer that fits int64

    bool at_least(std::int64_t minimum) const { return value && *value >= minimum; }
};

// What the members said. As in a DOM, a repeated member counts only the last time, so each
// member read starts from nothing.
struct Members {
    bool arg = false;         // "arg" is an object with a string "channel"
    bool whole_book = false;  // books5, bbo-tbt: a whole book each push
    bool data = false;        // "data" is an array of exactly one object
    bool asks = false;        // asks and bids read whole
    bool bids = false;
    Whole ts;
    Whole seq;
    Whole prev;
    bool snapshot_action = false;
};

void read_whole(JsonCursor& cursor, Whole& out) {
    out.present = true;
    out.value.reset();
    const char next = cursor.peek();
    if (next == '"') {
        std::string_view text;
        JsonCursor::Scratch scratch;
        if (cursor.string(text, scratch)) out.value = book::read_digits(text);
    } else if (next == '-' || (next >= '0' && next <= '9')) {
        cursor.number(out.value);
    } else {
        cursor.skip_value();
    }
}

// A string member: whether it is one and equals one of the names, for "channel" and "action".
bool string_is(JsonCursor& cursor, bool& is_string, std::string_view a, std::string_view b = {}) {
    is_string = cursor.peek() == '"';
    if (!is_string) {
        cursor.skip_value();
        return false;
    }
    std::string_view text;
    JsonCursor::Scratch scratch;
    if (!cursor.string(text, scratch)) return false;
    return text == a || (!b.empty() && text == b);
}

void read_arg(JsonCursor& cursor, Members& found) {
    found.arg = false;
    found.whole_book = false;
    if (cursor.peek() != '{') {
        cursor.skip_value();
        return;
    }
    cursor.open_object();
    std::string_view key;
    while (cursor.member(key)) {
        if (key == "channel") {
            found.whole_book = string_is(cursor, found.arg, "books5", "bbo-tbt");
        } else {
            cursor.skip_value();
        }
    }
}

void read_entry(JsonCursor& cursor, Members& found, BookPush& push) {
    cursor.open_object();
    std::string_view key;
    while (cursor.member(key)) {
        if (key == "asks") {
            push.asks.clear();
            found.asks = book::read_levels(cursor, push.asks);
        } else if (key == "bids") {
            push.bids.clear();
            found.bids = book::read_levels(cursor, push.bids);
        } else if (key == "ts") {
            read_whole(cursor, found.ts);
        } else if (key == "seqId") {
            read_whole(cursor, found.seq);
        } else if (key == "prevSeqId") {
            read_whole(cursor, found.prev);
        } else {
            cursor.skip_value();
        }
    }
}

void read_data(JsonCursor& cursor, Members& found, BookPush& push) {
    found.data = found.asks = found.bids = false;
    found.ts = found.seq = found.prev = Whole{};
    push.asks.clear();
    push.bids.clear();
    if (cursor.peek() != '[') {
        cursor.skip_value();
        return;
    }
    cursor.open_array();
    int entries = 0;
    bool object = false;
    while (cursor.element()) {
        if (++entries == 1 && cursor.peek() == '{') {
            object = true;
            read_entry(cursor, found, push);
        } else {
            cursor.skip_value();
        }
    }
    found.data = entries == 1 && object;
}

std::optional<BookPush> settle(const Members& found, BookPush&& push) {
    if (!found.arg || !found.data || !found.asks || !found.bids) return std::nullopt;
    if (found.ts.present) {
        if (!found.ts.at_least(0)) return std::nullopt;
        push.ts = *found.ts.value;
    }
    if (found.whole_book) {
        push.kind = BookPush::Kind::snapshot;
        if (found.seq.present) {
            if (!found.seq.at_least(0)) return std::nullopt;
            push.last = *found.seq.value;
        }
        return std::move(push);
    }
    if (!found.seq.at_least(0) || !found.prev.at_least(-1)) return std::nullopt;
    push.first = *found.prev.value;
    push.last = *found.seq.value;
    if (push.first == -1 || found.snapshot_action) push.kind = BookPush::Kind::snapshot;
    return std::move(push);
}

}  // namespace

std::optional<BookPush> read_book_push(std::string_view text) {
    JsonCursor cursor(text);
    if (cursor.peek() != '{') return std::nullopt;
    cursor.open_object();
    Members found;
    BookPush push;
    std::string_view key;
    while (cursor.member(key)) {
        if (key == "arg") {
            read_arg(cursor, found);
        } else if (key == "data") {
            read_data(cursor, found, push);
        } else if (key == "action") {
            bool is_string = false;
            found.snapshot_action = string_is(cursor, is_string, "snapshot");
        } else {
            cursor.skip_value();
        }
    }
    if (!cursor.finish()) return std::nullopt;
    return settle(found, std::move(push));
}

}  // namespace corvane::okx
