#include "client/client.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "base/utf.h"

namespace lorvane {

namespace {

using Clock = std::chrono::steady_clock;
using tobric::platform::HresultFromWin32;

HRESULT NotConnected() { return HresultFromWin32(kRpcServerUnavailable); }
HRESULT ProtocolError() { return HresultFromWin32(kRpcProtocolError); }

// What is left of a time limit, at least 1 ms so that a spent limit still gives
// the stream one last look rather than meaning "no limit".
uint32_t Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<uint32_t>(std::max<int64_t>(1, left.count()));
}

uint32_t LittleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool JoinIds(const std::vector<std::string>& ids, std::string* joined) {
  joined->clear();
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i].find(';') != std::string::npos) return false;
    if (i > 0) joined->push_back(';');
    joined->append(ids[i]);
  }
  return true;
}

// How long a "too busy" answer waits to see whether the service closes the
// connection after it (it does so at once when it is stopping).
constexpr uint32_t kStoppingProbeMs = 250;

// One pass from the record as it lies in the answer to the view, reusing the
// view's strings.
void ReadPackageView(const rpc::RecordView& record, PackageView* view) {
  const rpc::RecordNumbers numbers = record.numbers();
  view->state = numbers.state;
  view->download_speed = numbers.download_speed;
  view->create_time = numbers.create_time;
  view->complete_time = numbers.complete_time;
  view->total_size = numbers.total_size;
  view->download_size = numbers.download_size;
  view->error_code = numbers.error_code;
  record.Utf8(rpc::RecordString::kErrorText, &view->error_text);
  record.Utf8(rpc::RecordString::kId, &view->id);
  record.Utf8(rpc::RecordString::kPath, &view->path);
  record.Utf8(rpc::RecordString::kName, &view->name);
  record.Utf8(rpc::RecordString::kCaption, &view->caption);
  record.Utf8(rpc::RecordString::kUri, &view->uri);
}

}  // namespace

HRESULT FaultHresult(int32_t fault) {
  if (fault < 0) return fault;
  return HresultFromWin32(static_cast<uint32_t>(fault));
}

Client::Client() = default;

Client::Client(std::string socket_path) : socket_path_(std::move(socket_path)) {}

Client::~Client() = default;

HRESULT Client::SocketPath(std::string* path) {
  if (socket_path_.empty()) {
    std::string folder;
    const HRESULT hr = tobric::platform::GetObjectFolder(&folder);
    if (Failed(hr)) return hr;
    socket_path_ = tobric::platform::JoinPath(folder, rpc::kSocketName);
  }
  *path = socket_path_;
  return S_OK;
}

HRESULT Client::Connect() {
  bool reached = false;
  return Open(&reached);
}

HRESULT Client::Open(bool* reached) {
  *reached = false;
  if (stream_ != nullptr) {
    *reached = true;
    return S_OK;
  }
  std::string path;
  HRESULT hr = SocketPath(&path);
  if (Failed(hr)) return hr;
  hr = tobric::platform::UnixStream::Connect(path, limits_.connect_ms, &stream_);
  if (Failed(hr)) {
    stream_.reset();
    return hr;
  }
  *reached = true;
  rpc::Writer bind;
  const std::string bind_body = rpc::BindRequestBody();
  bind.Raw(bind_body.data(), bind_body.size());
  std::string_view answer;
  hr = Call(bind, limits_.call_ms, &answer);
  if (Succeeded(hr) && !answer.empty()) hr = ProtocolError();
  // Without a bind no call would be taken; a half-open client is no use.
  if (Failed(hr)) Disconnect();
  return hr;
}

void Client::Disconnect() { stream_.reset(); }

HRESULT Client::Call(const rpc::Writer& request, uint32_t time_limit_ms, std::string_view* answer) {
  if (stream_ == nullptr) return NotConnected();
  // The service refuses larger requests and closes the connection; refusing
  // here keeps the connection and says why.
  if (request.bytes().size() > rpc::kMaxRequestBytes) return E_INVALIDARG;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(time_limit_ms);
  const std::string frame = rpc::Frame(request.bytes());
  HRESULT hr = stream_->WriteAll(frame.data(), frame.size(), time_limit_ms);
  uint8_t length_bytes[4];
  if (Succeeded(hr))
    hr = stream_->ReadExact(length_bytes, sizeof(length_bytes), Remaining(deadline));
  if (Failed(hr)) {
    Disconnect();
    return hr;
  }
  const uint32_t length = LittleEndian32(length_bytes);
  if (length < 4 || length > rpc::kMaxResponseBytes) {
    Disconnect();
    return ProtocolError();
  }
  received_.resize(length);
  hr = stream_->ReadExact(received_.data(), received_.size(), Remaining(deadline));
  if (Failed(hr)) {
    Disconnect();
    return hr;
  }
  rpc::Reader reader(received_);
  int32_t status = 0;
  if (!reader.I32(&status)) {
    Disconnect();
    return ProtocolError();
  }
  if (status != 0) {
    // After these two the service has closed the connection (or never took
    // it up): calls on it can only fail.
    if (status == rpc::kFaultMalformedRequest || status == rpc::kFaultUnknownInterface) {
      Disconnect();
    }
    // A stopping service answers "too busy" and closes the connection; a busy
    // one keeps it for the next try. The service sends nothing unasked, so a
    // connection that becomes readable at once has been closed.
    if (status == rpc::kFaultServerTooBusy &&
        Succeeded(stream_->WaitForData(std::min<uint32_t>(kStoppingProbeMs, time_limit_ms)))) {
      Disconnect();
      return HresultFromWin32(kServiceStopping);
    }
    return FaultHresult(status);
  }
  *answer = std::string_view(received_).substr(4);
  return S_OK;
}

