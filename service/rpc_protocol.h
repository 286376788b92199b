// The local RPC wire format, shared by the server (service/) and the client
// library (client/): framing, the bind, procedure numbers, faults, the encoding
// of values and the 4336-byte PackageInfo record. Clients written elsewhere
// depend on these bytes; docs/formats/rpc-wire.md describes them.
#ifndef SERVICE_RPC_PROTOCOL_H_
#define SERVICE_RPC_PROTOCOL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane {

// The service sets this per-user named event once it serves calls; a client
// that started it waits for it.
inline constexpr char kReadyEventName[] = "{597906d0-0b19-468f-bcb2-34d5df61cbdb}";

}  // namespace lorvane

namespace lorvane::rpc {

// The socket's name in the user's object folder.
inline constexpr char kSocketName[] = "{10E19CD9-ECF7-4524-A80A-E15C75B5095D}";

// Interface c5382c5d-67ed-4a08-9104-e641b5a1454d version 1.0, RFC 4122 byte order.
inline constexpr std::array<uint8_t, 16> kInterfaceUuid = {
    0xc5, 0x38, 0x2c, 0x5d, 0x67, 0xed, 0x4a, 0x08,
    0x91, 0x04, 0xe6, 0x41, 0xb5, 0xa1, 0x45, 0x4d};
inline constexpr uint16_t kInterfaceMajor = 1;
inline constexpr uint16_t kInterfaceMinor = 0;

inline constexpr uint16_t kBindProcedure = 0xFFFF;
// Requests above this are refused; responses may be larger (GetPackageList).
inline constexpr uint32_t kMaxRequestBytes = 1024 * 1024;
// A response is refused by clients above this: 4336 records and a little more.
inline constexpr uint32_t kMaxResponseBytes = 32 * 1024 * 1024;

// Call status of a response; 0 is success, anything else a fault.
inline constexpr int32_t kFaultUnknownInterface = 0x6B5;  // also: no bind first
inline constexpr int32_t kFaultProcedureOutOfRange = 0x6D1;
inline constexpr int32_t kFaultMalformedRequest = 0x6F7;
inline constexpr int32_t kFaultServerTooBusy = 0x6BB;

enum Procedure : uint16_t {
  kGetPackageInfo = 0,
  kGetPackageList = 1,
  kGetPackageCount = 2,
  kIsUriExist = 3,
  kPausePackages = 4,
  kStartPackages = 5,
  kDeletePackages = 6,
  kDeletePackagesPermanently = 7,
  kDownloadUri = 8,
  kSetDownloadFolder = 9,
  kGetDownloadFolder = 10,
  kGetErrorMessage = 11,
  kSetThreadNumPerTask = 12,
  kSetConcurrentTaskNum = 13,
  kGetThreadNumPerTask = 14,
  kGetConcurrentTaskNum = 15,
  kSetUpBandwidth = 16,
  kGetUpBandwidth = 17,
  kSetDownBandwidth = 18,
  kGetDownBandwidth = 19,
  kExitService = 20,
};
inline constexpr uint16_t kProcedureCount = 21;

// [out] string buffers carry at most this many UTF-16 units.
inline constexpr size_t kOutStringUnits = 259;
// GetPackageList answers at most this many records.
inline constexpr int32_t kMaxListRecords = 4336;

// The numbers of a record.
struct RecordNumbers {
  int32_t state = 0;
  int32_t download_speed = 0;
  uint64_t create_time = 0;
  uint64_t complete_time = 0;
  uint64_t total_size = 0;
  uint64_t download_size = 0;
  int32_t error_code = 0;
};

// The package record. Strings are UTF-16 as on the wire; encoding truncates each
// to its capacity less one unit and zero-fills the rest of its array.
struct PackageInfo : RecordNumbers {
  std::u16string error_text;  // 260 units
  std::u16string id;  // 65
  std::u16string path;  // 260
  std::u16string name;  // 260
  std::u16string caption;  // 260
  std::u16string uri;  // 1040
};
inline constexpr size_t kPackageInfoSize = 4336;

// The string arrays of a record, in the order of the image.
enum class RecordString { kErrorText, kId, kPath, kName, kCaption, kUri };
inline constexpr size_t kRecordStrings = 6;
// Where the error_text array lies in the image.
inline constexpr size_t kErrorTextOffset = 44;
inline constexpr size_t kErrorTextBytes = 520;

// Builds one record image in place at the end of a byte string: the answer of
// GetPackageList carries thousands, and going through PackageInfo would cost
// a string allocation per field and a copy per record. Appends the image as
// zero bytes; each setter then fills its fields, each field at most once (what
// a setter leaves is the zero of the start). Writer::Record is this too.
class RecordEncoder {
 public:
  explicit RecordEncoder(std::string* bytes);

