#include "download/curl_global.h"

#include <curl/curl.h>

#include "download/curl_error.h"

namespace lorvane {

HRESULT EnsureCurlInitialized() {
  // A function-local static is initialized exactly once even when several
  // threads arrive together; the others wait for it.
  static const HRESULT result = HresultFromCurlCode(curl_global_init(CURL_GLOBAL_DEFAULT));
  return result;
}

}  // namespace lorvane
