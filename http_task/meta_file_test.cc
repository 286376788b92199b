#include "http_task/meta_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/isolated_env.h"
#include "tests/support/log_capture.h"
#include "tests/support/files.h"

namespace lorvane {
namespace {


constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kTiB = kMiB * kMiB;

std::string Le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

void PutLe(std::string* bytes, size_t offset, uint64_t value, int width) {
  bytes->replace(offset, width, Le(value, width));
}

// What a metafile's signature must be for these bytes; used to re-sign files a
// test damaged on purpose, so that the damage itself is what Load meets.
void Resign(std::string* bytes) {
  PutLe(bytes, 8, MurmurHash64B(bytes->data() + 24, bytes->size() - 24, bytes->size()), 8);
}

class MetaFileTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return folder_ + "/" + name; }

  std::string Read(const std::string& name) const {
    return corvane::testsupport::ReadFile(PathOf(name));
  }
  void Write(const std::string& name, const std::string& contents) const {
    ASSERT_TRUE(corvane::testsupport::WriteFile(PathOf(name), contents));
  }

  // A 10 MiB download with its middle block done.
  std::unique_ptr<MetaFile> MakeSample() const {
    std::unique_ptr<MetaFile> meta;
    if (MetaFile::Create(10 * kMiB, &meta) != S_OK) return nullptr;
    meta->set_uri("http://h/c");
    meta->set_name("clip.mp4.sugd");
    meta->set_path("/d\xc3\xa9");  // "/dé": one unit outside ASCII
    meta->set(1, true);
    return meta;
  }

  tobric::platform::IsolatedEnv env_;
  testing::LogCapture log_;
  const std::string folder_ = env_.root() + "/tmp";
};

// The image of MakeSample, written out field by field.
std::string SampleImage() {
  const std::string name = std::string("c\0l\0i\0p\0.\0m\0p\0004\0.\0s\0u\0g\0d\0\0\0", 28);
  const std::string path = std::string("/\0d\0\xe9\0\0\0", 8);
  const std::string uri = std::string("h\0t\0t\0p\0:\0/\0/\0h\0/\0c\0\0\0", 22);
  std::string image =
      std::string("\0K\0X\0D\0B", 8) + Le(0xD532B7B51686E238ull, 8) + Le(1, 4) + Le(24, 4);
  image += Le(117, 4) + Le(22, 4);  // uri after the path
  image += Le(81, 4) + Le(28, 4);   // name right after the one-byte bitmap
  image += Le(109, 4) + Le(8, 4);   // path
  image += Le(80, 4) + Le(4 * kMiB, 4) + Le(0, 8) + Le(10 * kMiB, 8) + Le(4 * kMiB, 8);
  image += '\x02';  // block 1 of 3
  return image + name + path + uri;
}

TEST_F(MetaFileTest, SavedBytesMatchTheLayout) {
  auto meta = MakeSample();
  ASSERT_EQ(meta->Save(PathOf("clip.mp4.sugc")), S_OK);
  // The signature (bytes 8 to 15) is MurmurHash64B of bytes 24 on, seeded with
  // the file's size.
  EXPECT_EQ(Read("clip.mp4.sugc"), SampleImage());
}

TEST_F(MetaFileTest, DamagedMetafilesAreRefused) {
  using Damage = std::function<void(std::string*)>;
  // Damage that keeps the signature right, so that Load meets the damage itself.
  const auto put = [](size_t offset, uint64_t value, int width) -> Damage {
    return [=](std::string* b) {
      PutLe(b, offset, value, width);
      Resign(b);
    };
  };
  // damage: applied to the sample image
  const struct { const char* what; Damage damage; HRESULT expected; } cases[] = {
      {"header cut short", [](std::string* b) { b->resize(20); }, E_METAFILE_BAD},
      {"a byte after the header changed", [](std::string* b) { (*b)[100] ^= 1; },
       E_METAFILE_MISMATCH},
      {"a byte appended", [](std::string* b) { b->push_back('x'); }, E_METAFILE_MISMATCH},
      {"version 2", put(16, 2, 4), E_METAFILE_BAD},
      {"block size 0", put(52, 0, 4), E_METAFILE_BAD},
      {"one block too many", put(64, kTiB + 1, 8), E_METAFILE_BAD},
      {"bitmap shorter than 1 TiB needs", put(64, kTiB, 8), E_METAFILE_SHORT_BITMAP},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = SampleImage();
    c.damage(&bytes);
    Write("m.sugc", bytes);
    std::unique_ptr<MetaFile> meta;
    EXPECT_EQ(MetaFile::Load(PathOf("m.sugc"), &meta), c.expected);
    EXPECT_EQ(meta, nullptr);
  }
}

