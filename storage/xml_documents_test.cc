#include "storage/xml_documents.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "base/utf.h"
#include "storage/element_handlers.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using corvane::testsupport::ReadFile;
using corvane::testsupport::WriteFile;

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// storage/testdata/<name>, found from this file's own place in the tree.
std::string TestDataPath(const std::string& name) {
  return std::string(CORVANE_SOURCE_DIR) + "/storage/testdata/" + name;
}

// A record with the fields `fill` sets.
ResourceFile Made(void (*fill)(ResourceFile&)) {
  ResourceFile record;
  fill(record);
  return record;
}

class XmlDocumentsTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return env_.root() + "/" + name; }

  // Writes text to a file and loads it as a download list.
  HRESULT LoadResourceText(const std::string& text, Resource* resource) {
    WriteFile(PathOf("list.db"), text);
    return LoadResource(PathOf("list.db"), resource);
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
};

// The golden files load, and what loaded saves as the same bytes again; the
// fields that escaping, signs and widths could spoil are checked by value.
TEST_F(XmlDocumentsTest, GoldenFilesLoadAndSaveAsTheSameBytes) {
  Configuration configuration;
  ASSERT_EQ(LoadConfiguration(TestDataPath("config.db"), &configuration), S_OK);
  EXPECT_EQ(configuration.download_folder, "/home/ana/下载 & \"more\" <x>");
  EXPECT_EQ(configuration.up_bandwidth, 65536);
  ASSERT_EQ(SaveConfiguration(configuration, PathOf("config.db")), S_OK);
  EXPECT_EQ(ReadFile(PathOf("config.db")), ReadFile(TestDataPath("config.db")));

  Resource resource;
  ASSERT_EQ(LoadResource(TestDataPath("download_list.db"), &resource), S_OK);
  ASSERT_EQ(resource.files.size(), 2u);
  EXPECT_EQ(resource.files[0].error_code, static_cast<int32_t>(0xA0440219));
  EXPECT_EQ(resource.files[0].uri, "http://example.test/get?a=1&b=<2>&c=\"3\"");
  EXPECT_EQ(resource.files[0].name, "电影 第一集.mp4");
  EXPECT_EQ(resource.files[1].total_size, kMax64);
  EXPECT_EQ(resource.files[1].complete_time, 133497000100000000u);
  EXPECT_EQ(resource.files[1].name, "  spaced  name  ");
  ASSERT_EQ(SaveResource(resource, PathOf("download_list.db")), S_OK);
  EXPECT_EQ(ReadFile(PathOf("download_list.db")), ReadFile(TestDataPath("download_list.db")));
  EXPECT_TRUE(log_.Lines().empty());
}

// The list is printed without the library's document. For what the golden
// file does not hold (each ASCII character, a character reference, a NUL,
// broken UTF-8, a quote in an attribute, an empty list) the bytes must still
// be those the library prints from the same record.
TEST_F(XmlDocumentsTest, ListIsPrintedAsTheLibraryPrintsIt) {
  const auto library_print = [this](const Resource& resource) {
    const auto clean = [](const std::string& text) {
      return tobric::Utf16ToUtf8(tobric::Utf8ToUtf16(text));
    };
    TiXmlDocument doc;
    doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    auto* root = new TiXmlElement("resource");
    root->SetAttribute("version", clean(resource.version).c_str());
    doc.LinkEndChild(root);
    for (const ResourceFile& file : resource.files) {
      auto* element = new TiXmlElement("file");
      for (const auto& [name, value] : {std::pair{"download_size", file.download_size},
                                        {"total_size", file.total_size},
                                        {"create_time", file.create_time},
                                        {"complete_time", file.complete_time}}) {
        element->SetAttribute(name, std::to_string(value).c_str());
      }
      element->SetAttribute("error_code", file.error_code);
      for (const auto& [name, text] : {std::pair{"name", &file.name}, {"path", &file.path},
                                       {"uri", &file.uri}, {"caption", &file.caption},
                                       {"metafile", &file.metafile}}) {
        auto* child = new TiXmlElement(name);
        child->LinkEndChild(new TiXmlText(clean(*text).c_str()));
        element->LinkEndChild(child);
      }
      root->LinkEndChild(element);
    }
    EXPECT_TRUE(doc.SaveFile(PathOf("library.db").c_str()));
    return ReadFile(PathOf("library.db"));
  };

  Resource resource{"say \"1.0\" & 'more'", {}};
  EXPECT_EQ(PrintResource(resource), library_print(resource));
  resource.files.push_back(Made([](ResourceFile& f) {
    f.error_code = static_cast<int32_t>(0x80004005);
    f.total_size = kMax64;
    f.name = "&#x41; \xC3( \xF0\x9F\x98\x80 \xE4\xB8\x8B";
    f.uri = std::string("cut\0here", 8);
    f.caption = "]]> <!-- -->";
  }));
  for (int c = 1; c < 128; ++c) resource.files.emplace_back().path = std::string(1, c) + "x";
  EXPECT_EQ(PrintResource(resource), library_print(resource));
}

