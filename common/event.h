#pragma once

#include <utility>

#include "common/object.h"

// A routine bound to an object, as a component's owner assigns it to one of the
// component's On... events. It owns nothing and never allocates, so events may be
// fired on the audio path. Firing an unassigned event does nothing and yields R{}.
template <typename Signature>
class TEvent;

template <typename R, typename... Args>
class TEvent<R(Args...)> {
 public:
  using Thunk = R (*)(void* target, Args... args);

  constexpr TEvent() noexcept = default;
  constexpr TEvent(std::nullptr_t) noexcept {}
  constexpr TEvent(void* target, Thunk thunk) noexcept : target_(target), thunk_(thunk) {}

  // Binds a member function: TEvent<void(int)>::Bind<&TForm::Handler>(form).
  template <auto Method, typename Object>
  static TEvent Bind(Object* object) noexcept {
    return TEvent(object, [](void* target, Args... args) -> R {
      return (static_cast<Object*>(target)->*Method)(std::forward<Args>(args)...);
    });
  }

  // Binds any callable by address; the callable must outlive the event.
  template <typename Callable>
  static TEvent FromCallable(Callable* callable) noexcept {
    return TEvent(callable, [](void* target, Args... args) -> R {
      return (*static_cast<Callable*>(target))(std::forward<Args>(args)...);
    });
  }

  constexpr bool Assigned() const noexcept { return thunk_ != nullptr; }
  constexpr explicit operator bool() const noexcept { return Assigned(); }

  R operator()(Args... args) const {
    if (thunk_ == nullptr) return R();
    return thunk_(target_, std::forward<Args>(args)...);
  }

  friend bool operator==(const TEvent& a, const TEvent& b) noexcept {
    return a.target_ == b.target_ && a.thunk_ == b.thunk_;
  }

 private:
  void* target_ = nullptr;
  Thunk thunk_ = nullptr;
};

using TNotifyEvent = TEvent<void(TObject* Sender)>;
