#include "service/rpc_procedures.h"

#include <algorithm>
#include <utility>

#include "base/error_message.h"
#include "base/utf.h"
#include "center/offline_center.h"
#include "package/package.h"
#include "service/shutdown.h"
#include "storage/config_manager.h"

namespace lorvane {

namespace {

// Records per piece of a GetPackageList answer (about 70 KB): enough that a
// piece is one large write, few enough that it is still in the cache when the
// socket copies it.
constexpr size_t kRecordsPerPiece = 16;

// Writes packages as records straight into a byte string. Keeps its scratch
// strings and the last error message from record to record, so that a long
// list costs no allocation per record (failed downloads mostly share a code).
class PackageRecordEncoder {
 public:
  // Appends the record of `package`; true when it has an error_text.
  bool Append(Package* package, std::string* bytes) {
    const Package::Status status = package->status();
    rpc::RecordEncoder record(bytes);
    record.SetNumbers({status.state, package->download_speed(), package->create_time(),
                       package->complete_time(), package->total_size(), package->download_size(),
                       status.error_code});
    const bool has_error_text = status.error_code < 0;
    if (has_error_text) {
      record.SetString(rpc::RecordString::kErrorText, ErrorText(status.error_code));
    }
    package->CopyTexts(&texts_);
    record.SetUtf8String(rpc::RecordString::kId, package->id());
    record.SetUtf8String(rpc::RecordString::kPath, texts_.path);
    record.SetUtf8String(rpc::RecordString::kName, texts_.name);
    record.SetUtf8String(rpc::RecordString::kCaption, texts_.caption);
    record.SetUtf8String(rpc::RecordString::kUri, texts_.uri);
    return has_error_text;
  }

 private:
  const std::u16string& ErrorText(HRESULT code) {
    if (!error_text_valid_ || code != error_code_) {
      error_text_ = tobric::GetErrorMessageUtf16(code);
      error_code_ = code;
      error_text_valid_ = true;
    }
    return error_text_;
  }

  Package::Texts texts_;
  bool error_text_valid_ = false;
  HRESULT error_code_ = 0;
  std::u16string error_text_;
};

// The records of a GetPackageList answer and the two values after them, made
// a piece at a time as the server sends them. The packages were chosen under
// the center's lock when the call ran; they are never destroyed, so their
// records may be read later, each showing the package as it is then.
class PackageListTail : public RpcResponseTail {
 public:
  PackageListTail(std::vector<Package*> packages, int32_t count, bool result)
      : packages_(std::move(packages)), count_(count), result_(result) {}

  size_t size() const override { return packages_.size() * rpc::kPackageInfoSize + 4 + 1; }

  bool AppendNext(rpc::Writer* out) override {
    if (done_) return false;
    const size_t end = std::min(packages_.size(), next_ + kRecordsPerPiece);
    out->bytes().reserve(out->bytes().size() + (end - next_) * rpc::kPackageInfoSize + 5);
    for (; next_ < end; ++next_) encoder_.Append(packages_[next_], &out->bytes());
    if (next_ == packages_.size()) {
      out->I32(count_);
      out->Bool(result_);
      done_ = true;
    }
    return true;
  }

