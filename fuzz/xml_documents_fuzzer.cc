// The bytes as config.db and as download_list.db, each read by its loader.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_folder.h"
#include "storage/xml_documents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const corvane_fuzz::FuzzFolder folder;
  const std::string path = folder.Write("document.db", data, size);
  lorvane::Configuration configuration;
  static_cast<void>(lorvane::LoadConfiguration(path, &configuration));
  lorvane::Resource resource;
  static_cast<void>(lorvane::LoadResource(path, &resource));
  return 0;
}
