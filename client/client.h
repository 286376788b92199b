// The client side of the service's local RPC interface.
//
// Client is the one place on the client side that speaks the wire format: it
// connects to the service's socket in the user's object folder, binds, and then
// makes calls in sequence on that connection, one method per procedure. Strings
// go in and come out as UTF-8; package records come back as PackageView.
//
// Every method returns the outcome of the call itself: S_OK when the service
// answered, a platform code when the connection failed (the socket is missing:
// HRESULT_FROM_WIN32(2), nobody listens: HRESULT_FROM_WIN32(1225), no answer in
// time: HRESULT_FROM_WIN32(1460), the service went away: HRESULT_FROM_WIN32(38)
// or (109)), FaultHresult(fault) when the service refused the call, and
// HRESULT_FROM_WIN32(kRpcProtocolError) for an answer that does not parse. The
// procedure's own result (its boolean or HRESULT) comes back through an out
// parameter and is only meaningful when the call succeeded. After a failed call
// the connection is dropped (the service closes it too after a malformed request,
// and an answer that was cut or garbled leaves the stream out of step); the next
// call fails with HRESULT_FROM_WIN32(kRpcServerUnavailable) until Connect.
//
// Ownership and threads: one Client owns one connection and is used by one
// thread at a time; it has no locks. Separate Clients are independent.
#ifndef CLIENT_CLIENT_H_
#define CLIENT_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform/lock_file.h"
#include "base/platform/unix_socket.h"
#include "base/result_codes.h"
#include "service/rpc_protocol.h"

namespace lorvane {

// Win32 numbers of the client's own failures, returned as HRESULT_FROM_WIN32.
inline constexpr uint32_t kRpcServerUnavailable = 1722;   // not connected
inline constexpr uint32_t kRpcProtocolError = 1728;       // a malformed answer
inline constexpr uint32_t kServiceStartTimeout = 1053;    // corvaned never became ready
inline constexpr uint32_t kServiceProgramMissing = 1060;  // no corvaned to start
// A corvaned of another object folder (another session's XDG_RUNTIME_DIR) holds
// the user's data folder: this client cannot reach it, and a start would be refused.
inline constexpr uint32_t kServiceRunsElsewhere = 1056;
// The service refused a call because it is stopping (it answers "too busy" and
// closes the connection, where a busy service keeps it).
inline constexpr uint32_t kServiceStopping = 1115;

// The code of a refused call: HRESULT_FROM_WIN32 of the fault, so the four
// faults of the wire format stay apart (0x6B5 -> 0x800706B5 and so on). A fault
// that is already a failure code is passed on as it is.
[[nodiscard]] HRESULT FaultHresult(int32_t fault);

// The package states the client tells apart, as the record numbers them.
constexpr int32_t kStateReady = 2;
constexpr int32_t kStatePausing = 3;
constexpr int32_t kStateWaiting = 4;
constexpr int32_t kStateDownloading = 5;
constexpr int32_t kStateComplete = 6;
constexpr int32_t kStateError = 7;

// One package as the client shows it: the PackageInfo record in UTF-8.
struct PackageView {
  int32_t state = 0;           // 1 STATE_INIT ... 7 STATE_ERROR
  int32_t download_speed = 0;  // bytes per second
  uint64_t create_time = 0;    // FILETIME
  // FILETIME, 0 until the file has its final name (cleared when queued again).
  uint64_t complete_time = 0;
  uint64_t total_size = 0;     // bytes, 0 while unknown
  uint64_t download_size = 0;
  int32_t error_code = 0;
  std::string error_text;  // the user message of a negative error_code
  std::string id;
  std::string path;
  std::string name;
  std::string caption;
  std::string uri;
};

struct ClientTimeLimits {
  uint32_t connect_ms = 5'000;
  // Every call but DownloadUri. The service answers from memory, but a call may
  // first wait up to 30 s for one of its 20 call slots.
  uint32_t call_ms = 60'000;
  // DownloadUri probes the URI's server (connect and idle limits of 60 s and
  // 30 s) before it answers, after the same wait for a slot.
  uint32_t download_call_ms = 240'000;
};

struct ServiceStartOptions {
  // The service program; empty: FindServiceProgram().
  std::string program;
  // How long to wait for the readiness event and the first connection.
  uint32_t ready_time_limit_ms = 10'000;
};

// The service program to start: $CORVANED when set, else "corvaned" beside the
// running program, else "corvaned" on $PATH; empty when there is none.
[[nodiscard]] std::string FindServiceProgram();

class Client {
 public:
  // A client of the user's own service (the socket in the object folder).
  Client();
  // A client of the socket at socket_path.
  explicit Client(std::string socket_path);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void set_time_limits(const ClientTimeLimits& limits) { limits_ = limits; }
  [[nodiscard]] const ClientTimeLimits& time_limits() const { return limits_; }

