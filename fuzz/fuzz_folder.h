// A private folder for one fuzzer process, removed when the process ends
// normally. The parsers under test read files, so each input is written there
// first. It is made in /dev/shm when it can be: on a disk file system,
// rewriting a file that was just read forces its blocks out to the disk at
// every input, which made the fuzzers of files several times slower.
#ifndef FUZZ_FUZZ_FOLDER_H_
#define FUZZ_FUZZ_FOLDER_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace corvane_fuzz {

class FuzzFolder {
 public:
  FuzzFolder() {
    std::random_device random;
    const std::string name = "corvane-fuzz-" + std::to_string(random()) + std::to_string(random());
    std::error_code error;
    path_ = (std::filesystem::path("/dev/shm") / name).string();
    if (!std::filesystem::create_directory(path_, error)) {
      path_ = (std::filesystem::temp_directory_path() / name).string();
      std::filesystem::create_directories(path_);
    }
  }
  ~FuzzFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FuzzFolder(const FuzzFolder&) = delete;
  FuzzFolder& operator=(const FuzzFolder&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

  // Replaces `name` in the folder with the bytes; its full path.
  std::string Write(const std::string& name, const uint8_t* data, size_t size) const {
    const std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return file;
  }

 private:
  std::string path_;
};

}  // namespace corvane_fuzz

#endif  // FUZZ_FUZZ_FOLDER_H_
