#include "service/rpc_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/clock.h"
#include "base/platform/error.h"
#include "base/platform/locations.h"
#include "base/platform/process.h"
#include "base/platform/unix_socket.h"
#include "base/platform/work_pool.h"
#include "service/rpc_procedures.h"
#include "service/rpc_protocol.h"

namespace lorvane {

namespace {

const HRESULT kEndOfFile = tobric::platform::HresultFromWin32(38);
const HRESULT kAborted = tobric::platform::HresultFromWin32(995);
const HRESULT kTimedOut = tobric::platform::HresultFromWin32(tobric::platform::kErrorTimeout);
// After a failed accept (out of descriptors, say) the loop pauses rather than spin.
constexpr uint32_t kAcceptRetryMs = 100;

uint32_t ReadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string StatusBody(int32_t status) {
  rpc::Writer writer;
  writer.I32(status);
  return std::move(writer.bytes());
}

// A response is built behind room for its length, which is filled in when the
// body is known, so that the body is never copied into a frame of its own.
constexpr size_t kLengthBytes = 4;

// Starts a response over whatever *out held: the room for the length, then the
// call status.
void StatusResponse(int32_t status, rpc::Writer* out) {
  out->bytes().clear();
  out->U32(0);
  out->I32(status);
}

}  // namespace

// One client connection. `stream` and `bound` belong to the connection's item;
// `in_call` is guarded by the server's mutex_, which also keeps the object alive
// while StopListening shuts its stream down.
struct RpcServer::Connection {
  RpcServer* server = nullptr;
  std::unique_ptr<tobric::platform::UnixStream> stream;
  bool bound = false;
  bool in_call = false;
};

namespace {

// Connections beyond max_connections are closed at accept, so with a
// long-running thread for each of them no connection ever waits for a thread.
// Nothing but connections runs there: no default thread is ever made, and no
// tick or wait is taken.
std::unique_ptr<tobric::platform::WorkPool> MakeConnectionPool(const RpcServerOptions& options) {
  if (options.pool != nullptr) return nullptr;
  tobric::platform::WorkPool::Options pool_options;
  pool_options.default_threads = 1;
  pool_options.max_long_running_threads = std::max(1, options.max_connections);
  pool_options.max_timer_or_wait_threads = 0;
  return std::make_unique<tobric::platform::WorkPool>(pool_options);
}

}  // namespace

RpcServer::RpcServer(RpcServerOptions options, RpcDispatcher* dispatcher)
    : options_(std::move(options)),
      dispatcher_(dispatcher),
      own_pool_(MakeConnectionPool(options_)),
      pool_(own_pool_ != nullptr ? own_pool_.get() : options_.pool) {}

RpcServer::~RpcServer() {
  StopListening();
  {
    tobric::MutexLock hold(mutex_);
    while (!connections_.empty()) changed_.wait(hold);
  }
  // Joins the connection threads; every one has ended its connection by now.
  own_pool_.reset();
}

HRESULT RpcServer::Start() {
  std::string path = options_.socket_path;
  if (path.empty()) {
    std::string folder;
    const HRESULT hr = tobric::platform::GetObjectFolder(&folder);
    if (Failed(hr)) return hr;
    path = tobric::platform::JoinPath(folder, rpc::kSocketName);
  }
  std::unique_ptr<tobric::platform::UnixListener> listener;
  const HRESULT hr = tobric::platform::UnixListener::Listen(path, 0600, &listener);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[RpcServer::Start][Cannot listen on %s][0x%x]",
         path.c_str(), hr);
    return hr;
  }
  tobric::MutexLock hold(mutex_);
  if (stopping_ || listener_ != nullptr) return S_FALSE;
  listener_ = std::move(listener);
  return S_OK;
}

std::string RpcServer::socket_path() const {
  tobric::MutexLock hold(mutex_);
  return listener_ != nullptr ? listener_->path() : std::string();
}

int RpcServer::connection_count() const {
  tobric::MutexLock hold(mutex_);
  return static_cast<int>(connections_.size());
}

void RpcServer::Listen() {
  tobric::platform::UnixListener* listener;
  {
    tobric::MutexLock hold(mutex_);
    listener = listener_.get();
    if (listener == nullptr) {
      while (!stopping_) changed_.wait(hold);
    }
  }
  while (listener != nullptr) {
    std::unique_ptr<tobric::platform::UnixStream> stream;
    const HRESULT hr = listener->Accept(tobric::platform::kNoTimeLimit, &stream);
    if (hr == kAborted) break;
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelError, "[RpcServer::Listen][Accept failed][0x%x]", hr);
      tobric::platform::SleepMs(kAcceptRetryMs);
      continue;
    }
    Accepted(std::move(stream));
  }
  tobric::MutexLock hold(mutex_);
  // Closing the socket and removing its file turns later clients away at once
  // instead of leaving them in a backlog nobody accepts from.
  listener_.reset();
  while (!connections_.empty()) changed_.wait(hold);
}

