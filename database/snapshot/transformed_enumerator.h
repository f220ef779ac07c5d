// TransformedEnumerator: a range adapter that maps each element of another range through a
// function as the caller advances, so nothing is converted that is not visited. Holds the range
// and the function by value; iterators stay valid while the adapter lives.
#pragma once

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>

namespace dz::database {

template <class Range, class Transform>
class TransformedEnumerator {
  using BaseIterator = decltype(std::declval<const Range&>().begin());

 public:
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using value_type = std::decay_t<
        std::invoke_result_t<const Transform&, decltype(*std::declval<BaseIterator>())>>;
    using reference = value_type;

    Iterator() = default;
    Iterator(BaseIterator it, const Transform* transform)
        : it_(std::move(it)), transform_(transform) {}

    value_type operator*() const { return (*transform_)(*it_); }
    Iterator& operator++() {
      ++it_;
      return *this;
    }
    void operator++(int) { ++it_; }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.it_ == b.it_; }

   private:
    BaseIterator it_;
    const Transform* transform_ = nullptr;
  };

  TransformedEnumerator(Range range, Transform transform)
      : range_(std::move(range)), transform_(std::move(transform)) {}

  Iterator begin() const { return Iterator(range_.begin(), &transform_); }
  Iterator end() const { return Iterator(range_.end(), &transform_); }

 private:
  Range range_;
  Transform transform_;
};

// transformed(range, f): the elements of `range` mapped through `f`, lazily.
template <class Range, class Transform>
TransformedEnumerator<std::decay_t<Range>, std::decay_t<Transform>> transformed(
    Range&& range, Transform&& transform) {
  return {std::forward<Range>(range), std::forward<Transform>(transform)};
}

}  // namespace dz::database
