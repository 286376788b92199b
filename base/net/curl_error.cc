#include "base/net/curl_error.h"

#include "base/platform/error.h"

namespace tobric {

namespace {

// The Win32 number of the operating-system error libcurl saw, 0 when it saw none
// or the error has no Win32 equivalent.
uint32_t Win32FromOsErrno(long os_errno) {
  if (os_errno <= 0) return 0;
  return tobric::platform::Win32FromErrno(static_cast<int>(os_errno));
}

}  // namespace

HRESULT HresultFromCurlCode(CURLcode code, long os_errno) {
  using tobric::platform::HresultFromWin32;
  uint32_t win32 = 0;
  switch (code) {
    case CURLE_OK:
      return S_OK;

    case CURLE_COULDNT_CONNECT:  // 7: refused, unreachable, or the connect timed out
      win32 = Win32FromOsErrno(os_errno);
      if (win32 == 0) win32 = kErrorConnectionRefused;
      break;
    case CURLE_OPERATION_TIMEDOUT:  // 28: a time limit, or no data for too long
      win32 = tobric::platform::kErrorTimeout;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:   // 6
    case CURLE_COULDNT_RESOLVE_PROXY:  // 5
      win32 = kErrorHostNotFound;
      break;
    case CURLE_SEND_ERROR:  // 55
    case CURLE_RECV_ERROR:  // 56
      win32 = Win32FromOsErrno(os_errno);
      if (win32 == 0) win32 = kErrorConnectionReset;
      break;

    case CURLE_GOT_NOTHING:   // 52: closed without a single byte of response
    case CURLE_PARTIAL_FILE:  // 18: closed before the announced end of the body
      win32 = kErrorHttpConnectionError;
      break;
    case CURLE_WEIRD_SERVER_REPLY:    // 8
    case CURLE_HTTP2:                 // 16
    case CURLE_BAD_CONTENT_ENCODING:  // 61
    case CURLE_HTTP2_STREAM:          // 92
    case CURLE_HTTP3:                 // 95
      win32 = kErrorHttpInvalidServerResponse;
      break;
    case CURLE_TOO_MANY_REDIRECTS:  // 47
      win32 = kErrorHttpRedirectFailed;
      break;
    case CURLE_URL_MALFORMAT:  // 3
      win32 = kErrorHttpInvalidUrl;
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:  // 1: also a redirect to a scheme not allowed
      win32 = kErrorHttpUnrecognizedScheme;
      break;
    case CURLE_SSL_CONNECT_ERROR:         // 35
    case CURLE_PEER_FAILED_VERIFICATION:  // 60
    case CURLE_SSL_CERTPROBLEM:           // 58
    case CURLE_SSL_CIPHER:                // 59
    case CURLE_SSL_CACERT_BADFILE:        // 77
    case CURLE_SSL_SHUTDOWN_FAILED:       // 80
    case CURLE_SSL_CRL_BADFILE:           // 82
    case CURLE_SSL_ISSUER_ERROR:          // 83
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:  // 90
    case CURLE_SSL_INVALIDCERTSTATUS:     // 91
    case CURLE_SSL_CLIENTCERT:            // 98
      win32 = kErrorHttpSecureFailure;
      break;

    case CURLE_ABORTED_BY_CALLBACK:  // 42
      win32 = kErrorOperationAborted;
      break;
    case CURLE_OUT_OF_MEMORY:  // 27
      win32 = tobric::platform::kErrorOutOfMemory;
      break;

    default:
      return E_FAIL;
  }
  return HresultFromWin32(win32);
}

HRESULT HresultFromCertificateCheck(long verify_result) {
  // OpenSSL's X509_V_ERR_* numbers.
  switch (verify_result) {
    // libcurl checks the host name itself, after the chain, and reports a
    // mismatch as "unspecified" (or leaves "ok") since the chain was fine.
    case 0:   // X509_V_OK
    case 1:   // X509_V_ERR_UNSPECIFIED
    case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
    case 64:  // X509_V_ERR_IP_ADDRESS_MISMATCH
      return E_CERT_NAME_MISMATCH;
    case 9:   // X509_V_ERR_CERT_NOT_YET_VALID
    case 10:  // X509_V_ERR_CERT_HAS_EXPIRED
    case 12:  // X509_V_ERR_CRL_HAS_EXPIRED
      return E_CERT_EXPIRED;
    default:
      return E_CERT_UNTRUSTED;
  }
}

HRESULT HresultFromCurlUrlCode(CURLUcode code) {
  using tobric::platform::HresultFromWin32;
  switch (code) {
    case CURLUE_OK:
      return S_OK;
    case CURLUE_OUT_OF_MEMORY:  // 7
      return HresultFromWin32(tobric::platform::kErrorOutOfMemory);
    case CURLUE_UNSUPPORTED_SCHEME:  // 5
    case CURLUE_NO_SCHEME:           // 10
    case CURLUE_BAD_SCHEME:          // 27
      return HresultFromWin32(kErrorHttpUnrecognizedScheme);
    case CURLUE_BAD_HANDLE:        // 1
    case CURLUE_BAD_PARTPOINTER:   // 2
    case CURLUE_UNKNOWN_PART:      // 9
      return E_FAIL;
    default:  // everything the parser says about the text itself
      return HresultFromWin32(kErrorHttpInvalidUrl);
  }
}

}  // namespace tobric