template <typename Parse>
HRESULT Client::CallAndParse(const rpc::Writer& request, uint32_t time_limit_ms, Parse parse) {
  std::string_view answer;
  const HRESULT hr = Call(request, time_limit_ms, &answer);
  if (Failed(hr)) return hr;
  rpc::Reader reader(answer);
  parse(reader);
  if (!reader.AtEnd()) {
    Disconnect();
    return ProtocolError();
  }
  return S_OK;
}

HRESULT Client::GetPackageInfo(const std::string& id, PackageView* info, bool* found) {
  rpc::Writer request = rpc::RequestHeader(rpc::kGetPackageInfo);
  request.Record(rpc::PackageInfo());
  request.String(tobric::Utf8ToUtf16(id));
  rpc::RecordView record;
  bool result = false;
  const HRESULT hr = CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) {
    reader.Record(&record);
    reader.Bool(&result);
  });
  if (Failed(hr)) return hr;
  *found = result;
  if (result) ReadPackageView(record, info);
  return S_OK;
}

HRESULT Client::GetPackageList(std::vector<PackageView>* packages, bool* ok, int32_t max_records) {
  max_records = std::clamp(max_records, 0, rpc::kMaxListRecords);
  rpc::Writer request = rpc::RequestHeader(rpc::kGetPackageList);
  request.I32(max_records);
  uint32_t records = 0;
  int32_t count = 0;
  bool result = false;
  bool sane = true;
  // One pass over the answer: each record goes from where it lies straight
  // into its view, whose strings keep their buffers from the last call.
  const HRESULT hr = CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) {
    if (!reader.U32(&records)) return;
    // The count comes from the other side: it must fit the room asked for and
    // the bytes that came, before anything is sized for it.
    if (records > static_cast<uint32_t>(max_records) ||
        records > reader.remaining() / rpc::kPackageInfoSize) {
      sane = false;
      return;
    }
    packages->resize(records);
    rpc::RecordView record;
    for (uint32_t i = 0; i < records; ++i) {
      if (!reader.Record(&record)) return;
      ReadPackageView(record, &(*packages)[i]);
    }
    reader.I32(&count);
    reader.Bool(&result);
  });
  if (Succeeded(hr) && (!sane || count < 0 || static_cast<uint32_t>(count) != records)) {
    Disconnect();
    packages->clear();
    return ProtocolError();
  }
  if (Failed(hr)) {
    packages->clear();
    return hr;
  }
  *ok = result;
  return S_OK;
}

HRESULT Client::GetPackageCount(int32_t* count) {
  int32_t value = 0;
  const HRESULT hr = CallAndParse(rpc::RequestHeader(rpc::kGetPackageCount), limits_.call_ms,
                                  [&](rpc::Reader& reader) { reader.I32(&value); });
  if (Succeeded(hr)) *count = value;
  return hr;
}

HRESULT Client::IsUriExist(const std::string& uri, bool* exists) {
  rpc::Writer request = rpc::RequestHeader(rpc::kIsUriExist);
  request.String(tobric::Utf8ToUtf16(uri));
  bool result = false;
  const HRESULT hr =
      CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) { reader.Bool(&result); });
  if (Succeeded(hr)) *exists = result;
  return hr;
}

HRESULT Client::BatchCall(rpc::Procedure procedure, const std::vector<std::string>& ids,
                          bool* all_ok) {
  std::string joined;
  if (!JoinIds(ids, &joined)) return E_INVALIDARG;
  rpc::Writer request = rpc::RequestHeader(procedure);
  request.String(tobric::Utf8ToUtf16(joined));
  bool result = false;
  const HRESULT hr =
      CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) { reader.Bool(&result); });
  if (Succeeded(hr)) *all_ok = result;
  return hr;
}

HRESULT Client::PausePackages(const std::vector<std::string>& ids, bool* all_ok) {
  return BatchCall(rpc::kPausePackages, ids, all_ok);
}

HRESULT Client::StartPackages(const std::vector<std::string>& ids, bool* all_ok) {
  return BatchCall(rpc::kStartPackages, ids, all_ok);
}

