#include "storage/xml_documents.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "storage/element_handlers.h"
#include "tests/support/files.h"
#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"

namespace lorvane {
namespace {

using corvane::testsupport::ReadFile;
// storage/testdata/<name>, found from this file's own place in the tree.
std::string TestDataPath(const std::string& name) {
  return (std::filesystem::path(__FILE__).parent_path() / "testdata" / name).string();
}
using corvane::testsupport::WriteFile;

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// The records the golden files hold.
Configuration GoldenConfiguration() {
  Configuration configuration;
  configuration.version = "1.0.0";
  configuration.concurrent_task_num = 7;
  configuration.thread_num_per_task = 12;
  configuration.down_bandwidth = -1;
  configuration.up_bandwidth = 65536;
  configuration.download_folder = "/home/ana/下载 & \"more\" <x>";
  return configuration;
}

Resource GoldenResource() {
  Resource resource;
  resource.version = "1.0.0";
  ResourceFile failed;
  failed.error_code = static_cast<int32_t>(0xA0440219);
  failed.total_size = 734003200;
  failed.download_size = 4194304;
  failed.create_time = 133497000000000000;
  failed.name = "电影 第一集.mp4";
  failed.path = "/home/ana/KxDownload";
  failed.uri = "http://example.test/get?a=1&b=<2>&c=\"3\"";
  failed.caption = "电影";
  failed.metafile = "/home/ana/KxDownload/电影 第一集.mp4.sugc";
  resource.files.push_back(failed);
  ResourceFile done;
  done.total_size = kMax64;
  done.download_size = kMax64;
  done.create_time = 133497000000000001;
  done.complete_time = 133497000100000000;
  done.name = "  spaced  name  ";
  done.path = "/data";
  done.uri = "tavp://1024|http%3A%2F%2Fexample.test%2Fa|a";
  resource.files.push_back(done);
  return resource;
}

class XmlDocumentsTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return env_.root() + "/" + name; }

  // Writes text to a file and loads it as a download list.
  HRESULT LoadResourceText(const std::string& text, Resource* resource) {
    const std::string path = PathOf("list.db");
    WriteFile(path, text);
    return LoadResource(path, resource);
  }
  HRESULT LoadConfigurationText(const std::string& text, Configuration* configuration) {
    const std::string path = PathOf("config.db");
    WriteFile(path, text);
    return LoadConfiguration(path, configuration);
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
};

TEST_F(XmlDocumentsTest, GoldenFilesAreWhatSavingPrintsAndLoadBack) {
  const std::string config_path = PathOf("config.db");
  ASSERT_EQ(SaveConfiguration(GoldenConfiguration(), config_path), S_OK);
  EXPECT_EQ(ReadFile(config_path), ReadFile(TestDataPath("config.db")));

  const std::string list_path = PathOf("download_list.db");
  ASSERT_EQ(SaveResource(GoldenResource(), list_path), S_OK);
  const std::string golden = ReadFile(TestDataPath("download_list.db"));
  EXPECT_EQ(ReadFile(list_path), golden);
  // The error code is written signed, empty fields as empty elements.
  EXPECT_NE(golden.find("error_code=\"-1606155751\""), std::string::npos);
  EXPECT_NE(golden.find("<caption></caption>"), std::string::npos);

  Configuration configuration;
  ASSERT_EQ(LoadConfiguration(TestDataPath("config.db"), &configuration), S_OK);
  const Configuration expected = GoldenConfiguration();
  EXPECT_EQ(configuration.version, expected.version);
  EXPECT_EQ(configuration.concurrent_task_num, expected.concurrent_task_num);
  EXPECT_EQ(configuration.thread_num_per_task, expected.thread_num_per_task);
  EXPECT_EQ(configuration.down_bandwidth, expected.down_bandwidth);
  EXPECT_EQ(configuration.up_bandwidth, expected.up_bandwidth);
  EXPECT_EQ(configuration.download_folder, expected.download_folder);

  Resource resource;
  ASSERT_EQ(LoadResource(TestDataPath("download_list.db"), &resource), S_OK);
  EXPECT_EQ(resource.version, "1.0.0");
  EXPECT_EQ(resource.files, GoldenResource().files);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(XmlDocumentsTest, UnreadableFilesFailAndLeaveTheRecordAsItWas) {
  const std::string golden = ReadFile(TestDataPath("download_list.db"));
  // Well-formed, so only the structure limits refuse these two.
  std::string nested = "<resource>";
  for (int i = 0; i < 100; ++i) nested += "<a>";
  for (int i = 0; i < 100; ++i) nested += "</a>";
  nested += "</resource>";
  std::string crowded = "<resource";
  for (int i = 0; i < 300; ++i) crowded += " a" + std::to_string(i) + "=\"1\"";
  crowded += "/>";
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"truncated", golden.substr(0, golden.size() / 2)},
      {"not xml", "this is not xml at all\n"},
      {"empty", ""},
      {"declaration only, unclosed root", "<?xml version=\"1.0\"?>\n<resource version=\"1\">"},
      {"nested too deeply", nested},
      {"too many attributes", crowded},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Resource resource;
    resource.version = "kept";
    resource.files.resize(1);
    EXPECT_EQ(LoadResourceText(c.text, &resource), E_XML_LOAD_FAILED);
    EXPECT_EQ(resource.version, "kept");
    EXPECT_EQ(resource.files.size(), 1u);
  }
  EXPECT_EQ(log_.Count("is refused: elements nested too deeply"), 1u);
  EXPECT_EQ(log_.Count("is refused: too many attributes in one element"), 1u);

