#include "base/logging/trace_log_writer.h"

#include <utility>

#include "base/platform/error.h"
#include "base/platform/stack_trace.h"

namespace tobric {

namespace {

void AppendLe32(std::string* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void AppendLe64(std::string* out, uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void AppendString(std::string* out, std::string_view text) {
  AppendLe32(out, static_cast<uint32_t>(text.size()));
  out->append(text);
}

}  // namespace

TraceProvider::~TraceProvider() { Unregister(); }

HRESULT TraceProvider::Register(const std::string& provider_guid,
                                std::function<void()> on_control) {
  provider_guid_ = provider_guid;
  on_control_ = std::move(on_control);
  if (provider_guid.empty()) return S_OK;
  const HRESULT hr = platform::TraceSocketListener::Start(
      provider_guid,
      [this](platform::TraceControl control, uint64_t session,
             const platform::TraceEnableRequest& request) { OnControl(control, session, request); },
      &registration_);
  // Another process of the user already provides under this GUID; sessions
  // attach to the first one, as they would attach to one of several providers.
  if (hr == platform::HresultFromWin32(platform::kErrorAlreadyExists)) return S_FALSE;
  return hr;
}

void TraceProvider::Unregister() {
  registration_.reset();
  session_ = 0;
  enable_flags_ = 0;
  enable_level_ = 0;
}

void TraceProvider::OnControl(platform::TraceControl control, uint64_t session,
                              const platform::TraceEnableRequest& request) {
  if (control == platform::TraceControl::kEnable) {
    enable_flags_.store(request.flags, std::memory_order_relaxed);
    enable_level_.store(request.level, std::memory_order_relaxed);
    session_ = session;
    OnEventsEnabled();
  } else {
    session_ = 0;
    enable_flags_.store(0, std::memory_order_relaxed);
    enable_level_.store(0, std::memory_order_relaxed);
    OnEventsDisabled();
  }
  if (on_control_) on_control_();
}

bool TraceProvider::SendRecord(const std::string& record) {
  const uint64_t session = session_.load();
  return session != 0 && registration_ != nullptr &&
         registration_->Send(session, record.data(), record.size());
}

std::unique_ptr<TraceLogWriter> TraceLogWriter::Create(const std::string& provider_guid,
                                                       HRESULT* hr,
                                                       std::function<void()> on_filter_change) {
  std::unique_ptr<TraceLogWriter> writer(new TraceLogWriter());
  *hr = writer->Register(provider_guid, std::move(on_filter_change));
  return writer;
}

uint32_t TraceLogWriter::CategoriesAsked() {
  // Bit (category + 1) of the flags enables a category.
  return enable_flags() >> 1;
}

TraceLogWriter::~TraceLogWriter() { Cleanup(); }

void TraceLogWriter::Cleanup() { Unregister(); }

uint8_t TraceLogWriter::MapLevel(int32_t level) {
  switch (level) {
    case -3:
      return 1;
    case -2:
      return 2;
    case -1:
      return 3;
    case 1:
    case 2:
      return 4;
    case 3:
    case 4:
    case 5:
    case 6:
      return 5;
    default:
      return 0;
  }
}

bool TraceLogWriter::IsCatLevelEnabled(int32_t category, int32_t level) {
  if (category < 0 || category > 30) return false;
  if ((enable_flags() & (1u << (category + 1))) == 0) return false;
  return enable_level() >= MapLevel(level);
}

void TraceLogWriter::OutputMessage(const LogEntry& entry) {
  if (!IsCatLevelEnabled(entry.category, entry.level)) return;
  const bool with_stack = (enable_flags() & kTraceFlagStack) != 0;
  std::string record;
  record.reserve(32 + entry.prefix.size() + entry.text.size() +
                 (with_stack ? 8 * platform::kMaxStackFrames : 0));
  AppendLe32(&record, 0);  // length, filled in below
  if (with_stack) {
    uint64_t addresses[platform::kMaxStackFrames];
    const size_t count = platform::CaptureStackTrace(addresses, platform::kMaxStackFrames);
    AppendLe32(&record, kTraceEventMessageWithStack);
    AppendLe32(&record, static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) AppendLe64(&record, addresses[i]);
  } else {
    AppendLe32(&record, kTraceEventMessage);
  }
  AppendString(&record, entry.prefix);
  AppendString(&record, entry.text);
  const auto length = static_cast<uint32_t>(record.size() - 4);
  for (int i = 0; i < 4; ++i) record[static_cast<size_t>(i)] = static_cast<char>(length >> (8 * i));
  // A record the session cannot take now is dropped, as a full trace buffer drops events.
  static_cast<void>(SendRecord(record));
}

}  // namespace tobric
