// OKX books kept by BookSync from the pushes' and the REST reply's own text: the documented
// sequences (snapshot, update, unchanged book, reset) are no gap, a lost push is; the REST
// snapshot is aligned as OKX's changelog says; unreadable pushes never touch the book; and the
// in-place push reader reads every text, good or broken, exactly as the DOM reading does.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "book/book_text.hpp"
#include "core/book/book_sync.hpp"
#include "okx/okx_book.hpp"
#include "okx/okx_book_reference.hpp"

namespace corvane::okx {
namespace {

using book::book_text;
using book::BookActions;
using book::BookState;
using book::BookSync;
using book::ResyncReason;
using book::Side;
using std::chrono::milliseconds;

std::string push(long prev, long seq, const std::string& bids, const std::string& asks,
                 const char* action = "update", const char* channel = "books") {
    return std::string(R"({"arg":{"channel":")") + channel +
           R"(","instId":"BTC-USDT"},"action":")" + action + R"(","data":[{"asks":[)" + asks +
           R"(],"bids":[)" + bids + R"(],"ts":"1597026383085","checksum":0,"prevSeqId":)" +
           std::to_string(prev) + R"(,"seqId":)" + std::to_string(seq) + "}]}";
}

std::string rest(long seq, const std::string& bids, const std::string& asks) {
    return R"({"code":"0","msg":"","data":[{"asks":[)" + asks + R"(],"bids":[)" + bids +
           R"(],"ts":"1629966436396","seqId":)" + std::to_string(seq) + "}]}";
}

// All a push reading gives, to compare two readings of the same text.
std::string reading(const std::optional<book::BookPush>& push) {
    if (!push) return "refused";
    std::string text = push->kind == book::BookPush::Kind::snapshot ? "snapshot " : "update ";
    text += std::to_string(push->first) + ".." + std::to_string(push->last) + " ts " +
            std::to_string(push->ts) + " |";
    for (const auto* side : {&push->bids, &push->asks}) {
        for (const book::Level& level : *side)
            text += " " + level.price.text() + ":" + level.size.text();
        text += " |";
    }
    return text;
}

std::string same_reading(const std::string& text) {
    const std::string in_place = reading(read_book_push(text));
    const std::string dom = reading(reference::read_book_push(text));
    return in_place == dom ? "" : "in place: " + in_place + "\n     dom: " + dom;
}

class OkxBook : public ::testing::Test {
protected:
    BookActions feed(const std::string& text) {
        const std::optional<book::BookPush> read = read_book_push(text);
        return read ? sync.on_push(*read, now) : sync.on_unreadable_push(now);
    }
    BookActions answer(const BookActions& asked, const std::string& text) {
        EXPECT_TRUE(asked.request);
        const std::optional<book::BookPush> read = read_book_snapshot(text);
        EXPECT_TRUE(read) << text;
        return sync.on_snapshot(asked.request->id, *read, now);
    }
    BookSync sync{book_sequence_rule(), book::BookSyncLimits{}};
    milliseconds now{0};
};

TEST_F(OkxBook, DocumentedSequenceIsNoGapAndALostPushIs) {
    // snapshot -1->10, update 10->15, unchanged 15->15, reset 15->3, update 3->5
    EXPECT_TRUE(feed(push(-1, 10, R"(["100","1","0","1"],["99","2","0","1"])",
                          R"(["101","1","0","1"])", "snapshot"))
                    .synced);
    for (const std::string& next :
         {push(10, 15, R"(["100","0","0","0"])", R"(["101.5","3","0","2"])"), push(15, 15, "", ""),
          push(15, 3, R"(["99.5","1","0","1"])", ""), push(3, 5, "", R"(["101","0","0","0"])")}) {
        const BookActions done = feed(next);
        EXPECT_FALSE(done.resync) << next;
        EXPECT_FALSE(done.request) << next;
    }
    EXPECT_TRUE(sync.synced());
    EXPECT_EQ(sync.book().seq, 5);
    EXPECT_EQ(sync.book().ts, 1597026383085);
    EXPECT_EQ(book_text(sync.book()), "99.5:1 99:2 | 101.5:3");

    const BookActions lost = feed(push(6, 7, R"(["99","5","0","1"])", ""));  // 5->6 never came
    EXPECT_EQ(lost.resync, ResyncReason::gap);
    EXPECT_TRUE(lost.request);
    EXPECT_EQ(book_text(sync.book()), "99.5:1 99:2 | 101.5:3");

    // Its snapshot back, and a push that crosses the book.
    // At exactly the last kept push: in sync at once.
    EXPECT_TRUE(answer(lost, rest(7, R"(["99.5","1","0","1"],["99","5","0","1"])",
                                  R"(["101.5","3","0","2"])"))
                    .synced);
    EXPECT_FALSE(feed(push(7, 8, "", "")).resync);
    EXPECT_EQ(feed(push(8, 9, R"(["101.5","1","0","1"])", "")).resync, ResyncReason::crossed);
}

TEST_F(OkxBook, RestSnapshotAlignedWithTheKeptPushes) {
    const BookActions asked = feed(push(100, 105, R"(["10","1","0","1"])", ""));
    ASSERT_TRUE(asked.request);
    feed(push(105, 110, R"(["10","2","0","1"])", ""));
    feed(push(110, 112, "", R"(["12","1","0","1"])"));
    EXPECT_FALSE(sync.synced());

    // Older than the first kept push's prevSeqId: asked again.
    const BookActions again =
        answer(asked, rest(99, R"(["9","1","0","1"])", R"(["11","1","0","1"])"));
    EXPECT_TRUE(again.request);
    EXPECT_FALSE(again.changed);
    EXPECT_EQ(sync.state(), BookState::snapshot_requested);

    // At 107: 100->105 is covered, 105->110 continues it (105 <= 107 < 110), 110->112 follows.
    const BookActions done = answer(again, rest(107, R"(["10","1.5","0","1"],["9","1","0","1"])",
                                                R"(["11","1","0","1"])"));
    EXPECT_TRUE(done.synced);
    EXPECT_EQ(sync.book().seq, 112);
    EXPECT_EQ(book_text(sync.book()), "10:2 9:1 | 11:1 12:1");
}

TEST_F(OkxBook, RestAlignmentDropsCoveredPushesAndRefusesAResetItCannotPlace) {
    const BookActions asked = feed(push(12, 15, R"(["10","1","0","1"])", ""));
    feed(push(15, 15, "", ""));
    feed(push(15, 3, R"(["10","4","0","1"])", ""));  // a reset continues 15
    const BookActions done =
        answer(asked, rest(15, R"(["10","1","0","1"])", R"(["11","1","0","1"])"));
    EXPECT_TRUE(done.synced);
    EXPECT_EQ(sync.book().seq, 3);
    EXPECT_EQ(book_text(sync.book()), "10:4 | 11:1");

    BookSync other{book_sequence_rule(), book::BookSyncLimits{}};
    const BookActions asked_other = other.on_push(*read_book_push(push(12, 15, "", "")), now);
    other.on_push(*read_book_push(push(15, 3, "", "")), now);
    other.on_push(*read_book_push(push(3, 5, "", "")), now);
    // 12->15 is covered; the reset does not start at 20, nor does it run past it.
    const BookActions refused =
        other.on_snapshot(asked_other.request->id, *read_book_snapshot(rest(20, "", "")), now);
    EXPECT_EQ(refused.resync, ResyncReason::gap);
    EXPECT_FALSE(refused.changed);
    EXPECT_EQ(other.state(), BookState::buffering);
}

TEST_F(OkxBook, ReadsPushesAndRestRepliesExactly) {
    const auto update = read_book_push(push(10, 15, R"(["8476.98","415","0","13"])",
                                           R"(["8477","0.10","0","2"],["8478","0","0","0"])"));
    ASSERT_TRUE(update);
    EXPECT_EQ(update->kind, book::BookPush::Kind::update);
    EXPECT_EQ(update->first, 10);
    EXPECT_EQ(update->last, 15);
    EXPECT_EQ(update->ts, 1597026383085);
    ASSERT_EQ(update->asks.size(), 2u);
    EXPECT_EQ(update->asks[0].size.text(), "0.1");
    EXPECT_TRUE(update->asks[1].size.is_zero());
    EXPECT_EQ(update->bids[0].price.text(), "8476.98");

    EXPECT_EQ(read_book_push(push(-1, 10, "", ""))->kind, book::BookPush::Kind::snapshot);
    EXPECT_EQ(read_book_push(push(9, 10, "", "", "snapshot"))->kind,
              book::BookPush::Kind::snapshot);
    // books5 and bbo-tbt carry no prevSeqId: a whole book each push.
    const auto five = read_book_push(
        R"({"arg":{"channel":"books5","instId":"BCH-USDT"},"data":[{"asks":[["111","1","0","1"]],)"
        R"("bids":[["110","2","0","1"]],"instId":"BCH-USDT","ts":"1670324386802",)"
        R"("seqId":1708572285}]})");
    ASSERT_TRUE(five);
    EXPECT_EQ(five->kind, book::BookPush::Kind::snapshot);
    EXPECT_EQ(five->last, 1708572285);
    const auto bbo = read_book_push(
        R"({"arg":{"channel":"bbo-tbt","instId":"BCH-USDT"},"data":[{"asks":[["111","1","0","1"]],)"
        R"("bids":[],"ts":"1670324386802"}]})");
    ASSERT_TRUE(bbo);
    EXPECT_EQ(bbo->kind, book::BookPush::Kind::snapshot);

    const auto snapshot =
        read_book_snapshot(rest(123456789012, R"(["41006.8","0.60038921","0","1"])", ""));
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->last, 123456789012);
    EXPECT_EQ(snapshot->bids[0].size.text(), "0.60038921");
    EXPECT_FALSE(read_book_snapshot(R"({"code":"50011","msg":"Too Many Requests","data":[]})"));
    EXPECT_FALSE(read_book_snapshot(  // a reply with no seqId cannot be aligned
        R"({"code":"0","msg":"","data":[{"asks":[],"bids":[],"ts":"1"}]})"));
}

// Every push below is unreadable: refused whole, so the book stays as it was and a resync is
// asked, whatever the bytes.
TEST_F(OkxBook, UnreadablePushesNeverTouchTheBook) {
    feed(push(-1, 10, R"(["100","1","0","1"])", R"(["101","1","0","1"])", "snapshot"));
    ASSERT_TRUE(sync.synced());
    const std::string before = book_text(sync.book());
    const std::string good_bid = R"(["100","2","0","1"])";
    const std::vector<std::string> bad_levels = {
        R"(["100","-1","0","1"])",   R"(["-100","1","0","1"])",
        R"(["100","1e3","0","1"])",  R"(["1e400","1","0","1"])",
        R"(["100","99999999999999999999999","0","1"])",
        R"(["100","0.0000000000000000000001","0","1"])",
        R"(["0","1","0","1"])",      R"(["abc","1","0","1"])",
        R"(["100",1,"0","1"])",      R"([100,"1","0","1"])",
        R"(["100"])",                R"("100")",
        R"(["","1","0","1"])",       R"(["100"," 1","0","1"])",
        R"(null)",                   R"({"px":"100"})",
    };
    for (const std::string& bad : bad_levels) {
        const BookActions done = feed(push(10, 11, good_bid + "," + bad, ""));
        EXPECT_EQ(done.resync, ResyncReason::gap) << bad;
        EXPECT_EQ(book_text(sync.book()), before) << bad;
        feed(push(-1, 10, R"(["100","1","0","1"])", R"(["101","1","0","1"])", "snapshot"));
    }
    std::string text_seq = push(10, 11, "", "");
    text_seq.replace(text_seq.find("11}"), 2, "\"x\"");
    const std::vector<std::string> bad_pushes = {
        "{", "[]", "null", std::string(300, '['), push(10, 11, "", "").substr(0, 60),
        R"({"arg":{"channel":"books"},"data":[]})",
        R"({"arg":{"channel":"books"},"data":[{"asks":[],"bids":[]}]})",  // no seqId
        text_seq, push(10, -5, "", ""), push(-2, 11, "", ""),
    };
    for (const std::string& bad : bad_pushes)
        EXPECT_FALSE(read_book_push(bad)) << bad;

    // Random bytes changed in good pushes: a push is read whole or not at all, never a crash.
    std::mt19937 rng(38);
    const std::string good = push(10, 11, R"(["100.5","2","0","1"],["99","0","0","0"])",
                                  R"(["101","3.25","0","1"])");
    const std::string alphabet = "0123456789.-e,[]{}\":x \\u\t\xC3\xA9\x80";
    int unreadable = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = good;
        for (int k = 0; k < 1 + static_cast<int>(rng() % 3); ++k)
            text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
        EXPECT_EQ(same_reading(text), "") << text;
        const std::optional<book::BookPush> read = read_book_push(text);
        if (!read) {
            ++unreadable;
            continue;
        }
        for (const auto& levels : {read->bids, read->asks}) {
            for (const book::Level& level : levels)
                EXPECT_FALSE(level.price.is_zero()) << text;
        }
    }
    EXPECT_GT(unreadable, 1000);
}

// OKX's own example pushes, and the same pushes written every way JSON allows: the in-place
// reader and the DOM reading agree on each.
TEST(OkxBookReader, ReadsOkxExamplesAsTheDomDoes) {
    const std::vector<std::string> examples = {
        R"({"arg":{"channel":"books","instId":"BTC-USDT"},"action":"snapshot","data":[{"asks":)"
        R"([["8476.98","415","0","13"],["8477","7","0","2"],["8477.34","85","0","1"]],"bids":)"
        R"([["8476.97","256","0","12"],["8475.55","101","0","1"]],"ts":"1597026383085",)"
        R"("checksum":-855196043,"prevSeqId":-1,"seqId":123456}]})",
        R"({"arg":{"channel":"books","instId":"BTC-USDT"},"action":"update","data":[{"asks":)"
        R"([["8476.98","415","0","13"]],"bids":[["8476.97","0","0","0"]],"ts":"1597026383085",)"
        R"("checksum":0,"prevSeqId":123456,"seqId":123457}]})",
        R"({"arg":{"channel":"books5","instId":"BCH-USDT"},"data":[{"asks":[["111.06","55154",)"
        R"("0","2"],["111.07","53276","0","2"]],"bids":[["111.05","57745","0","2"]],"instId":)"
        R"("BCH-USDT","ts":"1670324386802","seqId":363996337}]})",
        R"({"arg":{"channel":"bbo-tbt","instId":"BCH-USDT-SWAP"},"data":[{"asks":[["111.06",)"
        R"("55154","0","2"]],"bids":[["111.05","57745","0","2"]],"ts":"1670324386802",)"
        R"("seqId":363996337}]})",
        R"({"arg":{"channel":"books-l2-tbt","instId":"BTC-USDT"},"action":"update","data":[{)"
        R"("asks":[],"bids":[],"ts":"1597026383085","checksum":0,"prevSeqId":15,"seqId":15}]})",
        R"({"arg":{"channel":"books50-l2-tbt","instId":"BTC-USDT"},"action":"update","data":[{)"
        R"("asks":[["93180.2","0.5","0","3"]],"bids":[],"ts":"1597026383085","checksum":0,)"
        R"("prevSeqId":15,"seqId":3}]})",
    };
    for (const std::string& text : examples) {
        EXPECT_NE(reading(read_book_push(text)), "refused") << text;
        EXPECT_EQ(same_reading(text), "") << text;
    }
    // What JSON allows around and inside them, and what it does not.
    const std::string snapshot = examples[0];
    std::vector<std::string> variants = {
        "\xEF\xBB\xBF" + snapshot, " \t\r\n" + snapshot + " \n", snapshot + "x", snapshot + "{}",
        "\xEF\xBB" + snapshot, "[" + snapshot + "]", snapshot.substr(0, snapshot.size() - 1),
    };
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {R"("asks")", R"("as\u006bs")"},              // escaped key
             {R"("bids")", R"("\bids")"},                 // a key that only looks like one
             {R"("ts")", R"("\ts")"},
             {R"("ts")", R"("\u0074s")"},
             {R"("8477")", R"("84\u0037\u0037")"},         // escaped price
             {R"("8477")", R"("8477\/")"},                 // escaped, then not a price
             {R"("snapshot")", R"("snap\u0073hot")"},      // escaped action
             {R"("books")", R"("book\u0073")"},            // escaped channel
             {R"(123456})", R"("123456"})"},              // seqId as a digit string
             {R"(123456})", R"("12\u00334\u00356"})"},   // as an escaped digit string
             {R"("BTC-USDT")", R"("BTC\ud83d\ude00")"},    // a surrogate pair
             {R"("BTC-USDT")", R"("BTC\ud83d")"},          // a lone high surrogate
             {R"("BTC-USDT")", R"("BTC\ude00x")"},         // a lone low surrogate
             {R"("BTC-USDT")", R"("BTC\ud83d\u0041")"},    // a high one before no low one
             {R"("BTC-USDT")", R"("BTC\x")"},              // no such escape
             {R"("BTC-USDT")", R"("BTC\u12G4")"},          // not hex
             {R"("BTC-USDT")", "\"BTC\xC3\xA9\""},         // UTF-8
             {R"("BTC-USDT")", "\"BTC\xC3\""},             // cut UTF-8
             {R"("BTC-USDT")", "\"BTC\xE0\x80\xAF\""},     // overlong
             {R"("BTC-USDT")", "\"BTC\xED\xA0\x80\""},     // a surrogate in UTF-8
             {R"("BTC-USDT")", "\"BTC\xF4\x90\x80\x80\""}, // past U+10FFFF
             {R"("BTC-USDT")", "\"BTC\xF0\x9F\x98\x80\""}, // four bytes
             {R"("BTC-USDT")", "\"BTC\tX\""},              // a raw control character
             {R"("BTC-USDT")", std::string("\"BTC\0X\"", 7)},
             {R"("instId")", R"("arg")"},                  // "arg" inside "arg"
             {R"(-855196043)", R"(-8.55e8)"},
             {R"(-855196043)", R"(1e400)"},
             {R"(-855196043)", R"(-1e400)"},
             {R"(-855196043)", R"(1e-400)"},
             {R"(-855196043)", R"(1.7976931348623157e308)"},
             {R"(-855196043)", R"(1.7976931348623159e308)"},
             {R"(-855196043)", R"(0.000e99999999999999999999)"},
             {R"(-855196043)", std::string(308, '9')},
             {R"(-855196043)", std::string(309, '9')},
             {R"(-855196043)", "-" + std::string(400, '9')},
             {R"(-855196043)", R"(01)"},
             {R"(-855196043)", R"(-)"},
             {R"(-855196043)", R"(1.)"},
             {R"(-855196043)", R"(.5)"},
             {R"(-855196043)", R"(+1)"},
             {R"(-855196043)", R"(1e)"},
             {R"(-855196043)", R"(tru)"},
             {R"(-855196043)", R"(nul)"},
             {R"(-855196043)", R"([true,false,null,{},[],{"a":[{}]}])"},
             {R"(-855196043)", R"({"a" 1})"},
             {R"(-855196043)", R"({"a":1,})"},
             {R"(-855196043)", R"([1,])"},
             {R"(-855196043)", R"([,1])"},
             {R"(-855196043)", R"({,"a":1})"},
             {R"(-855196043)", R"([1 2])"},
             {R"(-855196043)", R"({1:2})"},
         }) {
        std::string text = snapshot;
        text.replace(text.find(from), from.size(), to);
        variants.push_back(text);
    }
    // Nesting up to the DOM's limit and past it, inside a member no one reads.
    for (const int levels : {250, 255, 256, 257, 300}) {
        variants.push_back(R"({"x":)" + std::string(levels, '[') + std::string(levels, ']') + "," +
                           snapshot.substr(1));
    }
    for (const std::string& text : variants)
        EXPECT_EQ(same_reading(text), "") << text;
}

