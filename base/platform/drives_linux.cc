#include "base/platform/drives.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"

namespace tobric::platform {

namespace {

namespace fs = std::filesystem;

// mountinfo is a few kilobytes; the cap only guards against a runaway read.
constexpr size_t kMaxMountInfoSize = 16 * 1024 * 1024;

// Stacked devices (an encrypted volume on a partition of a USB disk) are
// followed this far down through their "slaves".
constexpr int kMaxStackDepth = 4;

// The kernel escapes space, tab, newline and backslash in mount points as \ooo.
std::string DecodeOctalEscapes(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const char a = text[i + 1];
      const char b = text[i + 2];
      const char c = text[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        decoded += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    decoded += text[i];
  }
  return decoded;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (start < line.size()) {
    while (start < line.size() && line[start] == ' ') ++start;
    if (start == line.size()) break;
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    start = end;
  }
  return fields;
}

bool HasOption(std::string_view options, std::string_view wanted) {
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string_view::npos) end = options.size();
    if (options.substr(start, end - start) == wanted) return true;
    start = end + 1;
  }
  return false;
}

bool ParseDeviceNumber(std::string_view text, uint32_t* major, uint32_t* minor) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  uint64_t numbers[2] = {0, 0};
  const std::string_view parts[2] = {text.substr(0, colon), text.substr(colon + 1)};
  for (int i = 0; i < 2; ++i) {
    for (const char c : parts[i]) {
      if (c < '0' || c > '9') return false;
      numbers[i] = numbers[i] * 10 + static_cast<uint64_t>(c - '0');
      if (numbers[i] > 0xFFFFFFFFu) return false;
    }
  }
  *major = static_cast<uint32_t>(numbers[0]);
  *minor = static_cast<uint32_t>(numbers[1]);
  return true;
}

bool ReadsOne(const fs::path& attribute) {
  std::string value;
  if (Failed(ReadFileToString(attribute.string(), 64, &value))) return false;
  return !value.empty() && value[0] == '1';
}

bool StartsWithWordAndDigit(std::string_view name, std::string_view word) {
  return name.size() > word.size() && name.starts_with(word) && name[word.size()] >= '0' &&
         name[word.size()] <= '9';
}

// Folders of the bus controllers in a device's sysfs path: "usb2" for a USB root
// hub, "fw1" for a FireWire controller (older kernels: "ieee1394", "firewire").
bool IsExternalBusNode(std::string_view name) {
  return StartsWithWordAndDigit(name, "usb") || StartsWithWordAndDigit(name, "fw") ||
         name == "ieee1394" || name == "firewire";
}

// device: the resolved sysfs folder of a block device or partition.
bool IsExternalDeviceFolder(const fs::path& device, const std::string& sysfs_root, int depth) {
  for (const fs::path& component : device) {
    if (IsExternalBusNode(component.string())) return true;
  }
  std::error_code ec;
  // A partition has no "removable" of its own; the disk above it has.
  const fs::path disk = fs::exists(device / "partition", ec) ? device.parent_path() : device;
  if (ReadsOne(disk / "removable")) return true;
  if (depth >= kMaxStackDepth) return false;
  for (const fs::path& holder : {device / "slaves", disk / "slaves"}) {
    fs::directory_iterator it(holder, ec);
    if (ec) continue;
    for (const fs::directory_entry& slave : it) {
      const fs::path resolved =
          fs::canonical(fs::path(sysfs_root) / "class/block" / slave.path().filename(), ec);
      if (!ec && IsExternalDeviceFolder(resolved, sysfs_root, depth + 1)) return true;
    }
    if (disk == device) break;
  }
  return false;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::vector<std::string_view> fields = SplitFields(text.substr(start, end - start));
    start = end + 1;
    // id, parent, major:minor, root, mount point, options, optional fields...,
    // "-", file system type, source, super options.
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (fields.size() < 6 || separator + 2 >= fields.size()) continue;
    MountEntry entry;
    if (!ParseDeviceNumber(fields[2], &entry.major, &entry.minor)) continue;
    entry.mount_point = DecodeOctalEscapes(fields[4]);
    entry.read_only = HasOption(fields[5], "ro");
    entry.fs_type = DecodeOctalEscapes(fields[separator + 1]);
    entry.source = DecodeOctalEscapes(fields[separator + 2]);
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool IsExternalBlockDevice(uint32_t major, uint32_t minor, const std::string& sysfs_root) {
  std::error_code ec;
  const fs::path link =
      fs::path(sysfs_root) / "dev/block" / (std::to_string(major) + ":" + std::to_string(minor));
  const fs::path device = fs::canonical(link, ec);
  // A device sysfs does not know (a container's view) is taken as fixed: the
  // test folder made on it later still has to succeed.
  if (ec) return false;
  return IsExternalDeviceFolder(device, sysfs_root, 0);
}

HRESULT GetFreeSpace(const std::string& path, uint64_t* free_bytes) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return LastErrorHresult();
  *free_bytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
  return S_OK;
}

