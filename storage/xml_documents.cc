#include "storage/xml_documents.h"

#include <tinyxml.h>

#include <charconv>
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

// The download list is printed here rather than through the library's
// document: building a node per field costs more than the whole save
// otherwise does. The bytes are those the library's printer gives (four
// spaces a level, "\n" line ends, an element with one text child on one line,
// an element without children as "<x />"), and every text that holds a
// character the library escapes goes through its own escaping.
class ListPrinter {
 public:
  explicit ListPrinter(std::string* out) : out_(out) {}

  void Raw(std::string_view text) { out_->append(text); }

  // A field as the library stores it: cut at the first NUL (it takes C
  // strings), made valid UTF-8, escaped.
  void Text(const std::string& text) {
    const std::string_view view(text.c_str());
    if (IsPlainAscii(view)) {
      out_->append(view);
      return;
    }
    TiXmlBase::EncodeString(ForFile(std::string(view)), out_);
  }

  // name="value", or name='value' when the value holds a double quote, as
  // the library writes attributes.
  void Attribute(const char* name, const std::string& value) {
    const std::string_view view(value.c_str());
    const char quote = view.find('"') == std::string_view::npos ? '"' : '\'';
    out_->append(" ").append(name).append("=").push_back(quote);
    Text(value);
    out_->push_back(quote);
  }

  template <typename Number>
  void Attribute(const char* name, Number value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out_->append(" ").append(name).append("=\"").append(digits, end).push_back('"');
  }

  // One of the five text children of a "file" element (depth 2).
  void TextElement(const char* name, const std::string& text) {
    out_->append("\n        <").append(name).push_back('>');
    Text(text);
    out_->append("</").append(name).push_back('>');
  }

 private:
  // Printable ASCII that the library would leave as it is.
  static bool IsPlainAscii(std::string_view text) {
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x80 || c == '&' || c == '<' || c == '>' || c == '"' ||
          c == '\'') {
        return false;
      }
    }
    return true;
  }

  std::string* const out_;
};

TiXmlElement* AddRoot(TiXmlDocument* doc, const char* name, const std::string& version) {
  doc->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  auto* root = new TiXmlElement(name);
  root->SetAttribute("version", ForFile(version).c_str());
  doc->LinkEndChild(root);
  return root;
}

// Writes the file in place with `print`. The file is closed here rather than by
// the library so that a failing flush (a full disk) is seen.
template <typename Print>
HRESULT WriteDocument(const std::string& path, Print print) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[SaveXmlDocument][cannot open %s 0x%x]",
         path.c_str(), static_cast<unsigned>(tobric::platform::LastErrorHresult()));
    return E_XML_SAVE_FAILED;
  }
  const bool printed = print(file);
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
  // With the library's own indentation and line ends.
  return WriteDocument(path, [&doc](std::FILE* file) { return doc.SaveFile(file); });
}

std::string PrintResource(const Resource& resource) {
  size_t estimate = 128;
  for (const ResourceFile& file : resource.files) {
    estimate += 320 + file.name.size() + file.path.size() + file.uri.size() + file.caption.size() +
                file.metafile.size();
  }
  std::string bytes;
  bytes.reserve(estimate);
  ListPrinter printer(&bytes);
  printer.Raw("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<resource");
  printer.Attribute("version", resource.version);
  if (resource.files.empty()) {
    printer.Raw(" />\n");
    return bytes;
  }
  printer.Raw(">");
  for (const ResourceFile& file : resource.files) {
    printer.Raw("\n    <file");
    printer.Attribute("download_size", file.download_size);
    printer.Attribute("total_size", file.total_size);
    printer.Attribute("create_time", file.create_time);
    printer.Attribute("complete_time", file.complete_time);
    printer.Attribute("error_code", file.error_code);
    printer.Raw(">");
    printer.TextElement("name", file.name);
    printer.TextElement("path", file.path);
    printer.TextElement("uri", file.uri);
    printer.TextElement("caption", file.caption);
    printer.TextElement("metafile", file.metafile);
    printer.Raw("\n    </file>");
  }
  printer.Raw("\n</resource>\n");
  return bytes;
}

HRESULT SaveResource(const Resource& resource, const std::string& path) {
  const std::string bytes = PrintResource(resource);
  return WriteDocument(path, [&bytes](std::FILE* file) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  });
}

}  // namespace lorvane
