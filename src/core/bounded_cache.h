#pragma once
// A bounded store of owned values by key, safe to share between threads.
//
// At most `maxEntries` values and `maxBytes` counted bytes are kept; past either limit the entry
// stored first goes first. Neither a lookup nor replacing a key's value renews its place (a key
// taken out and stored again comes last). A single value above the byte limit is stored and at
// once evicted with everything older.
//
// `Handle` owns its value and is movable (SurfaceHandle, std::shared_ptr<...>, or a struct of
// them). Values that leave the cache are destroyed after its lock is released, never under it:
// `store` and `eraseIf` hand them back as `Released`, which the caller simply lets go (or keeps
// until it has dropped a lock of its own). `find` needs a copyable handle (a shared pointer), so
// the caller can read the value outside the lock while the cache replaces or evicts it.
//
// A process-wide cache is a function-local static behind an accessor, never a global.

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lumetta {

template <typename Handle>
class BoundedCache {
public:
    using Released = std::vector<Handle>;

    BoundedCache(std::size_t maxEntries, std::size_t maxBytes) : maxEntries_(maxEntries), maxBytes_(maxBytes) {}
    BoundedCache(const BoundedCache&) = delete;
    BoundedCache& operator=(const BoundedCache&) = delete;

    std::size_t maxEntries() const { return maxEntries_; }
    std::size_t maxBytes() const { return maxBytes_; }

    // Files `value` under `key`, counted as `bytes`, and evicts the oldest entries while a limit
    // is exceeded. Returns the replaced and evicted values.
    Released store(const std::string& key, Handle value, std::size_t bytes) {
        Released released;
        std::lock_guard lock(mutex_);
        if (const auto found = index_.find(key); found != index_.end()) {
            Entry& entry = *found->second;
            bytes_ -= entry.bytes;
            released.push_back(std::exchange(entry.value, std::move(value)));
            entry.bytes = bytes;
        } else {
            order_.push_back(Entry{key, std::move(value), bytes});
            index_.emplace(key, std::prev(order_.end()));
        }
        bytes_ += bytes;
        while (!order_.empty() && (order_.size() > maxEntries_ || bytes_ > maxBytes_)) {
            released.push_back(removeLocked(order_.begin()));
        }
        return released;
    }

    // A copy of the handle stored under `key`; an empty handle when there is none.
    Handle find(const std::string& key) const {
        std::lock_guard lock(mutex_);
        const auto found = index_.find(key);
        return found == index_.end() ? Handle{} : found->second->value;
    }

    // The value stored under `key`, removed from the cache; an empty handle when there is none.
    Handle take(const std::string& key) {
        std::lock_guard lock(mutex_);
        const auto found = index_.find(key);
        return found == index_.end() ? Handle{} : removeLocked(found->second);
    }

    // Removes every entry whose value satisfies `predicate` (called under the lock) and returns them.
    template <typename Predicate>
    Released eraseIf(Predicate predicate) {
        Released released;
        std::lock_guard lock(mutex_);
        for (auto entry = order_.begin(); entry != order_.end();) {
            const auto next = std::next(entry);
            if (predicate(std::as_const(entry->value))) released.push_back(removeLocked(entry));
            entry = next;
        }
        return released;
    }

    bool contains(const std::string& key) const {
        std::lock_guard lock(mutex_);
        return index_.contains(key);
    }
    std::size_t entryCount() const {
        std::lock_guard lock(mutex_);
        return order_.size();
    }
    std::size_t byteCount() const {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

private:
    struct Entry {
        std::string key;
        Handle value;
        std::size_t bytes = 0;
    };
    using Position = typename std::list<Entry>::iterator;

    Handle removeLocked(Position entry) {
        Handle value = std::move(entry->value);
        bytes_ -= entry->bytes;
        index_.erase(entry->key);
        order_.erase(entry);
        return value;
    }

    const std::size_t maxEntries_;
    const std::size_t maxBytes_;
    mutable std::mutex mutex_;
    std::list<Entry> order_;  // first stored first
    std::unordered_map<std::string, Position> index_;
    std::size_t bytes_ = 0;
};

}  // namespace lumetta
