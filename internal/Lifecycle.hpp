// The two lifecycle promises every value class of the library makes, written once (not
// installed):
//
//   a moved-from object is empty: the standard library promises only "valid but unspecified" for
//   its own types, and Eigen's move assignment swaps, leaving the source with the target's data;
//   copy assignment is all or nothing: the copy is made aside, so running out of memory half-way
//   leaves the target as it was, and is then moved in by operations that cannot throw.
//
// A class lists its members once, in a private `members()` that returns std::tie of them, and
// befriends Lifecycle; its special members are then one line each.
#pragma once

#include <memory>
#include <tuple>
#include <utility>

namespace Ondrel::internal {

struct Lifecycle {
  // Move construction: `target` was built empty (its members default-constructed), so exchanging
  // members leaves the source exactly that.
  template <class T>
  static void take(T& target, T& source) noexcept {
    exchange(target, source);
  }

  // Move assignment: the source's members come in, and the source is emptied. Self-move keeps
  // the object as it was.
  template <class T>
  static T& moveAssign(T& target, T& source) noexcept {
    if (&target != &source) {
      T taken(std::move(source));
      exchange(target, taken);
    }
    return target;
  }

  // Exchanges the members the two ties refer to, one by one.
  template <class T>
  static void exchange(T& a, T& b) noexcept {
    auto ours = a.members();
    auto theirs = b.members();
    ours.swap(theirs);
  }

  // Copy assignment, all or nothing.
  template <class T>
  static T& copyAssign(T& target, const T& source) {
    if (&target != &source) {
      T copy(source);
      exchange(target, copy);
    }
    return target;
  }
};

// A deep copy of what a public face holds through a pointer (a solver behind its face), which a
// moved-from face no longer has.
template <class T>
std::unique_ptr<T> deepCopy(const std::unique_ptr<T>& source) {
  return source ? std::make_unique<T>(*source) : nullptr;
}

}  // namespace Ondrel::internal