void RpcServer::StopListening() {
  tobric::MutexLock hold(mutex_);
  if (stopping_) return;
  stopping_ = true;
  if (listener_ != nullptr) listener_->Shutdown();
  for (Connection* connection : connections_) {
    if (!connection->in_call) connection->stream->Shutdown();
  }
  changed_.notify_all();
  slot_freed_.notify_all();
}

void RpcServer::Accepted(std::unique_ptr<tobric::platform::UnixStream> stream) {
  // The object folder already keeps other users out; this holds even when its
  // mode was changed by hand.
  if (stream->peer_uid() != tobric::platform::UserId()) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning, "[RpcServer::Accept][Refused user %u]",
         stream->peer_uid());
    return;
  }
  auto connection = std::make_unique<Connection>();
  connection->server = this;
  connection->stream = std::move(stream);
  Connection* raw = connection.get();
  {
    tobric::MutexLock hold(mutex_);
    if (stopping_) return;
    if (static_cast<int>(connections_.size()) >= options_.max_connections) {
      TLOG(tobric::LC_USER, tobric::kLevelWarning,
           "[RpcServer::Accept][Refused: %d connections served]", options_.max_connections);
      return;
    }
    connections_.insert(connection.release());
  }
  // A connection may wait long for its client, so it gets a thread of its own
  // rather than one of the pool's few default threads.
  const HRESULT hr = pool_->Queue(&RunConnection, raw, tobric::platform::kWorkLongRunning);
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelError, "[RpcServer::Accept][Queue failed][0x%x]", hr);
    EndConnection(raw);
  }
}

void RpcServer::RunConnection(void* context) {
  auto* connection = static_cast<Connection*>(context);
  RpcServer* server = connection->server;
  server->Serve(connection);
  server->EndConnection(connection);
}

void RpcServer::EndConnection(Connection* connection) {
  tobric::MutexLock hold(mutex_);
  connections_.erase(connection);
  delete connection;
  // Notified under the lock: a destructor waiting for the last connection may
  // free the server as soon as the lock is let go.
  changed_.notify_all();
}

bool RpcServer::SetInCall(Connection* connection, bool in_call) {
  tobric::MutexLock hold(mutex_);
  connection->in_call = in_call;
  return !stopping_;
}

void RpcServer::Serve(Connection* connection) {
  for (;;) {
    std::string body;
    if (!ReadRequest(connection, &body)) return;
    SetInCall(connection, true);
    rpc::Writer response;
    std::unique_ptr<RpcResponseTail> tail;
    bool close = false;
    HandleRequest(connection, body, &response, &tail, &close);
    // A request may be a megabyte; it is not needed while a long answer goes out.
    body = std::string();
    const HRESULT hr = SendResponse(connection, &response, tail.get());
    const bool serving = SetInCall(connection, false);
    if (Failed(hr)) {
      TLOG(tobric::LC_USER, tobric::kLevelWarning, "[RpcServer::Serve][Response not sent][0x%x]",
           hr);
      return;
    }
    if (close || !serving) return;
  }
}

HRESULT RpcServer::SendResponse(Connection* connection, rpc::Writer* response,
                                RpcResponseTail* tail) {
  std::string& bytes = response->bytes();
  const uint64_t length =
      bytes.size() - kLengthBytes + (tail != nullptr ? static_cast<uint64_t>(tail->size()) : 0);
  if (length > UINT32_MAX) return E_UNEXPECTED;
  for (size_t i = 0; i < kLengthBytes; ++i) bytes[i] = static_cast<char>(length >> (8 * i));
  const uint64_t deadline = tobric::platform::MonotonicMs() + options_.write_limit_ms;
  uint64_t sent = 0;
  for (bool more = true; more;) {
    // The head of the response goes out with the first piece of its tail.
    more = tail != nullptr && tail->AppendNext(response);
    if (bytes.empty()) continue;
    const uint64_t now = tobric::platform::MonotonicMs();
    if (now >= deadline) return kTimedOut;
    const HRESULT hr = connection->stream->WriteAll(bytes.data(), bytes.size(),
                                                    static_cast<uint32_t>(deadline - now));
    if (Failed(hr)) return hr;
    sent += bytes.size();
    bytes.clear();
  }
  // Pieces that do not add up to the length sent ahead would leave the client
  // reading the next answer as part of this one.
  if (sent != kLengthBytes + length) {
    TLOG(tobric::LC_USER, tobric::kLevelError,
         "[RpcServer::SendResponse][%llu bytes sent for a length of %llu]",
         static_cast<unsigned long long>(sent), static_cast<unsigned long long>(length));
    return E_UNEXPECTED;
  }
  return S_OK;
}

