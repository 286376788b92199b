// Work items: the unit of deferred work queued to the ThreadPool, and the two
// bound member calls the engine queues most.
#ifndef BASE_THREADING_USER_WORK_ITEM_H_
#define BASE_THREADING_USER_WORK_ITEM_H_

#include <memory>
#include <type_traits>
#include <utility>

#include "base/threading/manual_reset_event.h"

namespace tobric {

// Base of everything queued to the ThreadPool. Made by its user on the heap and
// handed to ThreadPool::Queue, which owns it from a successful Queue on and
// deletes it on the pool thread right after Run returns. Run runs once, on one
// pool thread; the item guards any state it shares with others itself.
class UserWorkItem {
 public:
  UserWorkItem() = default;
  virtual ~UserWorkItem() = default;
  UserWorkItem(const UserWorkItem&) = delete;
  UserWorkItem& operator=(const UserWorkItem&) = delete;

  // The work itself.
  virtual void Run() = 0;

  // The pool's stop event, filled in by ThreadPool::Queue: an item that runs
  // long tests it to end early when the process stops. Empty until queued.
  [[nodiscard]] const std::shared_ptr<ManualResetEvent>& stop_event() const { return stop_event_; }
  void set_stop_event(std::shared_ptr<ManualResetEvent> stop_event) {
    stop_event_ = std::move(stop_event);
  }
  // True when the pool asks its items to stop.
  [[nodiscard]] bool StopRequested() const { return stop_event_ && stop_event_->IsSet(); }

 private:
  std::shared_ptr<ManualResetEvent> stop_event_;
};

// A call of object->method() on a pool thread. The object is not owned and must
// outlive the item. R is the method's return type, which is ignored.
template <class T, class R = void>
class ThreadPoolCallBack0 : public UserWorkItem {
 public:
  using Method = R (T::*)();

  ThreadPoolCallBack0(T* object, Method method) : object_(object), method_(method) {}

  void Run() override { (object_->*method_)(); }

 private:
  T* const object_;
  const Method method_;
};

// A call of object->method(a1, a2) on a pool thread, the arguments stored by
// value when the item is made. The object is not owned and must outlive the item.
template <class T, class A1, class A2, class R = void>
class ThreadPoolCallBack2 : public UserWorkItem {
 public:
  using Method = R (T::*)(A1, A2);

  ThreadPoolCallBack2(T* object, Method method, A1 a1, A2 a2)
      : object_(object), method_(method), a1_(std::move(a1)), a2_(std::move(a2)) {}

  void Run() override { (object_->*method_)(a1_, a2_); }

 private:
  T* const object_;
  const Method method_;
  std::decay_t<A1> a1_;
  std::decay_t<A2> a2_;
};

}  // namespace tobric

#endif  // BASE_THREADING_USER_WORK_ITEM_H_
