// Result codes of Corvane: 32-bit HRESULT-style values, negative on failure.
//
// The service's own codes are of facility 0x044 with the severity and customer
// bits set (0xA044nnnn). Platform errors travel as HRESULT_FROM_WIN32 of their
// Win32 number (see base/platform/error.h), so the same value means the same
// failure on the wire, in download_list.db and in a log line on every platform.
#ifndef BASE_RESULT_CODES_H_
#define BASE_RESULT_CODES_H_

#include <cstdint>

using HRESULT = int32_t;

// Builds a code from its 32-bit pattern; the casts keep the tables below readable.
constexpr HRESULT MakeHresult(uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Standard codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);

// The service's own codes (facility 0x044).
inline constexpr uint32_t kServiceFacilityMask = 0x1FFF0000;
inline constexpr uint32_t kServiceFacility = 0x00440000;

inline constexpr HRESULT E_FILE_MISSING = MakeHresult(0xA0440201);
inline constexpr HRESULT E_EMPTY_URI = MakeHresult(0xA0440202);
inline constexpr HRESULT E_NO_BLOCK_LEFT = MakeHresult(0xA0440203);
inline constexpr HRESULT E_PACKAGE_NOT_FOUND = MakeHresult(0xA0440205);
inline constexpr HRESULT E_METAFILE_BAD = MakeHresult(0xA0440207);
inline constexpr HRESULT E_METAFILE_MISMATCH = MakeHresult(0xA0440208);
inline constexpr HRESULT E_METAFILE_SHORT_BITMAP = MakeHresult(0xA0440209);
inline constexpr HRESULT E_METAFILE_TOO_LARGE = MakeHresult(0xA044020A);
inline constexpr HRESULT E_METAFILE_SAVE_FAILED = MakeHresult(0xA044020B);
inline constexpr HRESULT E_RENAME_FAILED = MakeHresult(0xA044020D);
inline constexpr HRESULT E_XML_SAVE_FAILED = MakeHresult(0xA044020E);
inline constexpr HRESULT E_XML_LOAD_FAILED = MakeHresult(0xA0440210);
inline constexpr HRESULT E_INVALID_TRANSITION = MakeHresult(0xA0440211);
inline constexpr HRESULT E_UNSUPPORTED_URI = MakeHresult(0xA0440213);
inline constexpr HRESULT E_BAD_LINK = MakeHresult(0xA0440214);
inline constexpr HRESULT E_CANCELED = MakeHresult(0xA0440215);
inline constexpr HRESULT E_TOO_MANY_WORKER_FAILURES = MakeHresult(0xA0440216);
inline constexpr HRESULT E_CREATE_FILE_FAILED = MakeHresult(0xA0440217);
inline constexpr HRESULT E_INVALID_CONFIG_VALUE = MakeHresult(0xA0440218);
inline constexpr HRESULT E_CONNECT_FAILED = MakeHresult(0xA0440219);
inline constexpr HRESULT E_DISK_FULL = MakeHresult(0xA044021A);
inline constexpr HRESULT E_ALREADY_RUNNING = MakeHresult(0xA044021B);
inline constexpr HRESULT E_P2P_FAILED = MakeHresult(0xA044021C);
inline constexpr HRESULT E_P2P_MODULE_MISSING = MakeHresult(0xA044021D);
inline constexpr HRESULT E_CREATE_TASK_FAILED = MakeHresult(0xA044021E);
inline constexpr HRESULT E_TASK_ALREADY_DONE = MakeHresult(0xA044021F);
inline constexpr HRESULT E_LIST_VERSION_UNSUPPORTED = MakeHresult(0xA0440220);
inline constexpr HRESULT E_P2P_NO_TASK = MakeHresult(0xA0440222);
inline constexpr HRESULT E_P2P_ENGINE_ERROR = MakeHresult(0xA0440223);
// The file on the server kept changing (another validator or size, a 416, or
// a full answer to a range asked with If-Range) after the download had started
// over for it.
inline constexpr HRESULT E_FILE_CHANGED = MakeHresult(0xA0440224);
// The server answers a range request with the whole file: the download goes
// on through one stream. Seen by a client only when that stream cannot start.
inline constexpr HRESULT E_RANGES_REFUSED = MakeHresult(0xA0440225);
// The server's answer cannot be right: a range other than the one asked for,
// a body longer or shorter than it says, a size that is not a number.
inline constexpr HRESULT E_BAD_SERVER_RESPONSE = MakeHresult(0xA0440226);
// The server's certificate cannot be trusted: its issuer is not an authority
// the user trusts (the system's store, or SSL_CERT_FILE / SSL_CERT_DIR).
inline constexpr HRESULT E_CERT_UNTRUSTED = MakeHresult(0xA0440227);
// The server's certificate has expired, or is not valid yet.
inline constexpr HRESULT E_CERT_EXPIRED = MakeHresult(0xA0440228);
// The server's certificate is for another host name.
inline constexpr HRESULT E_CERT_NAME_MISMATCH = MakeHresult(0xA0440229);
inline constexpr HRESULT E_INVALID_URL = MakeHresult(0xA0440313);

// Codes of the HTTP request layer.
inline constexpr HRESULT E_NO_CONNECTION = MakeHresult(0x80040801);
inline constexpr HRESULT E_REQUEST_ABORTED = MakeHresult(0x80040810);
inline constexpr HRESULT E_NO_HTTP_SESSION = MakeHresult(0x80040890);
// A final HTTP status 100..505 that is not a success: E_HTTP_STATUS_BASE + status.
inline constexpr HRESULT E_HTTP_STATUS_BASE = MakeHresult(0x80042000);
inline constexpr HRESULT E_HTTP_STATUS_UNKNOWN = MakeHresult(0x800423FF);
constexpr HRESULT HttpStatusHresult(int status) { return E_HTTP_STATUS_BASE + status; }

#endif  // BASE_RESULT_CODES_H_
