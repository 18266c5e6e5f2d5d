// What the SCC traversal needs of the value that carries reachable sizes from
// component to component.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace vesker::analysis {

// A default-constructed estimator is the starting value (the empty set). A
// copy is an independent value (for shared trees: one more reference to the
// same immutable tree). `add_in_place` records one keyed weight, `include`
// merges another estimator's set, an item present in both counting once, and
// `estimate` reads out the estimated total weight.
template <class E>
concept SizeEstimator =
    std::default_initializable<E> && std::copyable<E> &&
    requires(E& estimator, const E& other, const E& read_only, std::size_t key, std::uint64_t weight) {
      estimator.add_in_place(key, weight);
      estimator.include(other);
      { read_only.estimate() } -> std::same_as<std::uint64_t>;
    };

}  // namespace vesker::analysis
