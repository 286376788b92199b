// The detector of P2P links: "tavp://<size>|<source>|<name>".
#ifndef DOWNLOAD_TAVP_DETECTOR_H_
#define DOWNLOAD_TAVP_DETECTOR_H_

#include <string>
#include <utility>

#include "download/content_detector.h"

namespace lorvane {

// Reads the size and the file name out of a tavp link; the middle field must be
// present but is the P2P engine's business. Nothing goes to the network. Owned
// and used by one caller on one thread, like every detector.
class TavpDetector : public ContentDetector {
 public:
  explicit TavpDetector(std::string uri) : ContentDetector(std::move(uri)) {}

  // The same as Detect: the link alone says everything.
  [[nodiscard]] HRESULT ParseFileName() override;
  // E_BAD_LINK when the link does not have its three fields, or its size is 0 or
  // not a number, or its name is empty; then the fields stay unchanged. The name
  // is taken from the lower-cased link, so it is always lower case.
  [[nodiscard]] HRESULT Detect() override;
};

}  // namespace lorvane

#endif  // DOWNLOAD_TAVP_DETECTOR_H_
