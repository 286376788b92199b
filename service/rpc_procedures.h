// The 21 procedures of the local RPC interface and the dispatcher that decodes their
// requests and encodes their responses.
//
// Each procedure runs synchronously on the calling connection's thread and calls
// the offline center or the configuration manager; none queues work of its own.
// Strings are UTF-16 on the wire and UTF-8 inside; the dispatcher converts.
#ifndef SERVICE_RPC_PROCEDURES_H_
#define SERVICE_RPC_PROCEDURES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "service/rpc_protocol.h"

namespace lorvane {

class ConfigManager;
class OfflineCenter;
class Package;

// The end of a response that is made while it is sent, a piece at a time: an
// answer of thousands of records is never held whole, and it is made after the
// call has let go of its call slot, so a client that reads slowly holds no slot
// and no more memory than a piece. Made by the dispatcher, then used by the
// connection's thread alone; it may read packages but takes no lock of the
// engine beyond a package's own leaf locks.
class RpcResponseTail {
 public:
  virtual ~RpcResponseTail() = default;
  // The bytes of all pieces together; constant.
  [[nodiscard]] virtual size_t size() const = 0;
  // Appends the next piece to `out`; false, nothing appended, once every piece
  // has been given.
  virtual bool AppendNext(rpc::Writer* out) = 0;
};

// What the server hands a bound, well-framed call to. Called from many
// connection threads at once.
class RpcDispatcher {
 public:
  virtual ~RpcDispatcher() = default;

  // False once the engine has begun to stop: calls must no longer reach it.
  virtual bool AcceptingCalls() = 0;

  // Runs `procedure` (below rpc::kProcedureCount) with the parameters in `in`
  // (positioned after the u16 number and u16 zero) and appends its [out] and
  // [in, out] parameters and its result to `out`, or their first bytes to `out`
  // and a *tail that makes the rest. 0, or rpc::kFaultMalformedRequest when the
  // parameters do not decode exactly (short, trailing bytes, a bad boolean);
  // `out` and *tail are not sent then.
  virtual int32_t Dispatch(uint16_t procedure, rpc::Reader* in, rpc::Writer* out,
                           std::unique_ptr<RpcResponseTail>* tail) = 0;
};

struct RpcProceduresOptions {
  // Null: OfflineCenter::GetInstance() at each call.
  OfflineCenter* center = nullptr;
  // Null: ConfigManager::GetInstance() at each call.
  ConfigManager* config = nullptr;
  // What ExitService does. Null: tobric::SignalShutdown.
  std::function<void()> exit_service;
};

// The procedures themselves, one method each, named as on the interface; the
// server's dispatcher in production. Holds no lock of its own: the center's and
// the packages' locks serialise what needs it. Constant after construction, so
// any number of threads may call it at once; owned by the App next to the server.
class RpcProcedures : public RpcDispatcher {
 public:
  explicit RpcProcedures(RpcProceduresOptions options = {});

  bool AcceptingCalls() override;
  int32_t Dispatch(uint16_t procedure, rpc::Reader* in, rpc::Writer* out,
                   std::unique_ptr<RpcResponseTail>* tail) override;

  // 0. Fills the record image *image (as the client sent it) from the package
  // `id`; false, image untouched, for an unknown id. error_text is written
  // only for a negative error_code: otherwise the client's bytes stay.
  bool GetPackageInfo(std::string* image, const std::string& id);
  // 1. The first min(*count, rpc::kMaxListRecords, all) packages in id order;
  // *count becomes their number. Their records are made as they are sent.
  bool GetPackageList(std::vector<Package*>* packages, int32_t* count);
  // 2.
  void GetPackageCount(int32_t* count);
  // 3.
  bool IsUriExist(const std::string& uri);
  // 4 to 6: every id of the ";"-separated list in order; true when each call
  // succeeded.
  bool PausePackages(const std::string& ids);
  bool StartPackages(const std::string& ids);
  bool DeletePackages(const std::string& ids);
  // 7. 0, or the last negative code met.
  HRESULT DeletePackagesPermanently(const std::string& ids);
  // 8.
  HRESULT DownloadUri(const std::string& uri);
  // 9. An existing folder is stored; a missing one is only created.
  HRESULT SetDownloadFolder(const std::string& folder);
  // 10. At most rpc::kOutStringUnits units.
  HRESULT GetDownloadFolder(std::u16string* folder);
  // 11. The user message of `code`, at most rpc::kOutStringUnits units.
  void GetErrorMessage(int32_t code, std::u16string* message);
  // 12 to 19.
  HRESULT SetThreadNumPerTask(int32_t value);
  HRESULT SetConcurrentTaskNum(int32_t value);
  HRESULT GetThreadNumPerTask(int32_t* value);
  HRESULT GetConcurrentTaskNum(int32_t* value);
  HRESULT SetUpBandwidth(int32_t value);
  HRESULT GetUpBandwidth(int32_t* value);
  HRESULT SetDownBandwidth(int32_t value);
  HRESULT GetDownBandwidth(int32_t* value);
  // 20. Signals the shutdown event and returns at once.
  void ExitService();

  // The ids of a batch list: every ";" ends one, the text after the last is one
  // more (so "" is one empty id and "a;" is "a" and ""). Not trimmed.
  [[nodiscard]] static std::vector<std::string> SplitIdList(const std::string& ids);

 private:
  [[nodiscard]] OfflineCenter* center() const;
  [[nodiscard]] ConfigManager* config() const;
  bool ForEachId(const std::string& ids, HRESULT (OfflineCenter::*operation)(const std::string&));

  const RpcProceduresOptions options_;
};

}  // namespace lorvane

#endif  // SERVICE_RPC_PROCEDURES_H_
