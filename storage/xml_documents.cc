#include "storage/xml_documents.h"

#include <tinyxml.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/utf.h"
#include "storage/element_handlers.h"

namespace lorvane {

namespace {

// Our documents are three levels deep. The XML library parses, and TravelDOM
// walks, by recursion, so a corrupt file with thousands of nested elements would
// run a pool thread (256 KiB of stack) out of stack instead of failing to load.
constexpr int kMaxElementDepth = 64;
// The library checks each attribute against the element's earlier ones, so one
// element with millions of attributes would take hours to parse.
constexpr int kMaxAttributesPerElement = 256;

// White space inside texts is data (a name may end in spaces). The switch is a
// process-wide setting of the library; nothing in the process wants it on, so
// it is turned off once, before the first parse.
void KeepWhiteSpace() {
  static std::once_flag once;
  std::call_once(once, [] { TiXmlBase::SetCondenseWhiteSpace(false); });
}

// Reading the file ourselves, as the library would: line ends become "\n".
std::string NormalizeLineEnds(std::string_view data) {
  std::string text;
  text.reserve(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r') {
      text += '\n';
      if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
    } else {
      text += data[i];
    }
  }
  return text;
}

// A lexical pass over the markup that bounds element nesting and attribute
// counts before the library sees the text. It skips comments, CDATA sections,
// declarations and quoted attribute values as the library does; on anything it
// does not understand it lets the library decide.
bool WithinStructureLimits(std::string_view text, const char** why) {
  int depth = 0;
  size_t i = 0;
  const auto skip_past = [&](std::string_view end) {
    const size_t found = text.find(end, i);
    i = found == std::string_view::npos ? text.size() : found + end.size();
  };
  while (i < text.size()) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("<!--")) {
      skip_past("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skip_past("]]>");
    } else if (rest.starts_with("<?") || rest.starts_with("<!")) {
      skip_past(">");
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      skip_past(">");
    } else {
      int attributes = 0;
      char quote = '\0';
      char last = '\0';
      for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != '\0') {
          if (c == quote) quote = '\0';
        } else if (c == '"' || c == '\'') {
          quote = c;
          if (++attributes > kMaxAttributesPerElement) {
            *why = "too many attributes in one element";
            return false;
          }
        } else if (c == '>') {
          break;
        } else if (c != ' ' && c != '\t' && c != '\n') {
          last = c;
        }
      }
      ++i;
      if (last != '/' && ++depth > kMaxElementDepth) {
        *why = "elements nested too deeply";
        return false;
      }
    }
  }
  return true;
}

// Reads and parses path into doc; logs and returns E_XML_LOAD_FAILED when it
// cannot.
HRESULT ParseFile(const std::string& path, TiXmlDocument* doc) {
  std::string data;
  const HRESULT read = tobric::platform::ReadFileToString(path, kMaxXmlDocumentSize, &data);
  if (Failed(read)) {
    if (read == tobric::platform::HresultFromWin32(tobric::platform::kErrorOutOfMemory)) {
      TLOG(tobric::LC_USER, tobric::kLevelError,
           "[LoadXmlDocument][%s is larger than %zu bytes and is refused]", path.c_str(),
           kMaxXmlDocumentSize);
    } else {
      TLOG(tobric::LC_USER, tobric::kLevelWarning, "[LoadXmlDocument][cannot read %s 0x%x]",
           path.c_str(), static_cast<unsigned>(read));
    }
    return E_XML_LOAD_FAILED;
  }
  std::string text = NormalizeLineEnds(data);
  const char* why = nullptr;
  if (!WithinStructureLimits(text, &why)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[LoadXmlDocument][%s is refused: %s]", path.c_str(),
         why);
    return E_XML_LOAD_FAILED;
  }
  KeepWhiteSpace();
  // In a UTF-8 document the library steps over a whole character from its
  // first byte without looking for the terminator in between, so a file that
  // ends inside a character has it read up to three bytes past its end (and
  // parse whatever lies there). Three more zero bytes keep every such step on
  // a terminator.
  text.append(3, '\0');
  doc->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (doc->Error()) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[LoadXmlDocument][%s is not readable XML: %s at line %d column %d]", path.c_str(),
         doc->ErrorDesc(), doc->ErrorRow(), doc->ErrorCol());
    return E_XML_LOAD_FAILED;
  }
  return S_OK;
}

