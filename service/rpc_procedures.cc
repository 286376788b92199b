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

// Where the record's error_text lies in its 4336-byte image.
constexpr size_t kErrorTextOffset = 44;
constexpr size_t kErrorTextBytes = 520;

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

void RpcProcedures::FillRecord(Package* package, rpc::PackageInfo* record) {
  record->state = package->state_number();
  record->download_speed = package->download_speed();
  record->create_time = package->create_time();
  record->complete_time = package->complete_time();
  record->total_size = package->total_size();
  record->download_size = package->download_size();
  record->error_code = package->error_code();
  if (record->error_code < 0) record->error_text = tobric::GetErrorMessageUtf16(record->error_code);
  record->id = tobric::Utf8ToUtf16(package->id());
  record->path = tobric::Utf8ToUtf16(package->path());
  record->name = tobric::Utf8ToUtf16(package->name());
  record->caption = tobric::Utf8ToUtf16(package->caption());
  record->uri = tobric::Utf8ToUtf16(package->uri());
}

bool RpcProcedures::GetPackageInfo(rpc::PackageInfo* record, const std::string& id) {
  if (record == nullptr) return false;
  Package* package = center()->FindPackage(id);
  if (package == nullptr) return false;
  FillRecord(package, record);
  return true;
}

bool RpcProcedures::GetPackageList(std::vector<rpc::PackageInfo>* records, int32_t* count) {
  if (records == nullptr || count == nullptr) return false;
  std::vector<Package*> packages;
  center()->GetPackages(&packages);
  // The client's array has room for *count records, and never more than the
  // interface's fixed capacity.
  const int32_t room = std::min(*count, rpc::kMaxListRecords);
  records->clear();
  for (Package* package : packages) {
    if (static_cast<int32_t>(records->size()) >= room) break;
    records->emplace_back();
    FillRecord(package, &records->back());
  }
  *count = static_cast<int32_t>(records->size());
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

int32_t RpcProcedures::Dispatch(uint16_t procedure, rpc::Reader* in, rpc::Writer* out) {
  std::string text;
  int32_t number = 0;
  switch (procedure) {
    case rpc::kGetPackageInfo: {
      // The record is [in, out]: for an unknown id it goes back exactly as it came,
      // and a known package's record keeps the caller's error_text bytes when the
      // package has no error, so the dispatcher works on the raw image.
      std::string image(rpc::kPackageInfoSize, '\0');
      if (!in->Raw(image.data(), image.size()) || !ReadInString(in, &text) || !in->AtEnd()) {
        return Malformed();
      }
      rpc::PackageInfo record;
      rpc::Reader image_reader(image);
      if (!image_reader.Record(&record)) record = rpc::PackageInfo();
      const bool found = GetPackageInfo(&record, text);
      if (found) {
        rpc::Writer filled;
        filled.Record(record);
        if (record.error_code >= 0) {
          filled.bytes().replace(kErrorTextOffset, kErrorTextBytes, image, kErrorTextOffset,
                                 kErrorTextBytes);
        }
        image = std::move(filled.bytes());
      }
      out->Raw(image.data(), image.size());
      out->Bool(found);
      return 0;
    }
    case rpc::kGetPackageList: {
      if (!in->I32(&number) || !in->AtEnd()) return Malformed();
      std::vector<rpc::PackageInfo> records;
      const bool done = GetPackageList(&records, &number);
      out->U32(static_cast<uint32_t>(records.size()));
      out->bytes().reserve(out->bytes().size() + records.size() * rpc::kPackageInfoSize + 16);
      for (const rpc::PackageInfo& record : records) out->Record(record);
      out->I32(number);
      out->Bool(done);
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
