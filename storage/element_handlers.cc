#include "storage/element_handlers.h"

#include <tinyxml.h>

#include <algorithm>
#include <limits>

#include "base/logging/logging.h"
#include "base/utf.h"

namespace lorvane {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The position after leading white space and a sign; *negative tells the sign.
size_t SkipSpaceAndSign(std::string_view text, bool* negative) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  *negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    *negative = text[i] == '-';
    ++i;
  }
  return i;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The rest of the engine counts on valid UTF-8 (it converts to UTF-16 for the
// wire), so a hand-edited file's stray bytes become U+FFFD here, once.
std::string CleanUtf8(const char* text) {
  return tobric::Utf16ToUtf8(tobric::Utf8ToUtf16(text != nullptr ? text : ""));
}

template <typename Handler, typename Record>
std::unique_ptr<ElementHandler<Record>> Make() {
  return std::make_unique<Handler>();
}

// A "general" attribute read as a signed decimal integer; absent: unchanged.
void ReadInt32Attribute(const TiXmlElement& element, const char* name, int32_t* field) {
  const char* value = element.Attribute(name);
  if (value == nullptr) return;
  int64_t number = 0;
  if (!ParseSigned64(value, &number)) number = 0;
  *field = static_cast<int32_t>(std::clamp<int64_t>(number, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

void ReadUint64Attribute(const TiXmlElement& element, const char* name, uint64_t* field) {
  const char* value = element.Attribute(name);
  if (value != nullptr) *field = ParseUnsigned64(value);
}

}  // namespace

uint64_t ParseUnsigned64(std::string_view text) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(text, &negative);
  uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      return std::numeric_limits<uint64_t>::max();
    }
    value = value * 10 + digit;
  }
  return negative ? 0 - value : value;
}

bool ParseSigned64(std::string_view text, int64_t* value) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(text, &negative);
  if (i == text.size() || !IsDigit(text[i])) return false;
  // Accumulated as a negative number: its range reaches one further.
  int64_t number = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const int64_t digit = text[i] - '0';
    if (number < (kMin + digit) / 10) {
      number = kMin;
      break;
    }
    number = number * 10 - digit;
  }
  if (negative) {
    *value = number;
  } else {
    *value = number == kMin ? std::numeric_limits<int64_t>::max() : -number;
  }
  return true;
}

int ConfigurationElementHandler::Handle(const TiXmlElement& element, Configuration* record) {
  record->version = CleanUtf8(element.Attribute("version"));
  return 0;
}

int GeneralElementHandler::Handle(const TiXmlElement& element, Configuration* record) {
  ReadInt32Attribute(element, "concurrent_task_num", &record->concurrent_task_num);
  ReadInt32Attribute(element, "thread_num_per_task", &record->thread_num_per_task);
  ReadInt32Attribute(element, "down_bandwidth", &record->down_bandwidth);
  ReadInt32Attribute(element, "up_bandwidth", &record->up_bandwidth);
  record->download_folder = CleanUtf8(element.Attribute("download_folder"));
  return 0;
}

int ResourceElementHandler::Handle(const TiXmlElement& element, Resource* record) {
  record->version = CleanUtf8(element.Attribute("version"));
  return 0;
}

int FileElementHandler::Handle(const TiXmlElement& element, Resource* record) {
  ResourceFile file;
  ReadUint64Attribute(element, "total_size", &file.total_size);
  ReadUint64Attribute(element, "download_size", &file.download_size);
  ReadUint64Attribute(element, "complete_time", &file.complete_time);
  ReadUint64Attribute(element, "create_time", &file.create_time);
  if (const char* value = element.Attribute("error_code"); value != nullptr) {
    int64_t number = 0;
    // Codes are written signed; the unsigned spelling of the same 32 bits
    // (2688811545 for 0xA0440219) is taken too. Anything else is no code.
    if (ParseSigned64(value, &number) && number >= std::numeric_limits<int32_t>::min() &&
        number <= static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
      file.error_code = static_cast<int32_t>(static_cast<uint32_t>(number));
    }
  }
  record->files.push_back(std::move(file));
  return 0;
}

int TextElementHandler::Handle(const TiXmlElement& element, Resource* record) {
  if (record->files.empty()) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[%s::Handle][element %s before any file element is ignored]", ClassName(),
         element.Value());
    return 0;
  }
  const TiXmlNode* child = element.FirstChild();
  if (child == nullptr || child->ToText() == nullptr) return 0;
  *Field(&record->files.back()) = CleanUtf8(child->Value());
  return 0;
}

const HandlerTable<Configuration>& ConfigurationHandlers() {
  static const HandlerTable<Configuration> table = {
      {"configuration", &Make<ConfigurationElementHandler, Configuration>},
      {"general", &Make<GeneralElementHandler, Configuration>},
  };
  return table;
}

const HandlerTable<Resource>& ResourceHandlers() {
  static const HandlerTable<Resource> table = {
      {"resource", &Make<ResourceElementHandler, Resource>},
      {"file", &Make<FileElementHandler, Resource>},
      {"name", &Make<NameElementHandler, Resource>},
      {"uri", &Make<UriElementHandler, Resource>},
      {"path", &Make<PathElementHandler, Resource>},
      {"caption", &Make<DisplayNameElementHandler, Resource>},
      {"metafile", &Make<MetaFileElementHandler, Resource>},
  };
  return table;
}

template <typename Record>
void TravelDOM(const TiXmlElement* element, Record* record, const HandlerTable<Record>& table) {
  for (; element != nullptr; element = element->NextSiblingElement()) {
    std::unique_ptr<ElementHandler<Record>> handler;
    const auto found = table.find(std::string_view(element->Value()));
    if (found != table.end()) {
      handler = found->second();
      if (handler->Accept(*element) >= 0) static_cast<void>(handler->Handle(*element, record));
    } else {
      TLOG(tobric::LC_USER, tobric::kLevelWarning,
           "[TravelDOM: don't know how to handle element %s]", element->Value());
    }
    TravelDOM(element->FirstChildElement(), record, table);
  }
}

template void TravelDOM<Configuration>(const TiXmlElement*, Configuration*,
                                       const HandlerTable<Configuration>&);
template void TravelDOM<Resource>(const TiXmlElement*, Resource*, const HandlerTable<Resource>&);

}  // namespace lorvane