TEST_F(XmlDocumentsTest, UnreadableFilesFailAndLeaveTheRecordAsItWas) {
  const std::string golden = ReadFile(TestDataPath("download_list.db"));
  // Well-formed, so only the depth limit refuses it.
  std::string nested = "<resource>";
  for (int i = 0; i < 100; ++i) nested += "<a>";
  for (int i = 0; i < 100; ++i) nested += "</a>";
  nested += "</resource>";
  const std::string truncated = golden.substr(0, golden.size() / 2);
  for (const std::string& text : {truncated, nested}) {
    SCOPED_TRACE(text == nested ? "nested too deeply" : "truncated");
    Resource resource;
    resource.version = "kept";
    resource.files.resize(1);
    EXPECT_EQ(LoadResourceText(text, &resource), E_XML_LOAD_FAILED);
    EXPECT_EQ(resource.version, "kept");
    EXPECT_EQ(resource.files.size(), 1u);
  }
}

// Lists written by hand or by other versions: what is known is read, the rest
// skipped; text stays as written; numbers read as the C parsers read them.
TEST_F(XmlDocumentsTest, OddListsReadAsTheTableSays) {
  const struct {
    const char* what;
    std::string body;  // inside <resource version="1.0.0">
    std::vector<ResourceFile> files;
  } cases[] = {
      {"unknown elements, a repeated one, an orphan",
       "<name>orphan</name><file total_size=\"10\"><name>first</name><color>red</color>"
       "<path>/p</path><name>second</name></file><file/>"
       "<group><file download_size=\"3\"><uri>u</uri></file></group>",
       {Made([](ResourceFile& f) {
          f.total_size = 10;
          f.name = "second";
          f.path = "/p";
        }),
        {},
        Made([](ResourceFile& f) {
          f.download_size = 3;
          f.uri = "u";
        })}},
      {"text as written, line ends normalized",
       "\r\n<file>\r\n<name>  a\r\n  b  </name><caption><![CDATA[x & y]]></caption>"
       "<path><!-- no text --></path><uri>bad \xff byte</uri></file>\r\n",
       {Made([](ResourceFile& f) {
         f.name = "  a\n  b  ";
         f.uri = "bad \xEF\xBF\xBD byte";
         f.caption = "x & y";
       })}},
      {"absurd numbers",
       "<file total_size=\"-5\" download_size=\"99999999999999999999999\""
       " create_time=\" 42abc\" complete_time=\"abc\" error_code=\"x1\"/>"
       "<file error_code=\"2688811545\" total_size=\"+7\"/>",
       {Made([](ResourceFile& f) {
          f.total_size = kMax64 - 4;
          f.download_size = kMax64;
          f.create_time = 42;
        }),
        Made([](ResourceFile& f) {
          f.error_code = static_cast<int32_t>(0xA0440219);
          f.total_size = 7;
        })}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Resource resource;
    ASSERT_EQ(LoadResourceText("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<!-- by hand -->\n"
                               "<resource version=\"1.0.0\">" +
                                   c.body + "</resource>",
                               &resource),
              S_OK);
    EXPECT_EQ(resource.files, c.files);
  }
}

// A load replaces the whole record: nothing of an earlier one survives, and
// what the file lacks keeps the engine's default.
TEST_F(XmlDocumentsTest, ConfigurationLoadReplacesTheWholeRecord) {
  Configuration configuration;
  configuration.download_folder = "/old";
  configuration.down_bandwidth = 7;
  WriteFile(PathOf("config.db"), "<configuration><general up_bandwidth=\"12kb\"/></configuration>");
  ASSERT_EQ(LoadConfiguration(PathOf("config.db"), &configuration), S_OK);
  EXPECT_EQ(configuration.download_folder, "");
  EXPECT_EQ(configuration.down_bandwidth, -1);
  EXPECT_EQ(configuration.up_bandwidth, 12);
}

}  // namespace
}  // namespace lorvane
