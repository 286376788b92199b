#include "p2p/torrix_binding.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/process.h"
#include "base/platform/shared_library.h"
#include "base/platform/stack_trace.h"
#include "base/utf.h"
#include "storage/config_manager.h"

namespace lorvane {

namespace {

using tobric::LC_USER;

constexpr char16_t kInitLibraryName[] = u"Torrix.dll";
constexpr char16_t kInitVersion[] = u"12";
constexpr char kUpperPrefix[] = "TAVP://";
constexpr char kLowerPrefix[] = "tavp://";
constexpr size_t kPrefixLength = 7;
// How long QuitTorrixEngine waits for calls in progress before it quits the
// engine under them.
constexpr uint32_t kQuitWaitMs = 5000;

// The installed table. Each entry is an atomic of its own so that a reader on
// a pool thread never sees a torn pointer; the entries change only at start,
// at exit and between tests.
struct Binding {
  std::atomic<TorrixInitFunction> init{nullptr};
  std::atomic<TorrixQuitFunction> quit{nullptr};
  std::atomic<TorrixSetSettingFunction> set_setting{nullptr};
  std::atomic<TorrixCreateTaskFunction> create_task{nullptr};
  std::atomic<TorrixHandleFunction> start_task{nullptr};
  std::atomic<TorrixHandleFunction> stop_task{nullptr};
  std::atomic<TorrixHandleFunction> delete_task{nullptr};
  std::atomic<TorrixHandleFunction> delete_task_and_file{nullptr};
  std::atomic<TorrixGetTaskInfoBatchFunction> get_task_info_batch{nullptr};

  // Calls between their check of `quit_started` and their return. Quit waits
  // for them: the engine may free its state in Torrix_Quit.
  std::atomic<int> calls_running{0};
  std::atomic<bool> quit_started{false};

