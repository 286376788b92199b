#include "base/net/curl_global.h"

#include <curl/curl.h>

#include "base/net/curl_error.h"

namespace tobric {

HRESULT EnsureCurlInitialized() {
  // A function-local static is initialized exactly once even when several
  // threads arrive together; the others wait for it.
  static const HRESULT result = HresultFromCurlCode(curl_global_init(CURL_GLOBAL_DEFAULT));
  return result;
}

}  // namespace tobric
