#include "core/book/kept_book.hpp"

#include <algorithm>
#include <utility>

namespace corvane::book {

KeptBook::KeptBook(BookKey key, const SequenceRule& rule, BookSyncLimits limits, bool deliver)
    : key(std::move(key)), deliver(deliver), sync(rule, limits) {}

void KeptBook::note(const BookActions& actions) {
    if (actions.changed) {
        ++applied;
        changes.fetch_add(1, std::memory_order_release);
    }
    if (actions.synced) synced_cv.notify_all();
    if (actions.resync) {
        ++resyncs[static_cast<std::size_t>(*actions.resync)];
        changes.fetch_add(1, std::memory_order_release);  // no longer synced
    }
}

namespace {

std::vector<Level> first(const std::vector<Level>& levels, std::size_t depth) {
    const std::size_t n = depth == 0 ? levels.size() : std::min(depth, levels.size());
    return std::vector<Level>(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace

std::vector<Level> KeptBook::top(Side side, std::size_t depth) const {
    std::lock_guard<std::mutex> lock(mtx);
    if (!sync.synced()) return {};
    return first(sync.book().levels(side), depth);
}

KeptBook::Copy KeptBook::copy(std::size_t depth) const {
    std::lock_guard<std::mutex> lock(mtx);
    const OrderBook& book = sync.book();
    if (!sync.synced()) return Copy{book.seq, book.ts, false, {}, {}};
    return Copy{book.seq, book.ts, true, first(book.levels(Side::bid), depth),
                first(book.levels(Side::ask), depth)};
}

std::optional<Level> KeptBook::best(Side side) const {
    std::lock_guard<std::mutex> lock(mtx);
    if (!sync.synced()) return std::nullopt;
    const Level* level = sync.book().best(side);
    if (level == nullptr) return std::nullopt;
    return *level;
}

BookStatus KeptBook::status() const {
    std::lock_guard<std::mutex> lock(mtx);
    const OrderBook& book = sync.book();
    return BookStatus{book.seq, book.ts, sync.synced(), applied, resyncs, book.memory_bytes()};
}

bool KeptBook::wait_synced(std::chrono::milliseconds wait) const {
    std::unique_lock<std::mutex> lock(mtx);
    synced_cv.wait_for(lock, wait, [this] { return retired || sync.synced(); });
    return !retired && sync.synced();
}

void KeptBook::retire() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (retired) return;
        retired = true;
        sync.on_reconnect();  // drops what it kept and leaves the synced state
        changes.fetch_add(1, std::memory_order_release);
    }
    synced_cv.notify_all();
}

bool BookRegistry::untrack(std::string_view channel, std::string_view instrument) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto it = std::find_if(books.begin(), books.end(), [&](const auto& book) {
        return book->key.channel == channel && book->key.instrument == instrument;
    });
    if (it == books.end()) return false;
    (*it)->retire();
    books.erase(it);
    generation_.fetch_add(1, std::memory_order_release);
    return true;
}

void BookRegistry::retire_all() {
    std::lock_guard<std::mutex> lock(mtx);
    for (const auto& book : books)
        book->retire();
    books.clear();
    generation_.fetch_add(1, std::memory_order_release);
}

std::vector<std::shared_ptr<KeptBook>> BookRegistry::all() const {
    std::lock_guard<std::mutex> lock(mtx);
    return books;
}

std::shared_ptr<KeptBook> BookRegistry::find_locked(std::string_view channel,
                                                    std::string_view instrument) const {
    for (const auto& book : books) {
        if (book->key.channel == channel && book->key.instrument == instrument) return book;
    }
    return nullptr;
}

}  // namespace corvane::book