  Configuration configuration;
  configuration.concurrent_task_num = 99;
  EXPECT_EQ(LoadConfiguration(PathOf("missing.db"), &configuration), E_XML_LOAD_FAILED);
  EXPECT_EQ(LoadConfigurationText("<configuration><general", &configuration), E_XML_LOAD_FAILED);
  EXPECT_EQ(configuration.concurrent_task_num, 99);
}

TEST_F(XmlDocumentsTest, FileAboveTheSizeCapIsRefusedWithoutReadingIt) {
  const std::string path = PathOf("huge.db");
  WriteFile(path, "<resource version=\"1.0.0\">");
  // Sparse: no disk space and no time spent, only the size counts.
  std::filesystem::resize_file(path, kMaxXmlDocumentSize + 1);
  Resource resource;
  resource.version = "kept";
  EXPECT_EQ(LoadResource(path, &resource), E_XML_LOAD_FAILED);
  EXPECT_EQ(resource.version, "kept");
  EXPECT_EQ(log_.Count("is larger than 268435456 bytes and is refused"), 1u);
}

TEST_F(XmlDocumentsTest, ListReaderToleratesOddDocuments) {
  Resource resource;
  ASSERT_EQ(LoadResourceText("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
                             "<!-- written by hand -->\n"
                             "<resource>\n"
                             "  <name>orphan</name>\n"
                             "  <file total_size=\"10\">\n"
                             "    <name>first</name>\n"
                             "    <color>red</color>\n"
                             "    <path>/p</path>\n"
                             "    <name>second</name>\n"
                             "  </file>\n"
                             "  <file/>\n"
                             "  <group><file download_size=\"3\"><uri>u</uri></file></group>\n"
                             "</resource>\n",
                             &resource),
            S_OK);
  EXPECT_EQ(resource.version, "");
  ASSERT_EQ(resource.files.size(), 3u);
  EXPECT_EQ(resource.files[0].total_size, 10u);
  EXPECT_EQ(resource.files[0].name, "second");
  EXPECT_EQ(resource.files[0].path, "/p");
  EXPECT_EQ(resource.files[1], ResourceFile());
  // Children of an element nobody knows are still read.
  EXPECT_EQ(resource.files[2].download_size, 3u);
  EXPECT_EQ(resource.files[2].uri, "u");

  EXPECT_EQ(log_.Count("[TravelDOM: don't know how to handle element color]"), 1u);
  EXPECT_EQ(log_.Count("[TravelDOM: don't know how to handle element group]"), 1u);
  EXPECT_EQ(log_.Count("[NameElementHandler::Handle][element name before any file element is "
                       "ignored]"),
            1u);
  EXPECT_EQ(log_.Lines().size(), 3u);
}

