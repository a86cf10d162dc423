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
#pragma once

#include <coroutine>
#include <concepts>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

namespace corvane::bridge {

namespace py = pybind11;

class Driver;
class PyAwaiter;
template <class T>
class Task;

namespace detail {

template <class T>
class TaskAwaiter;

struct PromiseBase {
  Driver* driver = nullptr;
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

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
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept {
    auto& p = child_.handle().promise();
    p.continuation = parent;
    p.driver = driver_;
    return child_.handle();
  }
  T await_resume() { return child_.take_result(); }

 private:
  Task<T> child_;
  Driver* driver_;
};

template <class T>
TaskAwaiter<T> PromiseBase::await_transform(Task<T>&& child) noexcept {
  return TaskAwaiter<T>(std::move(child), driver);
}

}  // namespace detail
}  // namespace corvane::bridge

#include "bridge/py_await.hpp"
