// The handler-driven reader of the stored XML documents: one handler class per
// element name, a table from names to handler makers per document, and TravelDOM,
// which walks a parsed document and lets each element's handler fill the record.
//
// Handlers are stateless: TravelDOM makes one for an element and destroys it once
// the element's children are walked. The tables are immutable. Everything here is
// safe to use from several threads at once on different records.
#ifndef STORAGE_ELEMENT_HANDLERS_H_
#define STORAGE_ELEMENT_HANDLERS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "storage/xml_documents.h"

class TiXmlElement;

namespace lorvane {

// Base of the handlers that fill a Record (Configuration or Resource).
template <typename Record>
class ElementHandler {
 public:
  virtual ~ElementHandler() = default;
  // 0 or more: Handle is called for the element; negative: it is skipped.
  virtual int Accept(const TiXmlElement& element) {
    static_cast<void>(element);
    return 0;
  }
  // Its result is not looked at: a handler never stops the walk.
  virtual int Handle(const TiXmlElement& element, Record* record) {
    static_cast<void>(element);
    static_cast<void>(record);
    return 0;
  }
};

template <typename Record>
using ElementHandlerFactory = std::unique_ptr<ElementHandler<Record>> (*)();

// Element name (exact, case-sensitive) -> maker of its handler.
template <typename Record>
using HandlerTable = std::map<std::string, ElementHandlerFactory<Record>, std::less<>>;

// "configuration": version from the "version" attribute (empty when absent).
class ConfigurationElementHandler : public ElementHandler<Configuration> {
 public:
  int Handle(const TiXmlElement& element, Configuration* record) override;
};

// "general": the four numbers and the download folder.
class GeneralElementHandler : public ElementHandler<Configuration> {
 public:
  int Handle(const TiXmlElement& element, Configuration* record) override;
};

// "resource": version from the "version" attribute (empty when absent).
class ResourceElementHandler : public ElementHandler<Resource> {
 public:
  int Handle(const TiXmlElement& element, Resource* record) override;
};

// "file": appends a new ResourceFile filled from the attributes.
class FileElementHandler : public ElementHandler<Resource> {
 public:
  int Handle(const TiXmlElement& element, Resource* record) override;
};

// Base of the five handlers that put an element's text into one string field of
// the last ResourceFile. An element that comes before any "file" has no record
// to go into; it is logged and ignored.
class TextElementHandler : public ElementHandler<Resource> {
 public:
  int Handle(const TiXmlElement& element, Resource* record) override;

 protected:
  // The field of file that this handler fills.
  virtual std::string* Field(ResourceFile* file) = 0;
  // The class name for log lines.
  virtual const char* ClassName() const = 0;
};

class NameElementHandler : public TextElementHandler {
 protected:
  std::string* Field(ResourceFile* file) override { return &file->name; }
  const char* ClassName() const override { return "NameElementHandler"; }
};

class PathElementHandler : public TextElementHandler {
 protected:
  std::string* Field(ResourceFile* file) override { return &file->path; }
  const char* ClassName() const override { return "PathElementHandler"; }
};

class UriElementHandler : public TextElementHandler {
 protected:
  std::string* Field(ResourceFile* file) override { return &file->uri; }
  const char* ClassName() const override { return "UriElementHandler"; }
};

class DisplayNameElementHandler : public TextElementHandler {
 protected:
  std::string* Field(ResourceFile* file) override { return &file->caption; }
  const char* ClassName() const override { return "DisplayNameElementHandler"; }
};

class MetaFileElementHandler : public TextElementHandler {
 protected:
  std::string* Field(ResourceFile* file) override { return &file->metafile; }
  const char* ClassName() const override { return "MetaFileElementHandler"; }
};

// {"configuration", "general"}.
[[nodiscard]] const HandlerTable<Configuration>& ConfigurationHandlers();
// {"resource", "file", "name", "uri", "path", "caption", "metafile"}.
[[nodiscard]] const HandlerTable<Resource>& ResourceHandlers();

// Walks element, its following siblings and, depth first in document order, all
// their descendant elements. Each element found in the table gets a fresh handler
// whose Handle runs when its Accept is not negative; an element missing from the
// table is logged "[TravelDOM: don't know how to handle element %s]". Children
// are visited either way. Recursive: callers bound the depth of the document.
template <typename Record>
void TravelDOM(const TiXmlElement* element, Record* record, const HandlerTable<Record>& table);

extern template void TravelDOM<Configuration>(const TiXmlElement*, Configuration*,
                                              const HandlerTable<Configuration>&);
extern template void TravelDOM<Resource>(const TiXmlElement*, Resource*,
                                         const HandlerTable<Resource>&);

// Numbers as the handlers read them.
//
// strtoull's rules: leading white space, an optional sign, then decimal digits up
// to the first other character; no digit gives 0; a value beyond 64 bits gives
// 2^64-1; a minus sign negates modulo 2^64 ("-5" is 2^64-5).
[[nodiscard]] uint64_t ParseUnsigned64(std::string_view text);
// Leading white space, an optional sign, then decimal digits up to the first
// other character, saturating at the limits of int64_t. False when no digit follows.
[[nodiscard]] bool ParseSigned64(std::string_view text, int64_t* value);

}  // namespace lorvane

#endif  // STORAGE_ELEMENT_HANDLERS_H_