bool RpcServer::ReadRequest(Connection* connection, std::string* body) {
  tobric::platform::UnixStream* stream = connection->stream.get();
  HRESULT hr = stream->WaitForData(options_.idle_limit_ms);
  if (hr == kTimedOut) {
    TLOG(tobric::LC_USER, 2, "[RpcServer::ReadRequest][Idle connection closed]");
    return false;
  }
  if (Failed(hr)) return false;
  const uint64_t first_byte = tobric::platform::MonotonicMs();
  uint8_t header[4];
  hr = stream->ReadExact(header, sizeof(header), options_.message_limit_ms);
  if (Succeeded(hr)) {
    const uint32_t length = ReadLe32(header);
    if (length > rpc::kMaxRequestBytes) {
      TLOG(tobric::LC_USER, tobric::kLevelWarning,
           "[RpcServer::ReadRequest][Request of %u bytes refused]", length);
      const std::string frame = rpc::Frame(StatusBody(rpc::kFaultMalformedRequest));
      static_cast<void>(stream->WriteAll(frame.data(), frame.size(), options_.write_limit_ms));
      return false;
    }
    body->resize(length);
    const uint64_t spent = tobric::platform::MonotonicMs() - first_byte;
    const uint32_t left = static_cast<uint32_t>(
        options_.message_limit_ms - std::min<uint64_t>(spent, options_.message_limit_ms));
    hr = stream->ReadExact(body->data(), body->size(), left);
  }
  // A client that closes between calls is the ordinary end of a connection.
  if (hr == kEndOfFile) return false;
  if (Failed(hr)) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[RpcServer::ReadRequest][Incomplete request, connection closed][0x%x]", hr);
    return false;
  }
  return true;
}

void RpcServer::HandleRequest(Connection* connection, const std::string& body,
                              rpc::Writer* response, std::unique_ptr<RpcResponseTail>* tail,
                              bool* close) {
  rpc::Reader in(body);
  uint16_t procedure = 0;
  uint16_t zero = 0;
  int32_t fault = 0;
  if (!in.U16(&procedure) || !in.U16(&zero) || zero != 0) {
    fault = rpc::kFaultMalformedRequest;
  } else if (procedure == rpc::kBindProcedure) {
    std::array<uint8_t, 16> uuid{};
    uint16_t major = 0;
    uint16_t minor = 0;
    if (!in.Raw(uuid.data(), uuid.size()) || !in.U16(&major) || !in.U16(&minor) || !in.AtEnd()) {
      fault = rpc::kFaultMalformedRequest;
    } else if (uuid != rpc::kInterfaceUuid || major != rpc::kInterfaceMajor ||
               minor != rpc::kInterfaceMinor) {
      fault = rpc::kFaultUnknownInterface;
    } else {
      // Answered with the status alone.
      connection->bound = true;
    }
  } else if (!connection->bound) {
    fault = rpc::kFaultUnknownInterface;
  } else if (procedure >= rpc::kProcedureCount) {
    fault = rpc::kFaultProcedureOutOfRange;
  } else {
    const Slot slot = AcquireCallSlot();
    if (slot == Slot::kBusy) {
      // The call never ran; the client may try it again on this connection.
      TLOG(tobric::LC_USER, tobric::kLevelWarning,
           "[RpcServer::HandleRequest][No call slot for procedure %u]", procedure);
      StatusResponse(rpc::kFaultServerTooBusy, response);
      return;
    }
    if (slot == Slot::kStopping || !dispatcher_->AcceptingCalls()) {
      if (slot == Slot::kTaken) ReleaseCallSlot();
      TLOG(tobric::LC_USER, 2, "[RpcServer::HandleRequest][Stopping, procedure %u refused]",
           procedure);
      StatusResponse(rpc::kFaultServerTooBusy, response);
      *close = true;
      return;
    }
    StatusResponse(0, response);
    fault = dispatcher_->Dispatch(procedure, &in, response, tail);
    ReleaseCallSlot();
    if (fault == 0) return;
    tail->reset();
  }
  if (fault != 0) {
    TLOG(tobric::LC_USER, tobric::kLevelWarning,
         "[RpcServer::HandleRequest][Fault 0x%x for procedure %u, connection closed]",
         static_cast<uint32_t>(fault), procedure);
    StatusResponse(fault, response);
    *close = true;
    return;
  }
  StatusResponse(0, response);
}

RpcServer::Slot RpcServer::AcquireCallSlot() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.busy_limit_ms);
  tobric::MutexLock hold(mutex_);
  while (!stopping_ && calls_ >= options_.max_concurrent_calls) {
    if (slot_freed_.wait_until(hold, deadline) == std::cv_status::timeout) break;
  }
  if (stopping_) return Slot::kStopping;
  if (calls_ >= options_.max_concurrent_calls) return Slot::kBusy;
  ++calls_;
  return Slot::kTaken;
}

void RpcServer::ReleaseCallSlot() {
  tobric::MutexLock hold(mutex_);
  --calls_;
  slot_freed_.notify_one();
}

}  // namespace lorvane
