#include "tests/e2e/http_download_fixture_testutil.h"
#include "tests/support/nginx_server.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace corvane::e2e {

namespace fs = std::filesystem;
using lorvane::PackageView;

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(code));
  return text;
}

std::string Describe(const PackageView& package) {
  return "state " + std::to_string(package.state) + ", " + std::to_string(package.download_size) +
         " of " + std::to_string(package.total_size) + " bytes, error " + Hex(package.error_code) +
         ", name '" + package.name + "' in " + package.path;
}

std::string WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Sha256 digest;
  std::string chunk(kMiB, '\0');
  for (uint64_t done = 0; done < size; done += chunk.size()) {
    chunk.resize(static_cast<size_t>(std::min<uint64_t>(kMiB, size - done)));
    for (size_t i = 0; i + 8 <= chunk.size(); i += 8) {
      const uint64_t word = random();
      for (size_t b = 0; b < 8; ++b) chunk[i + b] = static_cast<char>(word >> (8 * b));
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    digest.Update(chunk);
  }
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
  return digest.HexDigest();
}

namespace {

uint64_t ReadLittleEndian(const std::string& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

}  // namespace

MetaFileFacts ReadMetaFile(const std::string& path) {
  const std::string bytes = ReadFileText(path);
  MetaFileFacts facts;
  constexpr size_t kBitmapAt = 80;
  if (bytes.size() < kBitmapAt) return facts;
  facts.file_size = ReadLittleEndian(bytes, 64, 8);
  facts.downloaded = ReadLittleEndian(bytes, 72, 8);
  const uint64_t blocks = (facts.file_size + kBlock - 1) / kBlock;
  if (bytes.size() < kBitmapAt + (blocks + 7) / 8) return facts;
  for (uint64_t block = 0; block < blocks; ++block) {
    const bool set = (static_cast<uint8_t>(bytes[kBitmapAt + block / 8]) >> (block % 8)) & 1;
    facts.set.push_back(set);
    if (set) ++facts.blocks_set;
  }
  facts.readable = true;
  return facts;
}

void HttpDownloadTest::SetUp() {
  ASSERT_NO_FATAL_FAILURE(ServiceTest::SetUp());
  folder_ = user_.home() + "/Downloads";
  ASSERT_NO_FATAL_FAILURE(UseDownloadFolder(folder_));
  ASSERT_NO_FATAL_FAILURE(UseThreads(kThreads));
}

void NginxDownloadTest::SetUp() {
  if (testsupport::NginxServer::ProgramPath().empty()) GTEST_SKIP() << "nginx is not installed";
  ASSERT_NO_FATAL_FAILURE(HttpDownloadTest::SetUp());
  www_ = user_.root() + "/www";
  fs::create_directories(www_);
}

void HttpDownloadTest::UseDownloadFolder(const std::string& folder) {
  // The service only makes a missing folder and keeps its old choice.
  fs::create_directories(folder);
  HRESULT hr = E_FAIL;
  ASSERT_EQ(client_.SetDownloadFolder(folder, &hr), S_OK);
  ASSERT_EQ(hr, S_OK) << Hex(hr);
}

void HttpDownloadTest::UseThreads(int32_t threads) {
  HRESULT hr = E_FAIL;
  ASSERT_EQ(client_.SetThreadNumPerTask(threads, &hr), S_OK);
  ASSERT_EQ(hr, S_OK) << Hex(hr);
}

void HttpDownloadTest::UseConcurrentDownloads(int32_t downloads) {
  HRESULT hr = E_FAIL;
  ASSERT_EQ(client_.SetConcurrentTaskNum(downloads, &hr), S_OK);
  ASSERT_EQ(hr, S_OK) << Hex(hr);
}

bool HttpDownloadTest::WaitForEnd(const std::string& id, PackageView* package, Milliseconds limit) {
  const bool ended = WaitForPackage(
      id, [](const PackageView& p) { return p.state == kStateComplete || p.state == kStateError; },
      limit);
  static_cast<void>(FindPackage(id, package));
  return ended;
}

bool HttpDownloadTest::WaitForBlocks(const std::string& id, uint64_t blocks) {
  return WaitForPackage(
      id, [&](const PackageView& p) { return p.download_size >= blocks * kBlock; }, kProgressLimit);
}

void HttpDownloadTest::Pause(const std::string& id, PackageView* package) {
  bool all_ok = false;
  ASSERT_EQ(client_.PausePackages({id}, &all_ok), S_OK);
  ASSERT_TRUE(all_ok);
  ASSERT_TRUE(WaitForPackage(id, [](const PackageView& p) { return p.state == kStateReady; }))
      << "the download did not pause";
  ASSERT_TRUE(FindPackage(id, package));
}

void HttpDownloadTest::Start(const std::string& id) {
  bool all_ok = false;
  ASSERT_EQ(client_.StartPackages({id}, &all_ok), S_OK);
  ASSERT_TRUE(all_ok);
}

void HttpDownloadTest::ExpectCompleted(const std::string& id, const std::string& name,
                                       uint64_t size, const std::string& sha256) {
  PackageView package;
  ASSERT_TRUE(WaitForEnd(id, &package)) << Describe(package);
  ASSERT_EQ(package.state, kStateComplete) << Describe(package);
  EXPECT_EQ(package.name, name);
  EXPECT_EQ(package.path, folder_);
  EXPECT_EQ(package.download_size, size);
  EXPECT_EQ(package.total_size, size);
  EXPECT_NE(package.complete_time, 0u);
  const std::string file = folder_ + "/" + name;
  std::error_code ec;
  EXPECT_EQ(fs::file_size(file, ec), size) << file;
  EXPECT_EQ(FileSha256(file), sha256) << file;
  EXPECT_FALSE(fs::exists(file + ".sugd"));
  EXPECT_FALSE(fs::exists(file + ".sugc"));
}

}  // namespace corvane::e2e
