// The process-wide set-up of libcurl.
#ifndef BASE_NET_CURL_GLOBAL_H_
#define BASE_NET_CURL_GLOBAL_H_

#include "base/result_codes.h"

namespace tobric {

// Initializes libcurl for the process on the first call; later calls return the
// first call's result at once. Every user of libcurl calls it before making a
// handle: curl_global_init must run once, before any other thread uses libcurl,
// and is not safe to run while one does. The set-up is never undone (libcurl
// stays usable until the process ends).
[[nodiscard]] HRESULT EnsureCurlInitialized();

}  // namespace tobric

#endif  // BASE_NET_CURL_GLOBAL_H_
