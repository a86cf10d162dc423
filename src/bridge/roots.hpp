// Python references held by suspended C++ frames, made visible to the garbage collector.
//
// The collector learns what a container owns only from its tp_traverse. A coroutine object's
// C++ frames own Python references (their parameters, locals kept across a co_await) that no
// Python object reports, so without help a cycle through a suspended operation (a client that
// stores its own coroutine, a task whose frame awaits it) is never collected. Two mechanisms
// make them reachable from the coroutine object's tp_traverse:
//  - parameters: every by-value parameter of a Task that is a py::object (or a subclass) is
//    recorded by the promise when the frame is created (see task.hpp); nothing to write;
//  - locals kept across a co_await: declare them as Rooted<...> instead of py::object. A
//    Rooted is a py::object that, while it lives, is linked into the root list of the driver
//    running the frame that created it.
// Temporaries of a full-expression that contains a co_await live across the suspension too:
// build the awaitable in a statement of its own and `co_await std::move(it)`, so that nothing
// but the driver holds it while the frame waits.
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
