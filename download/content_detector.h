// Content detection: which kind of task serves a URI, and under which file name
// and size its content is stored.
//
// The task factory classifies a package's URI with ClassifyUri; the package's
// initial state, the HTTP task and the P2P task each create a detector for the
// URI with CreateDetector, call one operation, read file_name and content_length
// and destroy it.
#ifndef DOWNLOAD_CONTENT_DETECTOR_H_
#define DOWNLOAD_CONTENT_DETECTOR_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/result_codes.h"

namespace lorvane {

enum SchemeType {
  SCHEME_HTTP = 0,
  SCHEME_HTTPS = 1,
  SCHEME_TAVP = 2,
  SCHEME_UNKNOWN = 3,
};

// The scheme of `uri` after trimming white space at both ends and lower-casing:
// "http", "https" or "tavp" when the text holds "<letters>://<at least one
// character>" with exactly that scheme, else SCHEME_UNKNOWN. A pure function of
// the text; any thread.
[[nodiscard]] SchemeType ClassifyUri(const std::string& uri);

// What is known about one URI's content. Detectors are short-lived and never
// shared: the caller of CreateDetector owns one, uses it from one thread, calls
// one operation and reads the results. No locks.
class ContentDetector {
 public:
  virtual ~ContentDetector() = default;
  ContentDetector(const ContentDetector&) = delete;
  ContentDetector& operator=(const ContentDetector&) = delete;

  // Fills file_name (and, for P2P URIs, content_length) from the URI alone.
  [[nodiscard]] virtual HRESULT ParseFileName() = 0;
  // Fills content_length and file_name, going to the network where needed.
  [[nodiscard]] virtual HRESULT Detect() = 0;

  const std::string& uri() const { return uri_; }
  // Empty until an operation succeeds.
  const std::string& file_name() const { return file_name_; }
  // 0 until an operation succeeds.
  uint64_t content_length() const { return content_length_; }

  // A flag that cuts a running Detect short once it turns true (E_CANCELED);
  // not owned, and must outlive the operation.
  void set_cancel_flag(const std::atomic<bool>* cancel) { cancel_ = cancel; }
  [[nodiscard]] const std::atomic<bool>* cancel_flag() const { return cancel_; }

 protected:
  explicit ContentDetector(std::string uri) : uri_(std::move(uri)) {}

  void set_file_name(std::string file_name) { file_name_ = std::move(file_name); }
  void set_content_length(uint64_t content_length) { content_length_ = content_length; }

 private:
  const std::string uri_;
  std::string file_name_;
  uint64_t content_length_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
};

// The detector for URIs of no known scheme: both operations fail with
// E_UNSUPPORTED_URI. Its uri is empty.
class NullDetector : public ContentDetector {
 public:
  NullDetector() : ContentDetector(std::string()) {}

  [[nodiscard]] HRESULT ParseFileName() override;
  [[nodiscard]] HRESULT Detect() override;
};

// The detector for `uri`'s scheme (HttpDector for http and https, TavpDetector
// for tavp), holding a copy of `uri`; a NullDetector for any other. Never null.
[[nodiscard]] std::unique_ptr<ContentDetector> CreateDetector(const std::string& uri);

}  // namespace lorvane

#endif  // DOWNLOAD_CONTENT_DETECTOR_H_
