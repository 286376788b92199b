// The two XML files the engine keeps in the user data folder: config.db with the
// settings and download_list.db with the download list. The layouts are described
// in docs/formats/config-db.md and docs/formats/download-list-db.md and pinned by
// the golden files in storage/testdata/.
//
// The functions are safe to call from any thread at once for different files. Two
// writers of one file must be serialised by their caller (ConfigManager and the
// persister each hold a lock around their saves).
#ifndef STORAGE_XML_DOCUMENTS_H_
#define STORAGE_XML_DOCUMENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"

namespace lorvane {

// The settings as stored. A field whose attribute is missing from the file keeps
// the value it is given here, the engine's default for it.
struct Configuration {
  int32_t concurrent_task_num = 5;
  int32_t thread_num_per_task = 5;
  int32_t down_bandwidth = -1;  // bytes per second for the P2P engine, -1 unlimited
  int32_t up_bandwidth = -1;
  std::string download_folder;  // UTF-8
  std::string version;
};

// One download as stored. The package's id, state and speed are not kept.
struct ResourceFile {
  int32_t error_code = 0;  // an HRESULT
  uint64_t total_size = 0;
  uint64_t download_size = 0;
  uint64_t create_time = 0;  // FILETIME, 0 = not set
  uint64_t complete_time = 0;
  std::string name;  // all UTF-8
  std::string path;
  std::string uri;
  std::string caption;
  std::string metafile;

  friend bool operator==(const ResourceFile&, const ResourceFile&) = default;
};

// The download list as stored, files in list order.
struct Resource {
  std::string version;
  std::vector<ResourceFile> files;
};

// Files larger than this are refused: the XML library holds a whole document in
// memory several times over, and a real list is a few hundred kilobytes.
inline constexpr size_t kMaxXmlDocumentSize = 256 * 1024 * 1024;

// Reading tolerates what a hand edit or an older writer may leave: elements
// nobody knows are logged and skipped (their children are still read), malformed
// numbers read as described in the format pages. S_OK even then.
// E_XML_LOAD_FAILED when the file cannot be read, is larger than
// kMaxXmlDocumentSize, nests deeper than any of our documents could, or is not
// XML; *configuration / *resource are then left as they were. On success the
// record is replaced as a whole by what the file holds.
[[nodiscard]] HRESULT LoadConfiguration(const std::string& path, Configuration* configuration);
[[nodiscard]] HRESULT LoadResource(const std::string& path, Resource* resource);

// Writes the file in place (callers that need an atomic replacement write to a
// temporary file and move it). E_XML_SAVE_FAILED when the file cannot be
// written completely.
[[nodiscard]] HRESULT SaveConfiguration(const Configuration& configuration,
                                        const std::string& path);
[[nodiscard]] HRESULT SaveResource(const Resource& resource, const std::string& path);

// The bytes SaveResource writes, for a caller that writes them itself (the
// persister, into the file it then renames onto the list).
[[nodiscard]] std::string PrintResource(const Resource& resource);

}  // namespace lorvane

#endif  // STORAGE_XML_DOCUMENTS_H_
