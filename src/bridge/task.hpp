// Task<T>: the lazy C++20 coroutine type of every asynchronous operation.
//
// A Task starts suspended and runs when awaited (by another Task, or by a Driver at the root,
// see driver.hpp). A finished child hands control straight back to its parent by symmetric
// transfer, so a chain of nested operations costs no stack growth and no Python frames.
// Every promise carries a pointer to the root's Driver, inherited when a Task is awaited; the
// Driver is what parks a Python iterator when a frame awaits a Python awaitable.
//
// Rules for code written as Tasks: take parameters by value (the start is lazy); never
// co_await inside a catch block (record, leave the handler, then await); catch Python errors
// selectively (`if (!e.matches(kind)) throw;`) so that cancellation always passes. g++ 12
// mishandles co_await inside braced initialisers: await into a local first, then build.
// What a suspended frame holds must be visible to the garbage collector: see roots.hpp.
#pragma once

#include <coroutine>
#include <concepts>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "bridge/roots.hpp"

namespace corvane::bridge {

namespace py = pybind11;

class Driver;
class PyAwaiter;
template <class T>
class Task;

namespace detail {

template <class T>
class TaskAwaiter;

// A parameter the promise records: a by-value py::object the frame owns. A Rooted parameter
// reports itself; a py::handle owns nothing and is never reported.
template <class A>
constexpr bool is_recorded_parameter =
    std::derived_from<std::remove_cvref_t<A>, py::object> &&
    !requires { std::remove_cvref_t<A>::corvane_rooted; };

struct PromiseBase {
  // Enough for every operation; a frame with more Python parameters does not compile.
  static constexpr int kMaxParameters = 12;

  PromiseBase() noexcept = default;
  // The compiler hands the promise the frame's own copies of the parameters: those that are
  // Python objects are recorded so that tp_traverse can report them while the frame lives.
  template <class... A>
  explicit PromiseBase(A&... args) noexcept {
    static_assert((0 + ... + (is_recorded_parameter<A> ? 1 : 0)) <= kMaxParameters,
                  "too many Python parameters for one Task frame");
    (record(args), ...);
  }

  Driver* driver = nullptr;
  std::coroutine_handle<> continuation;
  std::exception_ptr error;
  // The child Task this frame is awaiting, so that traversal follows the chain of frames.
  PromiseBase* awaiting = nullptr;
  const py::object* parameters[kMaxParameters] = {};
  int parameter_count = 0;

  // Calls visit(PyObject*) for every Python parameter of this frame and of the frames it awaits.
  template <class F>
  int for_each_parameter(F&& visit) const {
    for (const PromiseBase* p = this; p != nullptr; p = p->awaiting) {
      for (int i = 0; i < p->parameter_count; ++i) {
        if (int rc = visit(p->parameters[i]->ptr())) return rc;
      }
    }
    return 0;
  }

  template <class A>
  void record(A& arg) noexcept {
    if constexpr (is_recorded_parameter<A>) parameters[parameter_count++] = &arg;
  }

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      auto next = h.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }

  // co_await on any Python object: `yield from obj.__await__()`.
  template <class U>
    requires std::derived_from<std::remove_cvref_t<U>, py::handle>
  PyAwaiter await_transform(U&& awaitable);

  // co_await on a child Task: runs it with this frame's driver.
  template <class T>
  TaskAwaiter<T> await_transform(Task<T>&& child) noexcept;
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::PromiseBase {
    using PromiseBase::PromiseBase;
    std::optional<T> value;
    Task get_return_object() noexcept {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    template <class U>
    void return_value(U&& v) {
      value.emplace(std::forward<U>(v));
    }
  };
  using handle_type = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, nullptr);
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  handle_type handle() const noexcept { return h_; }

  // The result of a finished task: its value, or its exception rethrown.
  T take_result() {
    auto& p = h_.promise();
    if (p.error) std::rethrow_exception(p.error);
    return std::move(*p.value);
  }

  // Destroys the frame (and, through it, every child frame it is awaiting).
  void reset() noexcept {
    if (h_) std::exchange(h_, nullptr).destroy();
  }

 private:
  explicit Task(handle_type h) noexcept : h_(h) {}
  handle_type h_;
};

template <>
class [[nodiscard]] Task<void> {
 public:
  struct promise_type : detail::PromiseBase {
    using PromiseBase::PromiseBase;
    Task get_return_object() noexcept {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_void() noexcept {}
  };
  using handle_type = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (h_) h_.destroy();
  }

  handle_type handle() const noexcept { return h_; }
  void take_result() {
    if (h_.promise().error) std::rethrow_exception(h_.promise().error);
  }

 private:
  explicit Task(handle_type h) noexcept : h_(h) {}
  handle_type h_;
};

namespace detail {

template <class T>
class TaskAwaiter {
 public:
  TaskAwaiter(Task<T>&& child, Driver* driver) noexcept : child_(std::move(child)), driver_(driver) {}
  bool await_ready() const noexcept { return false; }
  template <class P>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
    auto& p = child_.handle().promise();
    p.continuation = parent;
    p.driver = driver_;
    parent_ = &parent.promise();
    parent_->awaiting = &p;
    return child_.handle();
  }
  T await_resume() {
    parent_->awaiting = nullptr;
    return child_.take_result();
  }

 private:
  Task<T> child_;
  Driver* driver_;
  PromiseBase* parent_ = nullptr;
};

template <class T>
TaskAwaiter<T> PromiseBase::await_transform(Task<T>&& child) noexcept {
  return TaskAwaiter<T>(std::move(child), driver);
}

}  // namespace detail
}  // namespace corvane::bridge

// Parameters are taken by value (the start is lazy): a reference to a Python object would
// dangle, and the garbage collector could not be told about it.
template <class T, class... Args>
struct std::coroutine_traits<corvane::bridge::Task<T>, Args...> {
  static_assert(
      (!(std::is_reference_v<Args> &&
         std::derived_from<std::remove_cvref_t<Args>, pybind11::handle>) && ...),
      "a Task takes Python objects by value");
  // A Rooted registers with the driver running when it is made, which for a parameter may be
  // the caller's, not the frame's: parameters are py::object, recorded by the promise instead.
  static_assert((!requires { std::remove_cvref_t<Args>::corvane_rooted; } && ...),
                "a Task parameter is a py::object, not a Rooted");
  using promise_type = typename corvane::bridge::Task<T>::promise_type;
};

#include "bridge/py_await.hpp"