TEST_F(XmlDocumentsTest, TextIsKeptAsWrittenAndLineEndsAreNormalized) {
  Resource resource;
  ASSERT_EQ(LoadResourceText("<resource version=\"1.0.0\">\r\n<file>\r\n"
                             "<name>  a\r\n  b  </name><caption><![CDATA[x & y]]></caption>"
                             "<path><!-- no text --></path><uri>bad \xff byte</uri>"
                             "</file>\r\n</resource>",
                             &resource),
            S_OK);
  ASSERT_EQ(resource.files.size(), 1u);
  EXPECT_EQ(resource.files[0].name, "  a\n  b  ");
  EXPECT_EQ(resource.files[0].caption, "x & y");
  EXPECT_EQ(resource.files[0].path, "");
  EXPECT_EQ(resource.files[0].uri, "bad \xEF\xBF\xBD byte");
}

TEST_F(XmlDocumentsTest, AbsurdNumbersReadLikeTheUnsignedAndSignedParsers) {
  Resource resource;
  ASSERT_EQ(LoadResourceText("<resource version=\"1.0.0\">"
                             "<file total_size=\"-5\" download_size=\"99999999999999999999999\""
                             " create_time=\" 42abc\" complete_time=\"abc\" error_code=\"x1\"/>"
                             "<file error_code=\"2688811545\" total_size=\"+7\"/>"
                             "<file error_code=\"99999999999\"/>"
                             "<file error_code=\" -2147024809 trailing\"/>"
                             "</resource>",
                             &resource),
            S_OK);
  ASSERT_EQ(resource.files.size(), 4u);
  EXPECT_EQ(resource.files[0].total_size, kMax64 - 4);
  EXPECT_EQ(resource.files[0].download_size, kMax64);
  EXPECT_EQ(resource.files[0].create_time, 42u);
  EXPECT_EQ(resource.files[0].complete_time, 0u);
  EXPECT_EQ(resource.files[0].error_code, 0);
  EXPECT_EQ(resource.files[1].error_code, static_cast<int32_t>(0xA0440219));
  EXPECT_EQ(resource.files[1].total_size, 7u);
  EXPECT_EQ(resource.files[2].error_code, 0);
  EXPECT_EQ(resource.files[3].error_code, E_INVALIDARG);

  int64_t value = 0;
  EXPECT_TRUE(ParseSigned64("-9223372036854775808", &value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(ParseSigned64("9223372036854775808", &value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(ParseSigned64("-99999999999999999999", &value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(ParseSigned64(" - 1", &value));
  EXPECT_EQ(ParseUnsigned64("18446744073709551615"), kMax64);
  EXPECT_EQ(ParseUnsigned64("18446744073709551616"), kMax64);
  EXPECT_EQ(ParseUnsigned64("-99999999999999999999999"), kMax64);
}

TEST_F(XmlDocumentsTest, ConfigurationReaderKeepsDefaultsAndReadsNonNumbersAsZero) {
  Configuration configuration;
  ASSERT_EQ(LoadConfigurationText("<configuration version=\"1.0.0\">"
                                  "<general down_bandwidth=\"fast\" up_bandwidth=\"12kb\""
                                  " concurrent_task_num=\"99999999999\"/>"
                                  "</configuration>",
                                  &configuration),
            S_OK);
  EXPECT_EQ(configuration.down_bandwidth, 0);
  EXPECT_EQ(configuration.up_bandwidth, 12);
  EXPECT_EQ(configuration.concurrent_task_num, std::numeric_limits<int32_t>::max());
  // Absent attributes keep the engine's defaults.
  EXPECT_EQ(configuration.thread_num_per_task, 5);
  EXPECT_EQ(configuration.download_folder, "");

  // A load replaces the whole record: nothing of an earlier one survives.
  configuration.download_folder = "/old";
  ASSERT_EQ(LoadConfigurationText("<configuration/>", &configuration), S_OK);
  EXPECT_EQ(configuration.version, "");
  EXPECT_EQ(configuration.download_folder, "");
  EXPECT_EQ(configuration.down_bandwidth, -1);
}

TEST_F(XmlDocumentsTest, SaveToAnUnwritablePlaceFails) {
  // A regular file stands where the folder should be.
  const std::string blocker = PathOf("blocker");
  WriteFile(blocker, "x");
  EXPECT_EQ(SaveResource(GoldenResource(), blocker + "/list.db"), E_XML_SAVE_FAILED);
  EXPECT_EQ(SaveConfiguration(GoldenConfiguration(), blocker + "/config.db"), E_XML_SAVE_FAILED);
}

}  // namespace
}  // namespace lorvane
