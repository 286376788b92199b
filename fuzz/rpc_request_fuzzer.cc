// One RPC request body as a bound connection's server hands it on: the u16
// procedure number and the u16 zero, then the parameters, decoded by
// RpcProcedures::Dispatch against a real offline center (its download manager
// a recording fake) and a real configuration in a private folder.
//
// DownloadUri and SetDownloadFolder decode one [in] string exactly as
// IsUriExist does, so they are sent there: run for real they would add a
// package per input, or create whatever folder the input names.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "center/offline_center.h"
#include "fuzz/fuzz_folder.h"
#include "service/rpc_procedures.h"
#include "service/rpc_protocol.h"
#include "storage/config_manager.h"
#include "tests/support/engine/package_fakes.h"

namespace {

struct Engine {
  explicit Engine(const std::string& root)
      : center(root + "/downloads"),
        config([&root] {
          lorvane::ConfigManagerOptions options;
          options.user_data_folder = root + "/data/user";
          options.fallback_folder = root + "/home";
          options.list_drives = [] { return std::vector<tobric::platform::DriveCandidate>(); };
          return options;
        }()),
        procedures(lorvane::RpcProceduresOptions{center.center(), &config, [] {}}) {
    std::filesystem::create_directories(root + "/downloads");
    config.Initialize();
  }

  lorvane::testing::FakeManagerCenter center;
  lorvane::ConfigManager config;
  lorvane::RpcProcedures procedures;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The folder is removed when the process exits; the engine is never
  // destroyed, so nothing of it can run into a destroyed object at exit.
  static const corvane_fuzz::FuzzFolder folder;
  static Engine* const engine = new Engine(folder.path());
  lorvane::rpc::Reader in(data, size);
  uint16_t procedure = 0;
  uint16_t zero = 0;
  if (!in.U16(&procedure) || !in.U16(&zero) || zero != 0) return 0;
  if (procedure >= lorvane::rpc::kProcedureCount) return 0;
  if (procedure == lorvane::rpc::kDownloadUri || procedure == lorvane::rpc::kSetDownloadFolder) {
    procedure = lorvane::rpc::kIsUriExist;
  }
  lorvane::rpc::Writer out;
  std::unique_ptr<lorvane::RpcResponseTail> tail;
  const int32_t status = engine->procedures.Dispatch(procedure, &in, &out, &tail);
  // A fault sends nothing; an answer must at least be what a client can read.
  if (status == 0 && out.bytes().empty() && procedure != lorvane::rpc::kExitService) __builtin_trap();
  // The rest of a long answer is made as it is sent, and must come to the
  // size its head announced.
  if (status == 0 && tail != nullptr) {
    const size_t before = out.bytes().size();
    while (tail->AppendNext(&out)) {
    }
    if (out.bytes().size() - before != tail->size()) __builtin_trap();
  }
  return 0;
}