std::vector<DriveCandidate> ListDriveCandidates() {
  std::vector<DriveCandidate> candidates;
  std::set<std::string> seen;
  // The home folder stands for its own file system, so that file system's mount
  // point (usually "/", not writable by the user) is not tried as well.
  const std::string home = HomeFolder();
  struct stat home_info {};
  const bool have_home = !home.empty() && stat(home.c_str(), &home_info) == 0;
  if (have_home) {
    uint64_t free_bytes = 0;
    if (Succeeded(GetFreeSpace(home, &free_bytes))) {
      candidates.push_back(DriveCandidate{home, free_bytes});
      seen.insert(home);
    }
  }

  std::string mountinfo;
  if (Failed(ReadFileToString("/proc/self/mountinfo", kMaxMountInfoSize, &mountinfo))) {
    return candidates;
  }
  for (const MountEntry& entry : ParseMountInfo(mountinfo)) {
    // Local file systems live on block devices; network and pseudo file systems
    // name a server or a word as their source.
    if (entry.source.rfind("/dev/", 0) != 0 || entry.read_only) continue;
    if (have_home && makedev(entry.major, entry.minor) == home_info.st_dev) continue;
    if (!seen.insert(entry.mount_point).second) continue;
    // Bind mounts of single files (a container's /etc/hosts) are no place for a folder.
    if (!FolderExists(entry.mount_point)) continue;
    if (IsExternalBlockDevice(entry.major, entry.minor)) continue;
    uint64_t free_bytes = 0;
    if (Failed(GetFreeSpace(entry.mount_point, &free_bytes))) continue;
    candidates.push_back(DriveCandidate{entry.mount_point, free_bytes});
  }
  return candidates;
}

bool JournalCommitFlushesEarlierWrites(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  std::string mountinfo;
  if (Failed(ReadFileToString("/proc/self/mountinfo", kMaxMountInfoSize, &mountinfo))) {
    return false;
  }
  return JournalOrdersWritesOn(major(info.st_dev), minor(info.st_dev), mountinfo);
}

bool JournalOrdersWritesOn(uint32_t major, uint32_t minor, std::string_view mountinfo,
                           const std::string& sysfs_root) {
  // The last mount of the device is the one on top.
  std::string type;
  for (const MountEntry& entry : ParseMountInfo(mountinfo)) {
    if (entry.major == major && entry.minor == minor) type = entry.fs_type;
  }
  if (type == "xfs") return true;
  if (type != "ext4" && type != "ext3") return false;
  // ext4 may be made without a journal, and then orders nothing. The kernel
  // names the journal's thread under the device's own name, the last part of
  // where dev/block/<major>:<minor> leads, or says "<none>".
  std::error_code error;
  const fs::path device = fs::read_symlink(
      sysfs_root + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), error);
  if (error || device.filename().empty()) return false;
  std::string journal;
  // sysfs gives every attribute the size of a page.
  if (Failed(ReadFileToString(
          sysfs_root + "/fs/ext4/" + device.filename().string() + "/journal_task", 4096,
          &journal))) {
    return false;
  }
  return !journal.empty() && journal.rfind("<none>", 0) != 0;
}

}  // namespace tobric::platform