  // Connects and binds. S_OK at once when already connected.
  [[nodiscard]] HRESULT Connect();
  // Connects; when nobody answers, starts the service in the background and
  // waits (bounded) for its readiness event, then connects. A service that is
  // there but refuses the bind is not started a second time. Fails with
  // HRESULT_FROM_WIN32(kServiceProgramMissing) when there is no program to
  // start, HRESULT_FROM_WIN32(kServiceStartTimeout) when it never answered,
  // HRESULT_FROM_WIN32(kServiceRunsElsewhere) without starting anything when
  // the user's data folder is held by a service whose socket is in another
  // object folder (other_service() then names it).
  [[nodiscard]] HRESULT EnsureServiceRunning(const ServiceStartOptions& options = {});
  // The service EnsureServiceRunning last found out of reach: its pid and its
  // object folder.
  [[nodiscard]] const tobric::platform::LockHolder& other_service() const { return other_service_; }
  [[nodiscard]] bool connected() const { return stream_ != nullptr; }
  void Disconnect();

  // Procedures, in the order of their numbers. Ids of the batch procedures are
  // joined with ";" on the wire; an id holding ";" is refused with E_INVALIDARG.
  [[nodiscard]] HRESULT GetPackageInfo(const std::string& id, PackageView* info, bool* found);
  // At most max_records records (one answer holds rpc::kMaxListRecords).
  // The elements of *packages are reused, so a caller that polls with the
  // same vector allocates little; a failed call leaves it empty.
  [[nodiscard]] HRESULT GetPackageList(std::vector<PackageView>* packages, bool* ok,
                                       int32_t max_records = rpc::kMaxListRecords);
  [[nodiscard]] HRESULT GetPackageCount(int32_t* count);
  [[nodiscard]] HRESULT IsUriExist(const std::string& uri, bool* exists);
  [[nodiscard]] HRESULT PausePackages(const std::vector<std::string>& ids, bool* all_ok);
  [[nodiscard]] HRESULT StartPackages(const std::vector<std::string>& ids, bool* all_ok);
  [[nodiscard]] HRESULT DeletePackages(const std::vector<std::string>& ids, bool* all_ok);
  [[nodiscard]] HRESULT DeletePackagesPermanently(const std::vector<std::string>& ids,
                                                  HRESULT* result);
  [[nodiscard]] HRESULT DownloadUri(const std::string& uri, HRESULT* result);
  [[nodiscard]] HRESULT SetDownloadFolder(const std::string& folder, HRESULT* result);
  [[nodiscard]] HRESULT GetDownloadFolder(std::string* folder, HRESULT* result);
  [[nodiscard]] HRESULT GetErrorMessage(HRESULT code, std::string* message);
  [[nodiscard]] HRESULT SetThreadNumPerTask(int32_t value, HRESULT* result);
  [[nodiscard]] HRESULT SetConcurrentTaskNum(int32_t value, HRESULT* result);
  [[nodiscard]] HRESULT GetThreadNumPerTask(int32_t* value, HRESULT* result);
  [[nodiscard]] HRESULT GetConcurrentTaskNum(int32_t* value, HRESULT* result);
  [[nodiscard]] HRESULT SetUpBandwidth(int32_t value, HRESULT* result);
  [[nodiscard]] HRESULT GetUpBandwidth(int32_t* value, HRESULT* result);
  [[nodiscard]] HRESULT SetDownBandwidth(int32_t value, HRESULT* result);
  [[nodiscard]] HRESULT GetDownBandwidth(int32_t* value, HRESULT* result);
  [[nodiscard]] HRESULT ExitService();

 private:
  [[nodiscard]] HRESULT SocketPath(std::string* path);
  // Connect, telling whether a service was there at all (*reached is false
  // when the socket could not be connected, true when the bind failed).
  [[nodiscard]] HRESULT Open(bool* reached);
  // Sends one request and reads its answer; *answer is what follows the
  // status, valid until the next call.
  [[nodiscard]] HRESULT Call(const rpc::Writer& request, uint32_t time_limit_ms,
                             std::string_view* answer);
  // Call, then hands the answer to a reader that must consume all of it.
  template <typename Parse>
  [[nodiscard]] HRESULT CallAndParse(const rpc::Writer& request, uint32_t time_limit_ms,
                                     Parse parse);
  [[nodiscard]] HRESULT BatchCall(rpc::Procedure procedure, const std::vector<std::string>& ids,
                                  bool* all_ok);
  [[nodiscard]] HRESULT SetValue(rpc::Procedure procedure, int32_t value, HRESULT* result);
  [[nodiscard]] HRESULT GetValue(rpc::Procedure procedure, int32_t* value, HRESULT* result);
  [[nodiscard]] HRESULT StringCall(rpc::Procedure procedure, const std::string& text,
                                   uint32_t time_limit_ms, HRESULT* result);

  // Whether the user's data folder is held by a service of another object
  // folder than this client's socket; *holder then names it.
  [[nodiscard]] bool ServiceRunsElsewhere(tobric::platform::LockHolder* holder);

  std::string socket_path_;  // empty until the object folder is known
  tobric::platform::LockHolder other_service_;
  ClientTimeLimits limits_;
  std::unique_ptr<tobric::platform::UnixStream> stream_;
  // The last answer as it came; kept from call to call so that a poll of a
  // long list does not map and fault in megabytes of fresh memory each time.
  std::string received_;
};

}  // namespace lorvane

#endif  // CLIENT_CLIENT_H_
