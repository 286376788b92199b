#include "console/commands.h"

#include <cinttypes>
#include <vector>

#include "center/offline_center.h"
#include "console/console.h"
#include "package/package.h"
#include "service/shutdown.h"
#include "storage/config_manager.h"

namespace lorvane {

HRESULT HelpCommand::Execute(const std::string& /*argument*/) {
  console_->PrintLine("All available commands are as follow:");
  for (const auto& command : registry_->commands()) {
    console_->PrintLine("%s", command->UsageLine().c_str());
  }
  return S_OK;
}

HRESULT StartCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->Start(argument);
}

HRESULT StopCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->Pause(argument);
}

HRESULT ListCommand::Execute(const std::string& /*argument*/) {
  std::vector<Package*> packages;
  OfflineCenter::GetInstance()->GetPackages(&packages);
  for (Package* package : packages) {
    console_->PrintLine("id:%s", package->id().c_str());
    console_->PrintLine("display name:%s", package->caption().c_str());
    console_->PrintLine("file name:%s", package->name().c_str());
    console_->PrintLine("path:%s", package->path().c_str());
    console_->PrintLine("metafile:%s", package->metafile().c_str());
    console_->PrintLine("uri:%s", package->uri().c_str());
    console_->PrintLine("download_speed:%d", package->download_speed());
    console_->PrintLine("total_size:%" PRIu64, package->total_size());
    console_->PrintLine("download size:%" PRIu64, package->download_size());
    console_->PrintLine("create time:%" PRIu64, package->create_time());
    console_->PrintLine("complete time:%" PRIu64, package->complete_time());
    console_->PrintLine("state:%s", StateName(package->state_number()));
    console_->PrintLine("error code:0x%x\n", static_cast<uint32_t>(package->error_code()));
  }
  return S_OK;
}

HRESULT DownloadCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->Download(argument);
}

HRESULT ExitCommand::Execute(const std::string& /*argument*/) {
  tobric::SignalShutdown();
  return S_OK;
}

HRESULT DeleteCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->Delete(argument);
}

HRESULT DeletePerCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->DeletePerment(argument);
}

HRESULT ConfigCommand::Execute(const std::string& /*argument*/) {
  ConfigManager* config = ConfigManager::GetInstance();
  console_->PrintLine("download:%s", config->GetDownloadFolder().c_str());
  console_->PrintLine("config file: %s", config->GetConfigPath().c_str());
  console_->PrintLine("download list file: %s", config->GetDownloadListPath().c_str());
  console_->PrintLine("task thread:%u", static_cast<uint32_t>(config->GetThreadNumPerTask()));
  console_->PrintLine("task num:%u", static_cast<uint32_t>(config->GetConcurrentTaskNum()));
  console_->PrintLine("up bandwidth limit:%u", static_cast<uint32_t>(config->GetUpBandwidth()));
  console_->PrintLine("down bandwidth limit:%u", static_cast<uint32_t>(config->GetDownBandwidth()));
  return S_OK;
}

HRESULT ExistCommand::Execute(const std::string& argument) {
  return OfflineCenter::GetInstance()->ExistUri(argument) ? 1 : 0;
}

}  // namespace lorvane