// A push built from members, in any order with any whitespace between the tokens. Half are well
// formed; in the other half one kind of member is made odd (dropped, repeated, given a value that
// is not what it should be), so that each fault is seen alone and not hidden by another.
class PushMaker {
public:
    explicit PushMaker(std::uint32_t seed) : rng_(seed) {}

    std::string make() {
        fault_ = chance(50) ? static_cast<Fault>(1 + rng_() % kFaults) : Fault::none;
        std::vector<std::string> top;
        top.push_back(R"("arg":)" + object({R"("channel":)" + channel(),
                                            R"("instId":"BTC-USDT")"}));
        if (chance(80)) top.push_back(R"("action":)" + action());
        top.push_back(R"("data":)" + data());
        if (odd(Fault::top, 20)) {
            top.push_back(R"("arg":)" + pick({"{}", "[]", R"({"channel":"books5"})"}));
        }
        if (odd(Fault::top, 30)) {  // a second "data", the one that counts if it comes last
            top.push_back(R"("data":)" + pick({"[]", data(), R"([{"asks":[],"bids":[]}])"}));
        }
        if (odd(Fault::top, 20)) top.erase(top.begin() + static_cast<long>(rng_() % top.size()));
        return object(top);
    }

private:
    bool chance(unsigned percent) { return rng_() % 100 < percent; }
    enum class Fault { none, top, action, channel, number, text, level, levels, entry, items };
    static constexpr unsigned kFaults = 9;
    bool odd(Fault kind, unsigned percent) { return fault_ == kind && chance(percent); }
    std::string pick(const std::vector<std::string>& from) { return from[rng_() % from.size()]; }

