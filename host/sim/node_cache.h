// Keeps the nodes of a node-based standard map (std::map, std::unordered_map) for reuse: an
// entry inserted through the cache takes a node an earlier erase gave back, so a map whose
// entries come and go at a steady rate stops allocating once it has seen its largest size.
#pragma once

#include <utility>
#include <vector>

namespace host::sim {

template <typename Map>
class NodeCache {
public:
    using Node = typename Map::node_type;

    // Inserts (key, value), or assigns value when key is present. Returns the entry.
    template <typename K, typename V>
    typename Map::iterator Put(Map& map, K&& key, V&& value) {
        auto found = map.find(key);
        if (found != map.end()) {
            found->second = std::forward<V>(value);
            return found;
        }
        if (spare_.empty()) return map.emplace(std::forward<K>(key), std::forward<V>(value)).first;
        Node node = std::move(spare_.back());
        spare_.pop_back();
        node.key() = std::forward<K>(key);
        node.mapped() = std::forward<V>(value);
        return map.insert(std::move(node)).position;
    }

    // Erases the entry at `it`, keeping its node. The mapped value is moved out first, so that
    // what it owns is released now and not when the node is reused.
    void Erase(Map& map, typename Map::iterator it) {
        Node node = map.extract(it);
        node.mapped() = typename Map::mapped_type{};
        spare_.push_back(std::move(node));
    }

private:
    std::vector<Node> spare_;
};

}  // namespace host::sim
