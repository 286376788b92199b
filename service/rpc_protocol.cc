#include "service/rpc_protocol.h"

#include <algorithm>
#include <cstring>

#include "base/utf.h"

namespace lorvane::rpc {

namespace {

// Byte offsets and capacities (in UTF-16 units) of the record's strings, in
// the order of RecordString.
struct StringField {
  size_t offset;
  size_t units;
  std::u16string PackageInfo::*member;
};
constexpr StringField kStringFields[kRecordStrings] = {
    {kErrorTextOffset, 260, &PackageInfo::error_text},
    {564, 65, &PackageInfo::id},
    {694, 260, &PackageInfo::path},
    {1214, 260, &PackageInfo::name},
    {1734, 260, &PackageInfo::caption},
    {2254, 1040, &PackageInfo::uri},
};
static_assert(kErrorTextBytes == 2 * 260);

const StringField& FieldOf(RecordString field) { return kStringFields[static_cast<size_t>(field)]; }

void PutLe(uint8_t* at, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* at, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

void Writer::U16(uint16_t value) {
  uint8_t b[2];
  PutLe(b, value, 2);
  Raw(b, 2);
}

void Writer::U32(uint32_t value) {
  uint8_t b[4];
  PutLe(b, value, 4);
  Raw(b, 4);
}

void Writer::U64(uint64_t value) {
  uint8_t b[8];
  PutLe(b, value, 8);
  Raw(b, 8);
}

void Writer::String(std::u16string_view value) {
  U32(static_cast<uint32_t>(value.size()));
  for (char16_t unit : value) U16(unit);
}

void Writer::Raw(const void* data, size_t size) {
  bytes_.append(static_cast<const char*>(data), size);
}

void Writer::Record(const PackageInfo& info) {
  RecordEncoder record(&bytes_);
  record.SetNumbers(info);
  for (size_t i = 0; i < kRecordStrings; ++i) {
    record.SetString(static_cast<RecordString>(i), info.*kStringFields[i].member);
  }
}

RecordEncoder::RecordEncoder(std::string* bytes) : bytes_(bytes), offset_(bytes->size()) {
  bytes_->append(kPackageInfoSize, '\0');
}

void RecordEncoder::SetNumbers(const RecordNumbers& numbers) {
  uint8_t* const at = image();
  PutLe(at + 0, static_cast<uint32_t>(numbers.state), 4);
  PutLe(at + 4, static_cast<uint32_t>(numbers.download_speed), 4);
  PutLe(at + 8, numbers.create_time, 8);
  PutLe(at + 16, numbers.complete_time, 8);
  PutLe(at + 24, numbers.total_size, 8);
  PutLe(at + 32, numbers.download_size, 8);
  PutLe(at + 40, static_cast<uint32_t>(numbers.error_code), 4);
}

void RecordEncoder::SetString(RecordString field, std::u16string_view units) {
  const StringField& place = FieldOf(field);
  uint8_t* const at = image() + place.offset;
  const size_t count = std::min(units.size(), place.units - 1);
  for (size_t i = 0; i < count; ++i) PutLe(at + 2 * i, units[i], 2);
}

void RecordEncoder::SetUtf8String(RecordString field, std::string_view text) {
  // Ids, folders and most URIs are ASCII: one unit per byte, no conversion. Only
  // the units that fit count, so a long text needs an ASCII prefix only.
  const StringField& place = FieldOf(field);
  const size_t fit = std::min(text.size(), place.units - 1);
  const std::string_view prefix = text.substr(0, fit);
  if (std::all_of(prefix.begin(), prefix.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    uint8_t* const at = image() + place.offset;
    for (size_t i = 0; i < fit; ++i) at[2 * i] = static_cast<uint8_t>(prefix[i]);
    return;
  }
  SetString(field, tobric::Utf8ToUtf16(text));
}

bool RecordView::Parse(const uint8_t* image) {
  for (size_t f = 0; f < kRecordStrings; ++f) {
    const uint8_t* const at = image + kStringFields[f].offset;
    size_t i = 0;
    while (i < kStringFields[f].units && (at[2 * i] | at[2 * i + 1]) != 0) ++i;
    if (i == kStringFields[f].units) return false;
    units_[f] = i;
  }
  image_ = image;
  return true;
}

RecordNumbers RecordView::numbers() const {
  RecordNumbers numbers;
  numbers.state = static_cast<int32_t>(GetLe(image_ + 0, 4));
  numbers.download_speed = static_cast<int32_t>(GetLe(image_ + 4, 4));
  numbers.create_time = GetLe(image_ + 8, 8);
  numbers.complete_time = GetLe(image_ + 16, 8);
  numbers.total_size = GetLe(image_ + 24, 8);
  numbers.download_size = GetLe(image_ + 32, 8);
  numbers.error_code = static_cast<int32_t>(GetLe(image_ + 40, 4));
  return numbers;
}

const uint8_t* RecordView::At(RecordString field) const { return image_ + FieldOf(field).offset; }

std::u16string RecordView::Units(RecordString field) const {
  const uint8_t* const at = At(field);
  std::u16string text(units(field), u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(GetLe(at + 2 * i, 2));
  return text;
}

void RecordView::Utf8(RecordString field, std::string* text) const {
  const uint8_t* const at = At(field);
  const size_t count = units(field);
  text->resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (at[2 * i + 1] != 0 || at[2 * i] >= 0x80) {
      *text = tobric::Utf16ToUtf8(Units(field));
      return;
    }
    (*text)[i] = static_cast<char>(at[2 * i]);
  }
}

bool Reader::Take(size_t size, const uint8_t** at) {
  if (!ok_ || size > size_ - offset_) {
    ok_ = false;
    return false;
  }
  *at = data_ + offset_;
  offset_ += size;
  return true;
}

bool Reader::U16(uint16_t* value) {
  const uint8_t* at;
  if (!Take(2, &at)) return false;
  *value = static_cast<uint16_t>(GetLe(at, 2));
  return true;
}

bool Reader::U32(uint32_t* value) {
  const uint8_t* at;
  if (!Take(4, &at)) return false;
  *value = static_cast<uint32_t>(GetLe(at, 4));
  return true;
}

bool Reader::I32(int32_t* value) {
  uint32_t bits;
  if (!U32(&bits)) return false;
  *value = static_cast<int32_t>(bits);
  return true;
}

bool Reader::U64(uint64_t* value) {
  const uint8_t* at;
  if (!Take(8, &at)) return false;
  *value = GetLe(at, 8);
  return true;
}

bool Reader::Bool(bool* value) {
  const uint8_t* at;
  if (!Take(1, &at)) return false;
  if (*at > 1) {
    ok_ = false;
    return false;
  }
  *value = *at == 1;
  return true;
}

bool Reader::String(std::u16string* value, size_t max_units) {
  uint32_t count;
  if (!U32(&count)) return false;
  const uint8_t* at;
  if (count > max_units || !Take(static_cast<size_t>(count) * 2, &at)) {
    ok_ = false;
    return false;
  }
  value->resize(count);
  for (size_t i = 0; i < count; ++i) (*value)[i] = static_cast<char16_t>(GetLe(at + 2 * i, 2));
  return true;
}

bool Reader::Record(RecordView* view) {
  const uint8_t* image;
  if (!Take(kPackageInfoSize, &image)) return false;
  if (!view->Parse(image)) {
    ok_ = false;
    return false;
  }
  return true;
}

bool Reader::Record(PackageInfo* info) {
  RecordView view;
  if (!Record(&view)) return false;
  static_cast<RecordNumbers&>(*info) = view.numbers();
  for (size_t i = 0; i < kRecordStrings; ++i) {
    info->*kStringFields[i].member = view.Units(static_cast<RecordString>(i));
  }
  return true;
}

bool Reader::Raw(void* data, size_t size) {
  const uint8_t* at;
  if (!Take(size, &at)) return false;
  std::memcpy(data, at, size);
  return true;
}

std::string Frame(const std::string& body) {
  Writer writer;
  writer.U32(static_cast<uint32_t>(body.size()));
  writer.Raw(body.data(), body.size());
  return std::move(writer.bytes());
}

Writer RequestHeader(uint16_t procedure) {
  Writer writer;
  writer.U16(procedure);
  writer.U16(0);
  return writer;
}

std::string BindRequestBody() {
  Writer writer = RequestHeader(kBindProcedure);
  writer.Raw(kInterfaceUuid.data(), kInterfaceUuid.size());
  writer.U16(kInterfaceMajor);
  writer.U16(kInterfaceMinor);
  return std::move(writer.bytes());
}

}  // namespace lorvane::rpc