    std::string gap() {
        return chance(15) ? pick({" ", "\n", "\t ", "\r\n  "}) : "";
    }
    std::string object(std::vector<std::string> members) {
        std::shuffle(members.begin(), members.end(), rng_);
        std::string text = "{" + gap();
        for (std::size_t i = 0; i < members.size(); ++i) {
            std::string member = members[i];
            const std::size_t colon = member.find("\":") + 1;
            member.insert(colon + 1, gap());
            member.insert(colon, gap());
            text += (i ? "," + gap() : "") + member + gap();
        }
        return text + "}";
    }
    std::string array(const std::vector<std::string>& items) {
        std::string text = "[" + gap();
        for (std::size_t i = 0; i < items.size(); ++i)
            text += (i ? "," + gap() : "") + items[i] + gap();
        return text + "]";
    }

    std::string action() {
        if (!odd(Fault::action, 50)) return pick({R"("snapshot")", R"("update")"});
        return pick({"null", "7", R"("snap\u0073hot")", R"(["snapshot"])"});
    }
    std::string channel() {
        if (!odd(Fault::channel, 50)) {
            return pick({R"("books")", R"("books-l2-tbt")", R"("books50-l2-tbt")", R"("books5")",
                         R"("bbo-tbt")"});
        }
        return pick({R"(null)", R"(["books"])", R"("trades")", R"("books\u0035")"});
    }
    std::string number() {
        if (!odd(Fault::number, 25)) return std::to_string(rng_() % 100000);
        return pick({"-1", "-2", "0", "-0", "9223372036854775807", "9223372036854775808",
                     "-9223372036854775808", "-9223372036854775809", "18446744073709551615",
                     "18446744073709551616", "1e3", "1.0", "1e400", "-1e400", "1e-400", "00",
                     R"("123")", R"("")", R"("12a")", R"("-1")", R"("9223372036854775808")",
                     R"("1\u0032")", "null", "true", "[1]", "{}"});
    }
    std::string text_number(const char* usual) {
        if (!odd(Fault::text, 2)) return std::string("\"") + usual + "\"";
        return pick({R"("-1")", R"("0")", R"("1e3")", R"("0.10")", R"(".5")", R"("5.")",
                     R"("99999999999999999999")", R"("0.0000000000000000001")", R"("")",
                     R"("1\u002e5")", R"(" 1")", "1", "null", R"(["1"])"});
    }
    std::string level() {
        static const char* const kPrices[] = {"93180.2", "93180.25", "100", "0.00001"};
        static const char* const kSizes[] = {"0.5", "0", "12", "0.10000000"};
        std::vector<std::string> fields = {text_number(kPrices[rng_() % 4]),
                                           text_number(kSizes[rng_() % 4]), R"("0")", R"("3")"};
        if (odd(Fault::level, 3)) fields.resize(rng_() % 3);
        if (chance(3)) fields.push_back(R"({"x":[1,2]})");
        return odd(Fault::level, 3) ? pick({R"("100")", "null", "{}"}) : array(fields);
    }
    std::string levels() {
        if (odd(Fault::levels, 30)) return pick({"null", R"({"0":["1","1"]})", R"("[]")"});
        std::vector<std::string> items(rng_() % 41);
        for (std::string& item : items)
            item = level();
        return array(items);
    }
    std::string data() {
        std::vector<std::string> entry = {R"("asks":)" + levels(), R"("bids":)" + levels(),
                                          R"("ts":)" + number(), R"("checksum":)" + number(),
                                          R"("prevSeqId":)" + number(), R"("seqId":)" + number()};
        if (chance(10)) entry.push_back(R"("asks":)" + levels());  // the last one counts
        if (chance(10)) entry.push_back(R"("seqId":)" + number());
        if (odd(Fault::entry, 50)) {
            entry.erase(entry.begin() + static_cast<long>(rng_() % entry.size()));
        }
        std::vector<std::string> items = {object(entry)};
        if (odd(Fault::items, 50)) items.push_back(pick({"{}", "[]", "1"}));
        if (odd(Fault::items, 30)) items = {pick({"[]", "null"})};
        return array(items);
    }

    std::mt19937 rng_;
    Fault fault_ = Fault::none;
};

// Thousands of pushes, well formed or not, then cut short and with bytes changed: the in-place
// reader refuses exactly what the DOM reading refuses and reads the rest the same.
TEST(OkxBookReader, ReadsMutatedPushesAsTheDomDoes) {
    PushMaker maker(1207);
    std::mt19937 rng(44);
    const std::string alphabet = "0123456789.-eE+,[]{}\":\\u tn\xC3\xA9";
    int read = 0;
    int refused = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string text = maker.make();
        const int change = static_cast<int>(rng() % 4);
        if (change == 1) text.resize(rng() % text.size());
        if (change == 2) {
            for (int k = 0; k < 1 + static_cast<int>(rng() % 2); ++k)
                text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
        }
        if (change == 3) text.insert(rng() % text.size(), 1, alphabet[rng() % alphabet.size()]);
        const std::string differs = same_reading(text);
        EXPECT_EQ(differs, "") << text;
        if (!differs.empty()) break;
        (read_book_push(text) ? read : refused) += 1;
    }
    EXPECT_GT(read, 500);
    EXPECT_GT(refused, 1500);
}

}  // namespace
}  // namespace corvane::okx
