// What the tests of whole HTTP downloads share: a running service that
// downloads into a folder of the test user, source files of seeded random
// bytes, a reader of the metafile a paused or killed download leaves on disk,
// and the check that a finished download holds its source's bytes.
//
// Threads: the test's thread only.
#ifndef TESTS_E2E_HTTP_DOWNLOAD_FIXTURE_TESTUTIL_H_
#define TESTS_E2E_HTTP_DOWNLOAD_FIXTURE_TESTUTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "client/client.h"
#include "package/package.h"
#include "tests/e2e/service_fixture_testutil.h"

namespace corvane::e2e {

inline constexpr uint64_t kMiB = 1024 * 1024;
inline constexpr uint64_t kBlock = 4 * kMiB;
inline constexpr int32_t kThreads = 5;
inline constexpr int32_t kStateReady = lorvane::STATE_READY;
inline constexpr int32_t kStateDownloading = lorvane::STATE_DOWNLOADING;
inline constexpr int32_t kStateComplete = lorvane::STATE_DOWNLOAD_COMPLETE;
inline constexpr int32_t kStateError = lorvane::STATE_ERROR;
// A whole download on a shared machine and under sanitizers.
inline constexpr Milliseconds kDownloadLimit{90'000};
// Until a running download has some blocks on disk.
inline constexpr Milliseconds kProgressLimit{60'000};
inline constexpr Milliseconds kServerLimit{10'000};

// "0x%08x" of a code.
[[nodiscard]] std::string Hex(HRESULT code);
// State, sizes, error and file of a package, for failure messages.
[[nodiscard]] std::string Describe(const lorvane::PackageView& package);

// Writes `size` bytes of seeded random data; returns their SHA-256.
std::string WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed);

// What a metafile on disk says: file size and downloaded bytes from its
// metadata record (at 24: six u32 string fields, the bitmap offset, the block
// size, a reserved u64, then the two u64), and the bits set in its bitmap.
struct MetaFileFacts {
  bool readable = false;
  uint64_t file_size = 0;
  uint64_t downloaded = 0;
  uint32_t blocks_set = 0;
  std::vector<bool> set;  // one per block
};

[[nodiscard]] MetaFileFacts ReadMetaFile(const std::string& path);

// A running service with its downloads going to a folder of the test user,
// kThreads workers per download.
class HttpDownloadTest : public ServiceTest {
 protected:
  void SetUp() override;

  void UseDownloadFolder(const std::string& folder);
  void UseThreads(int32_t threads);
  void UseConcurrentDownloads(int32_t downloads);

  // Waits until the package has finished or failed; false at the limit, with
  // *package the last record seen either way.
  bool WaitForEnd(const std::string& id, lorvane::PackageView* package,
                  Milliseconds limit = kDownloadLimit);
  // Waits until at least `blocks` whole blocks are recorded.
  bool WaitForBlocks(const std::string& id, uint64_t blocks);
  // Pauses through the client and waits until the task has stopped.
  void Pause(const std::string& id, lorvane::PackageView* package);
  void Start(const std::string& id);
  // The finished download: complete, its file under the final name with the
  // expected bytes, and neither its data file nor its metafile left.
  void ExpectCompleted(const std::string& id, const std::string& name, uint64_t size,
                       const std::string& sha256);

  std::string folder_;
};

// HttpDownloadTest with a folder, www_, for files a real nginx serves; the
// test is skipped where nginx is not installed.
class NginxDownloadTest : public HttpDownloadTest {
 protected:
  void SetUp() override;

  std::string www_;
};

}  // namespace corvane::e2e

#endif  // TESTS_E2E_HTTP_DOWNLOAD_FIXTURE_TESTUTIL_H_