HRESULT Client::DeletePackages(const std::vector<std::string>& ids, bool* all_ok) {
  return BatchCall(rpc::kDeletePackages, ids, all_ok);
}

HRESULT Client::StringCall(rpc::Procedure procedure, const std::string& text,
                           uint32_t time_limit_ms, HRESULT* result) {
  rpc::Writer request = rpc::RequestHeader(procedure);
  request.String(tobric::Utf8ToUtf16(text));
  int32_t value = 0;
  const HRESULT hr =
      CallAndParse(request, time_limit_ms, [&](rpc::Reader& reader) { reader.I32(&value); });
  if (Succeeded(hr)) *result = value;
  return hr;
}

HRESULT Client::DeletePackagesPermanently(const std::vector<std::string>& ids, HRESULT* result) {
  std::string joined;
  if (!JoinIds(ids, &joined)) return E_INVALIDARG;
  return StringCall(rpc::kDeletePackagesPermanently, joined, limits_.call_ms, result);
}

HRESULT Client::DownloadUri(const std::string& uri, HRESULT* result) {
  return StringCall(rpc::kDownloadUri, uri, limits_.download_call_ms, result);
}

HRESULT Client::SetDownloadFolder(const std::string& folder, HRESULT* result) {
  return StringCall(rpc::kSetDownloadFolder, folder, limits_.call_ms, result);
}

HRESULT Client::GetDownloadFolder(std::string* folder, HRESULT* result) {
  std::u16string text;
  int32_t value = 0;
  const HRESULT hr = CallAndParse(rpc::RequestHeader(rpc::kGetDownloadFolder), limits_.call_ms,
                                  [&](rpc::Reader& reader) {
                                    reader.String(&text, rpc::kOutStringUnits);
                                    reader.I32(&value);
                                  });
  if (Failed(hr)) return hr;
  *folder = tobric::Utf16ToUtf8(text);
  *result = value;
  return S_OK;
}

HRESULT Client::GetErrorMessage(HRESULT code, std::string* message) {
  rpc::Writer request = rpc::RequestHeader(rpc::kGetErrorMessage);
  request.I32(code);
  std::u16string text;
  const HRESULT hr = CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) {
    reader.String(&text, rpc::kOutStringUnits);
  });
  if (Succeeded(hr)) *message = tobric::Utf16ToUtf8(text);
  return hr;
}

HRESULT Client::SetValue(rpc::Procedure procedure, int32_t value, HRESULT* result) {
  rpc::Writer request = rpc::RequestHeader(procedure);
  request.I32(value);
  int32_t answer = 0;
  const HRESULT hr =
      CallAndParse(request, limits_.call_ms, [&](rpc::Reader& reader) { reader.I32(&answer); });
  if (Succeeded(hr)) *result = answer;
  return hr;
}

HRESULT Client::GetValue(rpc::Procedure procedure, int32_t* value, HRESULT* result) {
  int32_t got = 0;
  int32_t answer = 0;
  const HRESULT hr =
      CallAndParse(rpc::RequestHeader(procedure), limits_.call_ms, [&](rpc::Reader& reader) {
        reader.I32(&got);
        reader.I32(&answer);
      });
  if (Failed(hr)) return hr;
  *value = got;
  *result = answer;
  return S_OK;
}

HRESULT Client::SetThreadNumPerTask(int32_t value, HRESULT* result) {
  return SetValue(rpc::kSetThreadNumPerTask, value, result);
}

HRESULT Client::SetConcurrentTaskNum(int32_t value, HRESULT* result) {
  return SetValue(rpc::kSetConcurrentTaskNum, value, result);
}

HRESULT Client::GetThreadNumPerTask(int32_t* value, HRESULT* result) {
  return GetValue(rpc::kGetThreadNumPerTask, value, result);
}

HRESULT Client::GetConcurrentTaskNum(int32_t* value, HRESULT* result) {
  return GetValue(rpc::kGetConcurrentTaskNum, value, result);
}

HRESULT Client::SetUpBandwidth(int32_t value, HRESULT* result) {
  return SetValue(rpc::kSetUpBandwidth, value, result);
}

HRESULT Client::GetUpBandwidth(int32_t* value, HRESULT* result) {
  return GetValue(rpc::kGetUpBandwidth, value, result);
}

HRESULT Client::SetDownBandwidth(int32_t value, HRESULT* result) {
  return SetValue(rpc::kSetDownBandwidth, value, result);
}

HRESULT Client::GetDownBandwidth(int32_t* value, HRESULT* result) {
  return GetValue(rpc::kGetDownBandwidth, value, result);
}

HRESULT Client::ExitService() {
  return CallAndParse(rpc::RequestHeader(rpc::kExitService), limits_.call_ms, [](rpc::Reader&) {});
}

}  // namespace lorvane