 private:
  const std::vector<Package*> packages_;
  const int32_t count_;
  const bool result_;
  PackageRecordEncoder encoder_;
  size_t next_ = 0;
  bool done_ = false;
};

// An [in, string] parameter. A conformant string ends at its terminator, so a
// zero unit inside the counted units ends it too.
bool ReadInString(rpc::Reader* in, std::string* value) {
  std::u16string units;
  if (!in->String(&units)) return false;
  const size_t end = units.find(u'\0');
  if (end != std::u16string::npos) units.resize(end);
  *value = tobric::Utf16ToUtf8(units);
  return true;
}

std::u16string CutToOutBuffer(std::u16string text) {
  if (text.size() > rpc::kOutStringUnits) text.resize(rpc::kOutStringUnits);
  return text;
}

int32_t Malformed() { return rpc::kFaultMalformedRequest; }

}  // namespace

RpcProcedures::RpcProcedures(RpcProceduresOptions options) : options_(std::move(options)) {}

OfflineCenter* RpcProcedures::center() const {
  return options_.center != nullptr ? options_.center : OfflineCenter::GetInstance();
}

ConfigManager* RpcProcedures::config() const {
  return options_.config != nullptr ? options_.config : ConfigManager::GetInstance();
}

bool RpcProcedures::AcceptingCalls() { return !center()->stopped(); }

std::vector<std::string> RpcProcedures::SplitIdList(const std::string& ids) {
  std::vector<std::string> list;
  size_t begin = 0;
  for (;;) {
    const size_t end = ids.find(';', begin);
    if (end == std::string::npos) {
      list.push_back(ids.substr(begin));
      return list;
    }
    list.push_back(ids.substr(begin, end - begin));
    begin = end + 1;
  }
}

bool RpcProcedures::GetPackageInfo(std::string* image, const std::string& id) {
  if (image == nullptr || image->size() != rpc::kPackageInfoSize) return false;
  Package* package = center()->FindPackage(id);
  if (package == nullptr) return false;
  std::string filled;
  filled.reserve(rpc::kPackageInfoSize);
  PackageRecordEncoder encoder;
  if (!encoder.Append(package, &filled)) {
    filled.replace(rpc::kErrorTextOffset, rpc::kErrorTextBytes, *image, rpc::kErrorTextOffset,
                   rpc::kErrorTextBytes);
  }
  *image = std::move(filled);
  return true;
}

bool RpcProcedures::GetPackageList(std::vector<Package*>* packages, int32_t* count) {
  if (packages == nullptr || count == nullptr) return false;
  // The client's array has room for *count records, and never more than the
  // interface's fixed capacity.
  const int32_t room = std::clamp(*count, 0, rpc::kMaxListRecords);
  packages->clear();
  center()->GetPackages(packages, static_cast<size_t>(room));
  *count = static_cast<int32_t>(packages->size());
  return true;
}

void RpcProcedures::GetPackageCount(int32_t* count) {
  *count = static_cast<int32_t>(center()->GetPackageCount());
}

bool RpcProcedures::IsUriExist(const std::string& uri) { return center()->ExistUri(uri); }

bool RpcProcedures::ForEachId(const std::string& ids,
                              HRESULT (OfflineCenter::*operation)(const std::string&)) {
  OfflineCenter* const engine = center();
  bool all_succeeded = true;
  for (const std::string& id : SplitIdList(ids)) {
    if (Failed((engine->*operation)(id))) all_succeeded = false;
  }
  return all_succeeded;
}

bool RpcProcedures::PausePackages(const std::string& ids) {
  return ForEachId(ids, &OfflineCenter::Pause);
}

bool RpcProcedures::StartPackages(const std::string& ids) {
  return ForEachId(ids, &OfflineCenter::Start);
}

bool RpcProcedures::DeletePackages(const std::string& ids) {
  return ForEachId(ids, &OfflineCenter::Delete);
}

HRESULT RpcProcedures::DeletePackagesPermanently(const std::string& ids) {
  OfflineCenter* const engine = center();
  HRESULT result = S_OK;
  for (const std::string& id : SplitIdList(ids)) {
    const HRESULT hr = engine->DeletePerment(id);
    if (Failed(hr)) result = hr;
  }
  return result;
}

HRESULT RpcProcedures::DownloadUri(const std::string& uri) { return center()->Download(uri); }

HRESULT RpcProcedures::SetDownloadFolder(const std::string& folder) {
  return config()->SetDownloadFolder(folder);
}

HRESULT RpcProcedures::GetDownloadFolder(std::u16string* folder) {
  if (folder == nullptr) return E_FAIL;
  *folder = CutToOutBuffer(tobric::Utf8ToUtf16(config()->GetDownloadFolder()));
  return S_OK;
}

void RpcProcedures::GetErrorMessage(int32_t code, std::u16string* message) {
  if (message != nullptr) *message = CutToOutBuffer(tobric::GetErrorMessageUtf16(code));
}

HRESULT RpcProcedures::SetThreadNumPerTask(int32_t value) {
  return config()->SetThreadNumPerTask(value);
}

HRESULT RpcProcedures::SetConcurrentTaskNum(int32_t value) {
  const HRESULT hr = config()->SetConcurrentTaskNum(value);
  // A raised limit starts waiting downloads now, not at the next completion.
  if (Succeeded(hr)) center()->ConcurrencyChanged();
  return hr;
}

HRESULT RpcProcedures::GetThreadNumPerTask(int32_t* value) {
  if (value == nullptr) return E_INVALIDARG;
  *value = config()->GetThreadNumPerTask();
  return S_OK;
}

HRESULT RpcProcedures::GetConcurrentTaskNum(int32_t* value) {
  if (value == nullptr) return E_INVALIDARG;
  *value = config()->GetConcurrentTaskNum();
  return S_OK;
}

HRESULT RpcProcedures::SetUpBandwidth(int32_t value) { return config()->SetUpBandwidth(value); }

HRESULT RpcProcedures::GetUpBandwidth(int32_t* value) {
  *value = config()->GetUpBandwidth();
  return S_OK;
}

HRESULT RpcProcedures::SetDownBandwidth(int32_t value) { return config()->SetDownBandwidth(value); }

HRESULT RpcProcedures::GetDownBandwidth(int32_t* value) {
  *value = config()->GetDownBandwidth();
  return S_OK;
}

void RpcProcedures::ExitService() {
  if (options_.exit_service) {
    options_.exit_service();
  } else {
    tobric::SignalShutdown();
  }
}

int32_t RpcProcedures::Dispatch(uint16_t procedure, rpc::Reader* in, rpc::Writer* out,
                                std::unique_ptr<RpcResponseTail>* tail) {
  std::string text;
  int32_t number = 0;
  switch (procedure) {
    case rpc::kGetPackageInfo: {
      // The record is [in, out]: for an unknown id it goes back exactly as it
      // came, so the procedure works on the raw image.
      std::string image(rpc::kPackageInfoSize, '\0');
      if (!in->Raw(image.data(), image.size()) || !ReadInString(in, &text) || !in->AtEnd()) {
        return Malformed();
      }
      const bool found = GetPackageInfo(&image, text);
      out->Raw(image.data(), image.size());
      out->Bool(found);
      return 0;
    }
    case rpc::kGetPackageList: {
      if (!in->I32(&number) || !in->AtEnd()) return Malformed();
      std::vector<Package*> packages;
      const bool done = GetPackageList(&packages, &number);
      out->U32(static_cast<uint32_t>(packages.size()));
      *tail = std::make_unique<PackageListTail>(std::move(packages), number, done);
      return 0;
    }
    case rpc::kGetPackageCount:
      if (!in->AtEnd()) return Malformed();
      GetPackageCount(&number);
      out->I32(number);
      return 0;
    case rpc::kIsUriExist:
    case rpc::kPausePackages:
    case rpc::kStartPackages:
    case rpc::kDeletePackages: {
      if (!ReadInString(in, &text) || !in->AtEnd()) return Malformed();
      bool result = false;
      if (procedure == rpc::kIsUriExist) result = IsUriExist(text);
      if (procedure == rpc::kPausePackages) result = PausePackages(text);
      if (procedure == rpc::kStartPackages) result = StartPackages(text);
      if (procedure == rpc::kDeletePackages) result = DeletePackages(text);
      out->Bool(result);
      return 0;
    }
    case rpc::kDeletePackagesPermanently:
    case rpc::kDownloadUri:
    case rpc::kSetDownloadFolder: {
      if (!ReadInString(in, &text) || !in->AtEnd()) return Malformed();
      HRESULT hr = E_UNEXPECTED;
      if (procedure == rpc::kDeletePackagesPermanently) hr = DeletePackagesPermanently(text);
      if (procedure == rpc::kDownloadUri) hr = DownloadUri(text);
      if (procedure == rpc::kSetDownloadFolder) hr = SetDownloadFolder(text);
      out->I32(hr);
      return 0;
    }
    case rpc::kGetDownloadFolder: {
      if (!in->AtEnd()) return Malformed();
      std::u16string folder;
      const HRESULT hr = GetDownloadFolder(&folder);
      out->String(folder);
      out->I32(hr);
      return 0;
    }
    case rpc::kGetErrorMessage: {
      if (!in->I32(&number) || !in->AtEnd()) return Malformed();
      std::u16string message;
      GetErrorMessage(number, &message);
      out->String(message);
      return 0;
    }
    case rpc::kSetThreadNumPerTask:
    case rpc::kSetConcurrentTaskNum:
    case rpc::kSetUpBandwidth:
    case rpc::kSetDownBandwidth: {
      if (!in->I32(&number) || !in->AtEnd()) return Malformed();
      HRESULT hr = E_UNEXPECTED;
      if (procedure == rpc::kSetThreadNumPerTask) hr = SetThreadNumPerTask(number);
      if (procedure == rpc::kSetConcurrentTaskNum) hr = SetConcurrentTaskNum(number);
      if (procedure == rpc::kSetUpBandwidth) hr = SetUpBandwidth(number);
      if (procedure == rpc::kSetDownBandwidth) hr = SetDownBandwidth(number);
      out->I32(hr);
      return 0;
    }
    case rpc::kGetThreadNumPerTask:
    case rpc::kGetConcurrentTaskNum:
    case rpc::kGetUpBandwidth:
    case rpc::kGetDownBandwidth: {
      if (!in->AtEnd()) return Malformed();
      HRESULT hr = E_UNEXPECTED;
      if (procedure == rpc::kGetThreadNumPerTask) hr = GetThreadNumPerTask(&number);
      if (procedure == rpc::kGetConcurrentTaskNum) hr = GetConcurrentTaskNum(&number);
      if (procedure == rpc::kGetUpBandwidth) hr = GetUpBandwidth(&number);
      if (procedure == rpc::kGetDownBandwidth) hr = GetDownBandwidth(&number);
      out->I32(number);
      out->I32(hr);
      return 0;
    }
    case rpc::kExitService:
      if (!in->AtEnd()) return Malformed();
      ExitService();
      return 0;
    default:
      return rpc::kFaultProcedureOutOfRange;
  }
}

}  // namespace lorvane
