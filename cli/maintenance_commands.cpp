// Store maintenance: retiring a channel, collecting unreferenced chunks and
// handing a consumer a presigned sync descriptor.

#include "arg_scan.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "engine/channel_manifest.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/sync_descriptor.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vorn {

int channelCmd(int count, char** args) {
  // Decided before the store is opened, so a typo never needs configuration.
  if (count < 3 || std::strcmp(args[1], "delete") != 0) return printUsage();
  const std::string channel = args[2];

  int status = 0;
  auto store = openStore(transferSettingsFrom(nullptr), &status);
  if (!store) return status;

  std::string err;
  if (!deleteChannel(*store, channel, &err)) {
    std::fprintf(stderr, "channel delete: %s\n", err.c_str());
    return 1;
  }
  std::printf(
      "deleted channel '%s' (manifest + signature). Run 'gc --delete' to sweep chunks no other "
      "channel references.\n",
      channel.c_str());
  return 0;
}

int gcCmd(int count, char** args) {
  // gc takes no positional arguments and never shows the usage text.
  const ScannedArgs scanned =
      scanArgs(count, args, {"--delete", "--sweep", "--json"}, withTransferOptions({}), 0);
  const TransferSettings transfer = transferSettingsFrom(&scanned);
  GcOptions options;
  options.remove = scanned.has("--delete") || scanned.has("--sweep");
  options.jobs = transfer.jobs;

  int status = 0;
  auto store = openStore(transfer, &status);
  if (!store) return status;

  CommandResult out(jsonRequested(&scanned));
  out["garbage_objects"] = Json::arrayValue;
  options.report = [&out](const std::string& key, int64_t size, bool deleted) {
    out.text("  %s %s (%lld bytes)\n", deleted ? "deleted" : "garbage", key.c_str(),
             static_cast<long long>(size));
    Json::Value object;
    object["key"] = key;
    object["bytes"] = size;
    object["deleted"] = deleted;
    out.append("garbage_objects", object);
  };
  GcStats stats;
  std::string err;
  if (!collectGarbage(*store, options, &stats, &err)) {
    // Lines already printed stay: in delete mode they name objects that are gone.
    out.flush();
    std::fprintf(stderr, "gc: %s\n", err.c_str());
    return 1;
  }
  out["dry_run"] = !options.remove;
  out["manifests"] = stats.manifests;
  out["referenced"] = stats.referenced;
  out["chunk_objects"] = stats.chunkObjects;
  out["garbage"] = stats.garbage;
  out["garbage_bytes"] = stats.garbageBytes;
  out.text(
      "gc: %zu manifest(s), %zu referenced chunk(s), %zu chunk object(s); %zu garbage (%lld "
      "bytes)%s\n",
      stats.manifests, stats.referenced, stats.chunkObjects, stats.garbage,
      static_cast<long long>(stats.garbageBytes),
      options.remove ? " -> deleted" : " (dry run; pass --delete to remove)");
  return out.finish(0);
}

int signSyncCmd(int count, char** args) {
  if (count < 2) return printUsage();
  ScannedArgs scanned = scanArgs(count, args, {}, withTransferOptions({"--ttl"}), 1);
  if (scanned.positional.empty()) return printUsage();
  const std::string& channel = scanned.positional[0];
  const int lifetime = std::atoi(scanned.value("--ttl", "300").c_str());

  // The configuration is kept: the descriptor's URLs are presigned with it.
  // Presigning makes no requests; only the manifest read does, one at a time.
  S3Config config;
  int status = 0;
  auto store = openStore(transferSettingsFrom(&scanned), &status, &config);
  if (!store) return status;

  std::string descriptor;
  std::string err;
  if (!makeSyncDescriptor(*store, config, channel, lifetime, &descriptor, &err)) {
    std::fprintf(stderr, "sign-sync: %s\n", err.c_str());
    return 1;
  }
  std::printf("%s\n", descriptor.c_str());
  return 0;
}

}  // namespace vorn
