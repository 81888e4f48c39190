// Hash map keyed by owned byte strings. TEMPORARY stand-in with the final API; the
// open-addressing implementation replaces it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vandra {

template <class V>
class ByteMap {
public:
    ByteMap() = default;
    explicit ByteMap(std::size_t expected) { map_.reserve(expected); }

    // Inserts (copy of key, value) if the key is absent. Returns the stored value and
    // whether it was inserted.
    std::pair<V*, bool> try_emplace(std::string_view key, V value) {
        auto [it, inserted] = map_.try_emplace(std::string(key), std::move(value));
        return {&it->second, inserted};
    }
    const V* find(std::string_view key) const {
        auto it = map_.find(std::string(key));
        return it == map_.end() ? nullptr : &it->second;
    }
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    // f(std::string_view key, const V& value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [k, v] : map_) f(std::string_view(k), v);
    }

private:
    std::unordered_map<std::string, V> map_;
};

}  // namespace vandra
