// Python references held by suspended C++ frames, made visible to the garbage collector.
//
// The collector learns what a container owns only from its tp_traverse. A coroutine object's
// C++ frames own Python references that no Python object reports, so without help a cycle
// through a suspended operation (a client that stores its own coroutine, a task whose frame
// awaits it, requests left pending on a closed loop) is never collected. What a Task frame
// must do, for everything it holds while it waits:
//  1. parameters: take Python objects by value as py::object (or py::str, py::dict, ...).
//     The promise records them when the frame is made and traversal reports them; nothing to
//     write. (A reference parameter, or a Rooted one, does not compile.)
//  2. locals alive across a co_await: declare them Rooted<> (or Rooted<py::dict>, ...) instead
//     of py::object, and make Rooted the Python members of a struct kept across one. A Rooted
//     is a py::object that, while it lives, is listed in the root list of the driver running
//     the frame that made it. Locals that only exist after the last co_await need nothing.
//  3. the awaited object: build it in a statement of its own and `co_await std::move(it)`.
//     Temporaries of a full-expression that contains a co_await (the bound method of
//     `self.attr("get")(...)`, py::arg values) live, unreported, across the suspension.
// clear() of the coroutine object destroys the frames, which releases all of these.
#pragma once

#include <concepts>
#include <utility>

#include <pybind11/pybind11.h>

namespace corvane::bridge {

namespace py = pybind11;

namespace detail {

// One reference in a root list (intrusive, doubly linked: linking and unlinking cost nothing).
struct RootNode {
  RootNode* prev = nullptr;
  RootNode* next = nullptr;
  const py::handle* ref = nullptr;

  void unlink() noexcept {
    if (prev == nullptr) return;
    prev->next = next;
    next->prev = prev;
    prev = next = nullptr;
  }
};

// The references a driver's frames keep; a circular list around a sentinel.
class RootList {
 public:
  RootList() noexcept { head_.prev = head_.next = &head_; }
  RootList(const RootList&) = delete;
  RootList& operator=(const RootList&) = delete;
  // Nodes still linked (held outside any frame, against the rules) are detached, never left
  // pointing at a list that is gone.
  ~RootList() {
    while (head_.next != &head_) head_.next->unlink();
  }

  void link(RootNode& node) noexcept {
    node.prev = head_.prev;
    node.next = &head_;
    head_.prev->next = &node;
    head_.prev = &node;
  }

  template <class F>
  int for_each(F&& visit) const {
    for (const RootNode* n = head_.next; n != &head_; n = n->next) {
      if (int rc = visit(n->ref->ptr())) return rc;
    }
    return 0;
  }

 private:
  RootNode head_;
};

// The root list of the driver whose frames are running on this thread (null outside them).
RootList* current_roots() noexcept;

}  // namespace detail

// A py::object (or subclass T) local to a Task frame that the garbage collector can see while
// the frame is suspended. Use it exactly like T; declare it with the value it starts with:
//   Rooted<py::object> response = co_await context;
// Only for locals of Task frames: one kept anywhere else is simply an uncounted reference.
template <class T = py::object>
  requires std::derived_from<T, py::object>
class Rooted : public T {
 public:
  static constexpr bool corvane_rooted = true;

  Rooted() { link(); }
  // From anything T is made from (a T, an attribute accessor, ...); implicit on purpose.
  template <class U>
    requires(!std::same_as<std::remove_cvref_t<U>, Rooted> && std::constructible_from<T, U &&>)
  Rooted(U&& value) : T(std::forward<U>(value)) {  // NOLINT(google-explicit-constructor)
    link();
  }
  Rooted(const Rooted& other) : T(static_cast<const T&>(other)) { link(); }
  Rooted(Rooted&& other) noexcept : T(std::move(static_cast<T&>(other))) { link(); }
  Rooted& operator=(const Rooted& other) {
    T::operator=(static_cast<const T&>(other));
    return *this;
  }
  Rooted& operator=(Rooted&& other) noexcept {
    T::operator=(std::move(static_cast<T&>(other)));
    return *this;
  }
  template <class U>
    requires(!std::same_as<std::remove_cvref_t<U>, Rooted> && std::constructible_from<T, U &&>)
  Rooted& operator=(U&& value) {
    T::operator=(T(std::forward<U>(value)));
    return *this;
  }
  ~Rooted() { node_.unlink(); }

 private:
  void link() noexcept {
    node_.ref = this;
    if (detail::RootList* roots = detail::current_roots()) roots->link(node_);
  }
  detail::RootNode node_;
};

}  // namespace corvane::bridge