  void SetNumbers(const RecordNumbers& numbers);
  // Cut to the array's capacity less one unit.
  void SetString(RecordString field, std::u16string_view units);
  // The same for UTF-8 text, converted as tobric::Utf8ToUtf16 does.
  void SetUtf8String(RecordString field, std::string_view text);

 private:
  uint8_t* image() { return reinterpret_cast<uint8_t*>(bytes_->data()) + offset_; }
  std::string* const bytes_;
  const size_t offset_;
};

// A record image read in place, for readers of many records: each string as
// its units up to the terminator, without a PackageInfo in between.
class RecordView {
 public:
  RecordView() = default;
  // False when a string array holds no terminator.
  [[nodiscard]] bool Parse(const uint8_t* image);

  [[nodiscard]] RecordNumbers numbers() const;
  [[nodiscard]] size_t units(RecordString field) const {
    return units_[static_cast<size_t>(field)];
  }
  [[nodiscard]] std::u16string Units(RecordString field) const;
  // The string as UTF-8 (as tobric::Utf16ToUtf8 converts) into *text, whose
  // buffer is reused.
  void Utf8(RecordString field, std::string* text) const;

 private:
  [[nodiscard]] const uint8_t* At(RecordString field) const;
  const uint8_t* image_ = nullptr;
  size_t units_[kRecordStrings] = {};
};

// Appends values in wire encoding (all little-endian).
class Writer {
 public:
  void U16(uint16_t value);
  void U32(uint32_t value);
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void U64(uint64_t value);
  void Bool(bool value) { bytes_.push_back(value ? 1 : 0); }
  // u32 count of UTF-16 units, then the units.
  void String(std::u16string_view value);
  void Record(const PackageInfo& info);
  void Raw(const void* data, size_t size);

  [[nodiscard]] const std::string& bytes() const { return bytes_; }
  [[nodiscard]] std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// Reads values in wire encoding from a byte range. Every read fails (false) when
// the range is too short and leaves the reader failed: a malformed message is
// seen by checking ok() once at the end.
class Reader {
 public:
  Reader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  explicit Reader(std::string_view bytes) : Reader(bytes.data(), bytes.size()) {}

  bool U16(uint16_t* value);
  bool U32(uint32_t* value);
  bool I32(int32_t* value);
  bool U64(uint64_t* value);
  // Only 0 and 1 are booleans.
  bool Bool(bool* value);
  // Refuses a count above max_units (or beyond the message).
  bool String(std::u16string* value, size_t max_units = SIZE_MAX);
  // Refuses a record whose string arrays hold no terminator.
  bool Record(PackageInfo* info);
  // The same, read in place: *view points into the reader's bytes.
  bool Record(RecordView* view);
  bool Raw(void* data, size_t size);

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] bool AtEnd() const { return ok_ && offset_ == size_; }
  [[nodiscard]] size_t remaining() const { return size_ - offset_; }

 private:
  bool Take(size_t size, const uint8_t** at);
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  bool ok_ = true;
};

// Frames a body: u32 little-endian length, then the body.
[[nodiscard]] std::string Frame(const std::string& body);

// The request of a procedure: u16 number, u16 zero, then the parameters.
[[nodiscard]] Writer RequestHeader(uint16_t procedure);
// The bind request body.
[[nodiscard]] std::string BindRequestBody();

}  // namespace lorvane::rpc

#endif  // SERVICE_RPC_PROTOCOL_H_
