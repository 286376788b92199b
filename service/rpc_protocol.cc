#include "service/rpc_protocol.h"

#include <algorithm>
#include <cstring>

namespace lorvane::rpc {

namespace {

// Byte offsets and capacities (in UTF-16 units) of the record's strings.
struct StringField {
  size_t offset;
  size_t units;
  std::u16string PackageInfo::*member;
};
constexpr StringField kStringFields[] = {
    {44, 260, &PackageInfo::error_text},
    {564, 65, &PackageInfo::id},
    {694, 260, &PackageInfo::path},
    {1214, 260, &PackageInfo::name},
    {1734, 260, &PackageInfo::caption},
    {2254, 1040, &PackageInfo::uri},
};

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
  uint8_t image[kPackageInfoSize] = {};
  PutLe(image + 0, static_cast<uint32_t>(info.state), 4);
  PutLe(image + 4, static_cast<uint32_t>(info.download_speed), 4);
  PutLe(image + 8, info.create_time, 8);
  PutLe(image + 16, info.complete_time, 8);
  PutLe(image + 24, info.total_size, 8);
  PutLe(image + 32, info.download_size, 8);
  PutLe(image + 40, static_cast<uint32_t>(info.error_code), 4);
  for (const StringField& field : kStringFields) {
    const std::u16string& text = info.*field.member;
    const size_t units = std::min(text.size(), field.units - 1);
    for (size_t i = 0; i < units; ++i) PutLe(image + field.offset + 2 * i, text[i], 2);
  }
  Raw(image, sizeof(image));
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

bool Reader::Record(PackageInfo* info) {
  const uint8_t* image;
  if (!Take(kPackageInfoSize, &image)) return false;
  PackageInfo out;
  out.state = static_cast<int32_t>(GetLe(image + 0, 4));
  out.download_speed = static_cast<int32_t>(GetLe(image + 4, 4));
  out.create_time = GetLe(image + 8, 8);
  out.complete_time = GetLe(image + 16, 8);
  out.total_size = GetLe(image + 24, 8);
  out.download_size = GetLe(image + 32, 8);
  out.error_code = static_cast<int32_t>(GetLe(image + 40, 4));
  for (const StringField& field : kStringFields) {
    std::u16string text;
    size_t i = 0;
    for (; i < field.units; ++i) {
      const auto unit = static_cast<char16_t>(GetLe(image + field.offset + 2 * i, 2));
      if (unit == 0) break;
      text.push_back(unit);
    }
    if (i == field.units) {
      ok_ = false;
      return false;
    }
    out.*field.member = std::move(text);
  }
  *info = std::move(out);
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
