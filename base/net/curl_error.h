// libcurl results as result codes. Every caller of libcurl turns its failures
// into HRESULTs here, so that the same network condition has the same code
// everywhere (in a log line, on the wire, in download_list.db).
//
// Conditions with a general Win32 or Winsock number use it (refused 1225, timed
// out 1460, host not found 11001, reset 10054...); conditions only an HTTP client
// knows use the numbers of the Windows HTTP client (12000 and up), so a code stored or
// sent by a Windows build and by this one means the same.
#ifndef BASE_NET_CURL_ERROR_H_
#define BASE_NET_CURL_ERROR_H_

#include <curl/curl.h>

#include <cstdint>

#include "base/result_codes.h"

namespace tobric {

// Win32 numbers of HTTP-client conditions (ERROR_WINHTTP_...).
inline constexpr uint32_t kErrorHttpInvalidUrl = 12005;             // ..._INVALID_URL
inline constexpr uint32_t kErrorHttpUnrecognizedScheme = 12006;     // ..._UNRECOGNIZED_SCHEME
inline constexpr uint32_t kErrorHttpConnectionError = 12030;        // ..._CONNECTION_ERROR
inline constexpr uint32_t kErrorHttpHeaderNotFound = 12150;         // ..._HEADER_NOT_FOUND
inline constexpr uint32_t kErrorHttpInvalidServerResponse = 12152;  // ..._INVALID_SERVER_RESPONSE
inline constexpr uint32_t kErrorHttpRedirectFailed = 12156;         // ..._REDIRECT_FAILED
inline constexpr uint32_t kErrorHttpSecureFailure = 12175;          // ..._SECURE_FAILURE
// Win32 and Winsock numbers of network conditions libcurl reports without an
// operating-system error.
inline constexpr uint32_t kErrorInsufficientBuffer = 122;    // ERROR_INSUFFICIENT_BUFFER
inline constexpr uint32_t kErrorOperationAborted = 995;      // ERROR_OPERATION_ABORTED
inline constexpr uint32_t kErrorConnectionRefused = 1225;    // ERROR_CONNECTION_REFUSED
inline constexpr uint32_t kErrorConnectionReset = 10054;     // WSAECONNRESET
inline constexpr uint32_t kErrorHostNotFound = 11001;        // WSAHOST_NOT_FOUND

// The code of a libcurl transfer result. `os_errno` is the handle's
// CURLINFO_OS_ERRNO: where libcurl saw an operating-system error (a refused or
// unreachable connect, a reset receive), that error's own code is more precise
// than the class libcurl reports, and it is used when it has a Win32 number.
// CURLE_OK gives S_OK; a result with no better equivalent gives E_FAIL.
[[nodiscard]] HRESULT HresultFromCurlCode(CURLcode code, long os_errno = 0);

// The code of a certificate the TLS handshake refused, from the handle's
// CURLINFO_SSL_VERIFYRESULT (OpenSSL's verification result): E_CERT_EXPIRED
// for a certificate out of its validity period, E_CERT_UNTRUSTED for an
// issuer nobody trusts, E_CERT_NAME_MISMATCH for another host name (which
// libcurl checks itself, after a chain that was fine).
[[nodiscard]] HRESULT HresultFromCertificateCheck(long verify_result);

// The code of a failure of libcurl's URL parser (curl_url_set/curl_url_get).
[[nodiscard]] HRESULT HresultFromCurlUrlCode(CURLUcode code);

}  // namespace tobric

#endif  // BASE_NET_CURL_ERROR_H_
