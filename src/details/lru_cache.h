#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <utility>

namespace agent::details {

// A map of at most `capacity` entries: adding one more drops the least recently used (a
// find counts as a use). Not thread-safe: the owner locks.
template <typename Key, typename Value>
class LruCache {
public:
    explicit LruCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    // The value, now the most recently used; nullptr when absent.
    Value* find(const Key& key) {
        const auto found = index_.find(key);
        if (found == index_.end())
            return nullptr;
        order_.splice(order_.begin(), order_, found->second);
        return &found->second->second;
    }

    void put(const Key& key, Value value) {
        if (Value* present = find(key)) {
            *present = std::move(value);
            return;
        }
        order_.emplace_front(key, std::move(value));
        index_.emplace(key, order_.begin());
        while (order_.size() > capacity_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
    }

    void clear() {
        index_.clear();
        order_.clear();
    }

    std::size_t size() const noexcept { return order_.size(); }

private:
    using Entry = std::pair<Key, Value>;
    std::size_t capacity_;
    std::list<Entry> order_;  // most recently used first
    std::map<Key, typename std::list<Entry>::iterator> index_;
};

}  // namespace agent::details
