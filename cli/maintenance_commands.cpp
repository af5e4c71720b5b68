// Store maintenance: retiring a channel, collecting unreferenced chunks and
// handing a consumer a presigned sync descriptor.

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "engine/channel_manifest.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/grace_collection.hpp"
#include "engine/set_aside.hpp"
#include "engine/sync_descriptor.hpp"
#include "util/utc_time.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

namespace vorn {
namespace {

// The text and JSON names of a step, as done or as a dry run would report it.
struct GcStepNames {
  const char* done;
  const char* dryRun;
  const char* json;
};

GcStepNames gcStepNames(GcStep step) {
  switch (step) {
    case GcStep::kPutBack:
      return {"put back", "would put back", "put_back"};
    case GcStep::kDeleted:
      return {"deleted", "would delete", "delete"};
    case GcStep::kSetAside:
      break;
  }
  return {"set aside", "would set aside", "set_aside"};
}

const char* previousName(GraceGcStats::Previous previous) {
  switch (previous) {
    case GraceGcStats::Previous::kWaiting:
      return "waiting";
    case GraceGcStats::Previous::kFinished:
      return "finished";
    case GraceGcStats::Previous::kResumed:
      return "resumed";
    case GraceGcStats::Previous::kNone:
      break;
  }
  return "none";
}

int graceGc(StorageProvider& store, GraceGcOptions options, CommandResult& out) {
  out["steps"] = Json::arrayValue;
  options.report = [&out](GcStep step, const std::string& key, int64_t size, bool done) {
    const GcStepNames names = gcStepNames(step);
    const std::string shown = step == GcStep::kDeleted ? setAsideKey(key) : key;
    out.text("  %s %s (%lld bytes)\n", done ? names.done : names.dryRun, shown.c_str(),
             static_cast<long long>(size));
    Json::Value item;
    item["action"] = names.json;
    item["key"] = shown;
    item["bytes"] = size;
    item["done"] = done;
    out.append("steps", item);
  };
  GraceGcStats stats;
  std::string err;
  if (!collectInTwoPhases(store, options, &stats, &err)) {
    out.flush();
    std::fprintf(stderr, "gc: %s\n", err.c_str());
    return 1;
  }
  const long long grace = options.graceSeconds;
  const bool done = options.apply;
  out["dry_run"] = !done;
  out["grace_seconds"] = Json::Int64(grace);
  Json::Value& previous = out["previous"];
  previous["state"] = previousName(stats.previous);
  if (stats.previous != GraceGcStats::Previous::kNone) {
    previous["objects"] = stats.previousObjects;
    previous["age_seconds"] = stats.previousAge;
  }
  switch (stats.previous) {
    case GraceGcStats::Previous::kNone:
      out.text("gc: no collection in progress\n");
      break;
    case GraceGcStats::Previous::kWaiting:
      out.text(
          "gc: the collection in progress (%zu object(s), %lld s old) is finished by the first run "
          "once it is more than %lld s old\n",
          stats.previousObjects, static_cast<long long>(stats.previousAge), grace);
      break;
    case GraceGcStats::Previous::kFinished:
      previous["put_back"] = stats.putBack;
      previous["deleted"] = stats.deleted;
      previous["deleted_bytes"] = stats.deletedBytes;
      out.text(
          "gc: %s the collection of %zu object(s) set aside %lld s ago: %zu put back, %zu "
          "deleted (%lld bytes)\n",
          done ? "finished" : "would finish", stats.previousObjects,
          static_cast<long long>(stats.previousAge), stats.putBack, stats.deleted,
          static_cast<long long>(stats.deletedBytes));
      break;
    case GraceGcStats::Previous::kResumed:
      previous["put_back"] = stats.putBack;
      previous["set_aside"] = stats.setAside;
      out.text("gc: %s an interrupted collection of %zu object(s): %zu put back, %zu set aside\n",
               done ? "completed" : "would complete", stats.previousObjects, stats.putBack,
               stats.setAside);
      break;
  }
  out["manifests"] = stats.manifests;
  out["referenced"] = stats.referenced;
  if (stats.looked) {
    out["chunk_objects"] = stats.chunkObjects;
    out["garbage"] = stats.garbage;
    out["garbage_bytes"] = stats.garbageBytes;
    out["set_aside"] = stats.setAside;
    out["set_aside_bytes"] = stats.setAsideBytes;
    out.text(
        "gc: %zu manifest(s), %zu referenced chunk(s), %zu chunk object(s); %zu garbage (%lld "
        "bytes), %zu of it older than %lld s %s (%lld bytes)\n",
        stats.manifests, stats.referenced, stats.chunkObjects, stats.garbage,
        static_cast<long long>(stats.garbageBytes), stats.setAside, grace,
        done ? "set aside" : "to set aside", static_cast<long long>(stats.setAsideBytes));
  } else {
    out.text(
        "gc: %zu manifest(s), %zu referenced chunk(s); nothing more is set aside while a "
        "collection is in progress\n",
        stats.manifests, stats.referenced);
  }
  if (!done) out.text("gc: dry run, nothing changed; pass --delete to apply\n");
  return out.finish(0);
}

}  // namespace

int channelCmd(int count, char** args) {
  // Decided before the store is opened, so a typo never needs configuration.
  if (count < 3 || std::strcmp(args[1], "delete") != 0) return printUsage();
  const std::string channel = args[2];

  TransferSettings transfer;
  if (!transferSettingsFrom(nullptr, &transfer)) return 2;
  int status = 0;
  auto store = openStore(transfer, &status);
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
      scanArgs(count, args, {"--delete", "--sweep", "--json"}, withTransferOptions({"--grace"}), 0);
  TransferSettings transfer;
  if (!transferSettingsFrom(&scanned, &transfer)) return 2;
  GcOptions options;
  options.remove = scanned.has("--delete") || scanned.has("--sweep");
  options.jobs = transfer.jobs;
  // A --grace left without its value still asks for the mode: falling back to
  // the one-pass collection would be the unsafe reading of it.
  const std::string graceText = scanned.value("--grace", envText("VORN_GC_GRACE"));
  const bool grace = !graceText.empty() || std::count(scanned.positional.begin(),
                                                      scanned.positional.end(), "--grace") > 0;
  GraceGcOptions graceOptions;
  // Whole seconds, digits only: a typo must not become a grace period of 0,
  // which would set aside what a running push has just written.
  if (grace && !parseWholeNumber(graceText, 12, &graceOptions.graceSeconds)) {
    std::fprintf(stderr, "gc: --grace (or VORN_GC_GRACE) needs a whole number of seconds\n");
    return 2;
  }

  int status = 0;
  auto store = openStore(transfer, &status);
  if (!store) return status;
  CommandResult out(jsonRequested(&scanned));
  if (grace) {
    graceOptions.apply = options.remove;
    graceOptions.jobs = transfer.jobs;
    return graceGc(*store, graceOptions, out);
  }

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
  ScannedArgs scanned = scanArgs(count, args, {"--grace"}, withTransferOptions({"--ttl"}), 1);
  if (scanned.positional.empty()) return printUsage();
  const std::string& channel = scanned.positional[0];
  const int lifetime = std::atoi(scanned.value("--ttl", "300").c_str());

  // The configuration is kept: the descriptor's URLs are presigned with it.
  // Presigning makes no requests; only the manifest read does, one at a time.
  TransferSettings transfer;
  if (!transferSettingsFrom(&scanned, &transfer)) return 2;
  S3Config config;
  int status = 0;
  auto store = openStore(transfer, &status, &config);
  if (!store) return status;

  std::string descriptor;
  std::string err;
  // A team that collects in two phases sets VORN_GC_GRACE for every job.
  const bool findSetAside = scanned.has("--grace") || !envText("VORN_GC_GRACE").empty();
  std::optional<int64_t> expires;
  if (!makeSyncDescriptor(*store, config, channel, lifetime, &descriptor, &err, findSetAside,
                          &expires)) {
    std::fprintf(stderr, "sign-sync: %s\n", err.c_str());
    return 1;
  }
  // Consumers refuse the manifest once it expires, whatever its URLs allow.
  const int64_t validUntil = static_cast<int64_t>(std::time(nullptr)) + lifetime;
  if (expires && validUntil > *expires) {
    std::fprintf(stderr,
                 "warning: the descriptor is valid until %s, but the manifest of channel '%s' "
                 "expires at %s\n",
                 utcText(validUntil).c_str(), channel.c_str(), utcText(*expires).c_str());
  }
  std::printf("%s\n", descriptor.c_str());
  return 0;
}

}  // namespace vorn
