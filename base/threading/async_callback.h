// One-shot completion callbacks through which asynchronous results are
// delivered. The receiver makes the callback, hands a pointer to the producer,
// and owns and deletes it after Invoke (or when the work is abandoned).
#ifndef BASE_THREADING_ASYNC_CALLBACK_H_
#define BASE_THREADING_ASYNC_CALLBACK_H_

namespace tobric {

// Invoke takes the result by value: when T is a shared_ptr the callback holds
// its own reference while the callee runs and lets it go when Invoke returns,
// whatever the callee did with its copy.
template <class T>
class AsyncCallback {
 public:
  AsyncCallback() = default;
  virtual ~AsyncCallback() = default;
  AsyncCallback(const AsyncCallback&) = delete;
  AsyncCallback& operator=(const AsyncCallback&) = delete;

  virtual void Invoke(T result) = 0;
};

// Calls a plain function with the result; a null function makes Invoke do nothing.
template <class T>
class StdAsyncCallback : public AsyncCallback<T> {
 public:
  using Function = void (*)(T);

  explicit StdAsyncCallback(Function function) : function_(function) {}

  void Invoke(T result) override {
    if (function_ != nullptr) function_(result);
  }

 private:
  const Function function_;
};

// Calls owner->method(result); the owner is not owned. A null method (or owner)
// makes Invoke do nothing. The callee gets its own copy of the result.
template <class Owner, class T, class R = void>
class MethodAsyncCallback : public AsyncCallback<T> {
 public:
  using Method = R (Owner::*)(T);

  MethodAsyncCallback(Owner* owner, Method method) : owner_(owner), method_(method) {}

  void Invoke(T result) override {
    if (owner_ != nullptr && method_ != nullptr) (owner_->*method_)(result);
  }

 private:
  Owner* const owner_;
  const Method method_;
};

}  // namespace tobric

#endif  // BASE_THREADING_ASYNC_CALLBACK_H_