TEST_F(MetaFileTest, BlocksSizesAndLimits) {
  std::unique_ptr<MetaFile> meta;
  ASSERT_EQ(MetaFile::Create(4 * kMiB + 1, &meta), S_OK);
  EXPECT_EQ(meta->block_length(1), 1u);
  meta->set(1, true);
  meta->set(1, true);   // already set: no change
  meta->set(0, false);  // already clear: no change
  EXPECT_EQ(meta->downloaded(), 1u);
  EXPECT_FALSE(meta->AllBlocksDone());

  ASSERT_EQ(MetaFile::Create(kTiB, &meta), S_OK);
  EXPECT_EQ(meta->block_count(), kMetaFileMaxBlocks);
  for (const uint64_t size : {uint64_t{0}, kTiB + 1, ~uint64_t{0}}) {
    EXPECT_EQ(MetaFile::Create(size, &meta), E_METAFILE_TOO_LARGE) << size;
  }
}

TEST_F(MetaFileTest, RoundTripKeepsEveryField) {
  std::unique_ptr<MetaFile> meta;
  ASSERT_EQ(MetaFile::Create(kTiB - 5, &meta), S_OK);
  meta->set_uri("https://example.test/\xe8\xa7\x86\xe9\xa2\x91?a=1");
  meta->set_name("\xe8\xa7\x86.mp4.sugd");
  meta->set_path("/home/u/KxDownload");
  const uint32_t last = meta->block_count() - 1;
  for (const uint32_t block : {0u, 7u, 8u, 4095u, last}) meta->set(block, true);
  ASSERT_EQ(meta->Save(PathOf("a.sugc")), S_OK);

  // A reserved value from an older writer is carried through a save.
  std::string bytes = Read("a.sugc");
  PutLe(&bytes, 56, 0x1122334455667788ull, 8);
  Resign(&bytes);
  Write("a.sugc", bytes);
  ASSERT_EQ(MetaFile::Load(PathOf("a.sugc"), &meta), S_OK);
  ASSERT_EQ(meta->Save(PathOf("b.sugc")), S_OK);
  std::unique_ptr<MetaFile> loaded;
  ASSERT_EQ(MetaFile::Load(PathOf("b.sugc"), &loaded), S_OK);
  EXPECT_EQ(loaded->uri(), "https://example.test/\xe8\xa7\x86\xe9\xa2\x91?a=1");
  EXPECT_EQ(loaded->reserved(), 0x1122334455667788ull);
  // The five blocks and no other: the last one is 5 bytes short.
  EXPECT_EQ(loaded->downloaded(), 4 * 4 * kMiB + (4 * kMiB - 5));
  EXPECT_TRUE(loaded->test(4095) && loaded->test(last) && !loaded->test(4096));
}

TEST_F(MetaFileTest, SaveReplacesTheOldFileOrLeavesItWhole) {
  auto meta = MakeSample();
  const std::string old_bytes = std::string(200, 'o');  // longer than the new metafile
  Write("m.sugc", old_bytes);
  ASSERT_EQ(meta->Save(PathOf("m.sugc")), S_OK);
  EXPECT_EQ(Read("m.sugc"), SampleImage());  // replaced, no old tail

  auto empty = MakeSample();
  empty->set_name("");
  EXPECT_EQ(empty->Save(PathOf("m.sugc")), E_METAFILE_SAVE_FAILED);
  EXPECT_EQ(Read("m.sugc"), SampleImage());

  EXPECT_NE(meta->Save(PathOf("missing/m.sugc")), S_OK);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1) << "no temporary";
}

// Each row: a path and its metafile, data file and final names, "|"-joined.
TEST(MetaFileNamesTest, SuffixesAreAddedRemovedAndCaseSensitive) {
  for (const auto& [path, names] : std::vector<std::pair<std::string, std::string>>{
           {"a.mp4", "a.mp4.sugc|a.mp4.sugd|a.mp4"},
           {"a.mp4.sugd", "a.mp4.sugc|a.mp4.sugd|a.mp4"},
           {"a.mp4.SUGD", "a.mp4.SUGD.sugc|a.mp4.SUGD.sugd|a.mp4.SUGD"},
           {"/d.sugd/clip", "/d.sugd/clip.sugc|/d.sugd/clip.sugd|/d.sugd/clip"}}) {
    EXPECT_EQ(MetaFileName(path) + "|" + DataFileName(path) + "|" + RealFileName(path), names);
  }
}

}  // namespace
}  // namespace lorvane