  // Why the library is not there, for the first call that misses it (the
  // logger does not exist yet while static objects are made).
  std::mutex load_error_mutex;
  std::string load_error;
  std::atomic<bool> missing_logged{false};
};

// Made on first use and never destroyed: the loader runs while static objects
// are made, in an order between files that nothing fixes, and calls may come
// from pool threads while static objects are destroyed at exit.
Binding& TheBinding() {
  static Binding* const binding = new Binding();
  return *binding;
}

// Counts a call as running for its scope; `open` is false once the engine has
// quit.
class CallScope {
 public:
  CallScope() : binding_(TheBinding()) {
    binding_.calls_running.fetch_add(1);
    open_ = !binding_.quit_started.load();
  }
  ~CallScope() { binding_.calls_running.fetch_sub(1); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  [[nodiscard]] bool open() const { return open_; }

 private:
  Binding& binding_;
  bool open_ = false;
};

int32_t Missing(const char* function) {
  Binding& binding = TheBinding();
  if (!binding.missing_logged.exchange(true)) {
    std::string reason;
    {
      std::lock_guard<std::mutex> hold(binding.load_error_mutex);
      reason = binding.load_error;
    }
    TLOG(LC_USER, tobric::kLevelError, "[TorrixBinding][%s is not available][%s]", function,
         reason.empty() ? "the engine has no such function or has quit" : reason.c_str());
  }
  return kTorrixFunctionMissing;
}

// The engine is a C library built apart: its records are declared here as in
// its header, the same layout under other C++ names. The C calling convention
// makes them one type; clang's check of calls through function pointers
// compares the C++ names, so it is off for the one place that calls in.
#if defined(__clang__)
#define CORVANE_ENGINE_CALL __attribute__((no_sanitize("function")))
#else
#define CORVANE_ENGINE_CALL
#endif

template <class Function, class... Args>
CORVANE_ENGINE_CALL int32_t CallEngine(std::atomic<Function> Binding::*entry, const char* name, Args... args) {
  const CallScope scope;
  const Function function = scope.open() ? (TheBinding().*entry).load() : nullptr;
  if (function == nullptr) return Missing(name);
  return function(args...);
}

template <class Function>
Function Find(tobric::platform::SharedLibraryHandle library, const char* name,
              std::string* missing) {
  void* const symbol = tobric::platform::FindLibrarySymbol(library, name);
  if (symbol == nullptr) *missing += std::string(missing->empty() ? "" : ", ") + name;
  return reinterpret_cast<Function>(symbol);
}

bool HasTavpPrefix(const std::string& uri) {
  if (uri.size() < kPrefixLength) return false;
  for (size_t i = 0; i < kPrefixLength; ++i) {
    if (uri[i] != kUpperPrefix[i] && uri[i] != kLowerPrefix[i]) return false;
  }
  return true;
}

// The value in UTF-16 with room for its terminator in `capacity`.
bool Fits(const std::u16string& value, size_t capacity) { return value.size() < capacity; }

}  // namespace

bool LoadTorrixEngine(const std::string& library_name) {
  std::string error;
  const tobric::platform::SharedLibraryHandle library =
      tobric::platform::LoadSharedLibrary(library_name, &error);
  TorrixFunctions functions;
  if (library != nullptr) {
    std::string missing;
    functions.init = Find<TorrixInitFunction>(library, "Torrix_Init", &missing);
    functions.quit = Find<TorrixQuitFunction>(library, "Torrix_Quit", &missing);
    functions.set_setting = Find<TorrixSetSettingFunction>(library, "Torrix_SetSetting", &missing);
    functions.create_task =
        Find<TorrixCreateTaskFunction>(library, "Torrix_CreateP2SPTask", &missing);
    functions.start_task = Find<TorrixHandleFunction>(library, "Torrix_StartTask", &missing);
    functions.stop_task = Find<TorrixHandleFunction>(library, "Torrix_StopTask", &missing);
    functions.delete_task = Find<TorrixHandleFunction>(library, "Torrix_DeleteTask", &missing);
    functions.delete_task_and_file =
        Find<TorrixHandleFunction>(library, "Torrix_DeleteTaskAndFile", &missing);
    functions.get_task_info_batch =
        Find<TorrixGetTaskInfoBatchFunction>(library, "Torrix_GetTaskInfoBatch", &missing);
    if (!missing.empty()) error = library_name + " lacks " + missing;
  }
  {
    Binding& binding = TheBinding();
    std::lock_guard<std::mutex> hold(binding.load_error_mutex);
    binding.load_error = error;
  }
  InstallTorrixFunctions(functions);
  if (functions.init != nullptr) static_cast<void>(functions.init(kInitLibraryName, kInitVersion));
  if (functions.set_setting != nullptr) {
    static_cast<void>(functions.set_setting(kTorrixSettingSixteen, 0));
  }
  return library != nullptr;
}

void LoadTorrixEngineAtStartup() {
  const std::string module =
      tobric::platform::ModulePathOf(reinterpret_cast<const void*>(&LoadTorrixEngineAtStartup));
  if (module.empty() || module != tobric::platform::ProgramPath()) return;
  static_cast<void>(LoadTorrixEngine(kTorrixLibraryName));
}

void QuitTorrixEngine() {
  Binding& binding = TheBinding();
  if (binding.quit_started.exchange(true)) return;
  ConfigManager::SetEngineSettingFunction(nullptr);
  const uint64_t start = tobric::platform::MonotonicMs();
  while (binding.calls_running.load() > 0 &&
         tobric::platform::MonotonicMs() - start < kQuitWaitMs) {
    tobric::platform::SleepMs(1);
  }
  const TorrixQuitFunction quit = binding.quit.load();
  if (quit != nullptr) static_cast<void>(quit());
}

void InstallTorrixFunctions(const TorrixFunctions& functions) {
  Binding& binding = TheBinding();
  binding.init = functions.init;
  binding.quit = functions.quit;
  binding.set_setting = functions.set_setting;
  binding.create_task = functions.create_task;
  binding.start_task = functions.start_task;
  binding.stop_task = functions.stop_task;
  binding.delete_task = functions.delete_task;
  binding.delete_task_and_file = functions.delete_task_and_file;
  binding.get_task_info_batch = functions.get_task_info_batch;
  binding.quit_started = false;
  binding.missing_logged = false;
  ConfigManager::SetEngineSettingFunction(functions.set_setting != nullptr ? &SetTorrixSetting
                                                                           : nullptr);
}

bool FillCreateParams(const std::string& uri, const std::string& folder, const std::string& name,
                      TorrixCreateParams* params, const char** refused) {
  const std::u16string wide_uri = tobric::Utf8ToUtf16(uri);
  const std::u16string wide_folder = tobric::Utf8ToUtf16(folder);
  const std::u16string wide_name = tobric::Utf8ToUtf16(name);
  const char* too_long = nullptr;
  if (!Fits(wide_uri, kTorrixUriCapacity)) {
    too_long = "uri";
  } else if (!Fits(wide_folder, kTorrixNameCapacity)) {
    too_long = "folder";
  } else if (!Fits(wide_name, kTorrixNameCapacity)) {
    too_long = "file_name";
  }
  if (too_long != nullptr) {
    if (refused != nullptr) *refused = too_long;
    return false;
  }
  std::copy(wide_uri.begin(), wide_uri.end(), params->uri);
  std::copy(wide_folder.begin(), wide_folder.end(), params->folder);
  std::copy(wide_name.begin(), wide_name.end(), params->file_name);
  return true;
}

int32_t CreateTavpTask(uint32_t* handle, const std::string& uri, const std::string& folder,
                       const std::string& name) {
  if (TheBinding().create_task.load() == nullptr) return Missing("Torrix_CreateP2SPTask");
  if (!HasTavpPrefix(uri)) return kTorrixBusy;
  // About 10 KB: on the heap, since pool threads have small stacks.
  auto params = std::make_unique<TorrixCreateParams>();
  std::memset(params.get(), 0, sizeof(TorrixCreateParams));
  const char* refused = nullptr;
  if (!FillCreateParams(uri, folder, name, params.get(), &refused)) {
    TLOG(LC_USER, tobric::kLevelError,
         "[CreateTavpTask][%s is longer than the engine takes][uri:%s][file_path:%s][file_name:%s]",
         refused, uri.c_str(), folder.c_str(), name.c_str());
    return kTorrixCreateFailed;
  }
  return CallEngine(&Binding::create_task, "Torrix_CreateP2SPTask", handle,
                    static_cast<const TorrixCreateParams*>(params.get()));
}

int32_t StartTavpTask(uint32_t handle) {
  return CallEngine(&Binding::start_task, "Torrix_StartTask", handle);
}

int32_t StopTavpTask(uint32_t handle) {
  return CallEngine(&Binding::stop_task, "Torrix_StopTask", handle);
}

int32_t DeleteTavpTask(uint32_t handle) {
  return CallEngine(&Binding::delete_task, "Torrix_DeleteTask", handle);
}

int32_t GetTaskInfo_Batch(const uint32_t* handles, uint32_t count, TorrixTaskInfo* infos) {
  return CallEngine(&Binding::get_task_info_batch, "Torrix_GetTaskInfoBatch", handles, count,
                    infos);
}

int32_t SetTorrixSetting(int32_t setting, int32_t value) {
  return CallEngine(&Binding::set_setting, "Torrix_SetSetting", setting, value);
}

}  // namespace lorvane