template <typename Record>
HRESULT LoadDocument(const std::string& path, const HandlerTable<Record>& table, Record* record) {
  TiXmlDocument doc;
  const HRESULT hr = ParseFile(path, &doc);
  if (Failed(hr)) return hr;
  // Declarations and comments before the root are skipped; the root's name is
  // not checked, its handler (if any) does the work.
  Record loaded;
  TravelDOM(doc.FirstChildElement(), &loaded, table);
  *record = std::move(loaded);
  return S_OK;
}

// Text the way the file holds it: valid UTF-8 (see CleanUtf8 in the reader).
std::string ForFile(const std::string& text) {
  return tobric::Utf16ToUtf8(tobric::Utf8ToUtf16(text));
}

TiXmlElement* AddRoot(TiXmlDocument* doc, const char* name, const std::string& version) {
  doc->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  auto* root = new TiXmlElement(name);
  root->SetAttribute("version", ForFile(version).c_str());
  doc->LinkEndChild(root);
  return root;
}

void AddTextElement(TiXmlElement* parent, const char* name, const std::string& text) {
  auto* element = new TiXmlElement(name);
  // An empty text node, not no node: an empty field prints as <name></name>.
  element->LinkEndChild(new TiXmlText(ForFile(text).c_str()));
  parent->LinkEndChild(element);
}

// Prints with the library's own indentation and line ends. The file is closed
// here rather than by the library so that a failing flush (a full disk) is seen.
HRESULT PrintDocument(const TiXmlDocument& doc, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[SaveXmlDocument][cannot open %s 0x%x]",
         path.c_str(), static_cast<unsigned>(tobric::platform::LastErrorHresult()));
    return E_XML_SAVE_FAILED;
  }
  const bool printed = doc.SaveFile(file);
  const bool flushed = std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if (!printed || !flushed || !closed) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[SaveXmlDocument][cannot write %s]", path.c_str());
    return E_XML_SAVE_FAILED;
  }
  return S_OK;
}

}  // namespace

HRESULT LoadConfiguration(const std::string& path, Configuration* configuration) {
  return LoadDocument(path, ConfigurationHandlers(), configuration);
}

HRESULT LoadResource(const std::string& path, Resource* resource) {
  return LoadDocument(path, ResourceHandlers(), resource);
}

HRESULT SaveConfiguration(const Configuration& configuration, const std::string& path) {
  TiXmlDocument doc;
  TiXmlElement* root = AddRoot(&doc, "configuration", configuration.version);
  auto* general = new TiXmlElement("general");
  general->SetAttribute("concurrent_task_num", configuration.concurrent_task_num);
  general->SetAttribute("thread_num_per_task", configuration.thread_num_per_task);
  general->SetAttribute("down_bandwidth", configuration.down_bandwidth);
  general->SetAttribute("up_bandwidth", configuration.up_bandwidth);
  general->SetAttribute("download_folder", ForFile(configuration.download_folder).c_str());
  root->LinkEndChild(general);
  return PrintDocument(doc, path);
}

HRESULT SaveResource(const Resource& resource, const std::string& path) {
  TiXmlDocument doc;
  TiXmlElement* root = AddRoot(&doc, "resource", resource.version);
  for (const ResourceFile& file : resource.files) {
    auto* element = new TiXmlElement("file");
    element->SetAttribute("download_size", std::to_string(file.download_size).c_str());
    element->SetAttribute("total_size", std::to_string(file.total_size).c_str());
    element->SetAttribute("create_time", std::to_string(file.create_time).c_str());
    element->SetAttribute("complete_time", std::to_string(file.complete_time).c_str());
    element->SetAttribute("error_code", file.error_code);
    AddTextElement(element, "name", file.name);
    AddTextElement(element, "path", file.path);
    AddTextElement(element, "uri", file.uri);
    AddTextElement(element, "caption", file.caption);
    AddTextElement(element, "metafile", file.metafile);
    root->LinkEndChild(element);
  }
  return PrintDocument(doc, path);
}

}  // namespace lorvane
