// The trace writer: sends log messages to a trace session attached through the
// per-user trace socket (base/platform/trace_socket.h; the record layout is in
// docs/formats/trace-socket.md).
#ifndef BASE_LOGGING_TRACE_LOG_WRITER_H_
#define BASE_LOGGING_TRACE_LOG_WRITER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/logging/log_writer.h"
#include "base/platform/trace_socket.h"
#include "base/result_codes.h"

namespace tobric {

// The provider GUID the trace socket is named after.
inline constexpr char kTraceProviderGuid[] = "{9B18BFF9-915E-4CC1-9C3E-F4AC112CB36C}";
// The event class of the records, for sessions that tell providers apart by it.
inline constexpr char kTraceEventClassGuid[] = "{7FE69228-633E-4F06-80C1-527FEA23E3A7}";

// Record types.
inline constexpr uint32_t kTraceEventMessage = 10;  // prefix, text
inline constexpr uint32_t kTraceEventMessageWithStack = 11;  // return addresses, prefix, text

// Enable-flag bit 0 asks for the call stack with each message; bit (category + 1)
// enables a category.
inline constexpr uint32_t kTraceFlagStack = 1;

// A trace provider: registers under its GUID and follows the session's enable and
// disable requests. The session fields are written by the listener's thread (the
// control callback) and read by any thread, hence atomics; the listener is
// stopped before the fields go.
class TraceProvider {
 public:
  virtual ~TraceProvider();
  TraceProvider(const TraceProvider&) = delete;
  TraceProvider& operator=(const TraceProvider&) = delete;

  [[nodiscard]] bool session_attached() const { return session_.load() != 0; }
  [[nodiscard]] uint32_t enable_flags() const {
    return enable_flags_.load(std::memory_order_relaxed);
  }
  [[nodiscard]] uint8_t enable_level() const {
    return enable_level_.load(std::memory_order_relaxed);
  }

 protected:
  TraceProvider() = default;

  // Starts listening as provider_guid. An empty GUID registers nothing (the
  // provider then never gets a session); a GUID whose socket another live
  // process holds also leaves the provider without sessions and answers S_FALSE.
  // on_control (may be empty) runs on the listener's thread after each enable
  // or disable request has changed the session fields.
  [[nodiscard]] HRESULT Register(const std::string& provider_guid,
                                 std::function<void()> on_control = {});
  // Stops listening; the session fields are cleared. Safe to call twice.
  void Unregister();

  virtual void OnEventsEnabled() {}
  virtual void OnEventsDisabled() {}

  // Sends one record to the attached session; false when it was dropped.
  bool SendRecord(const std::string& record);

 private:
  void OnControl(platform::TraceControl control, uint64_t session,
                 const platform::TraceEnableRequest& request);

  std::string provider_guid_;
  // Set before the listener starts; only its thread calls it.
  std::function<void()> on_control_;
  std::unique_ptr<platform::TraceSocketListener> registration_;
  std::atomic<uint64_t> session_{0};
  std::atomic<uint32_t> enable_flags_{0};
  std::atomic<uint8_t> enable_level_{0};
};

// Owned by the logger, which makes it first whenever logging is enabled.
// OutputMessage runs under the logger's lock; the filters on any thread.
class TraceLogWriter : public LogWriter, public TraceProvider {
 public:
  // Registers under provider_guid (see TraceProvider::Register); *hr tells how
  // that went. The writer is made either way: one that could not register simply
  // never has a session, as when another process provides. on_filter_change
  // (may be empty) runs on the listener's thread after each enable or disable
  // request has changed what IsCatLevelEnabled and CategoriesAsked answer.
  static std::unique_ptr<TraceLogWriter> Create(const std::string& provider_guid, HRESULT* hr,
                                                std::function<void()> on_filter_change = {});
  ~TraceLogWriter() override;

  void Cleanup() override;
  // A session wants what it enabled even while the EnableLogging setting is off.
  bool WantsAllMessages() override { return session_attached(); }
  // The categories the session enabled; none without a session.
  uint32_t CategoriesAsked() override;
  bool IsCatLevelEnabled(int32_t category, int32_t level) override;
  void OutputMessage(const LogEntry& entry) override;

  // The session level a message level needs: -3 → 1, -2 → 2, -1 → 3, 1 and 2 → 4,
  // 3 to 6 → 5; any other level needs none (0).
  [[nodiscard]] static uint8_t MapLevel(int32_t level);

 protected:
  // Subclasses register themselves (TraceProvider::Register) and must unregister
  // in their own destructor, before their overrides go.
  TraceLogWriter() = default;
};

}  // namespace tobric

#endif  // BASE_LOGGING_TRACE_LOG_WRITER_H_
