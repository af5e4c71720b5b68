// Store maintenance: retiring a channel, collecting unreferenced chunks and
// handing a consumer a presigned sync descriptor.

#include "arg_scan.hpp"
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

// A grace period: whole seconds, digits only. A typo must not become a grace
// period of 0, which would set aside what a running push has just written.
bool parseGraceSeconds(const std::string& text, int64_t* seconds) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *seconds = std::stoll(text);
  return true;
}

void printGcStep(GcStep step, const std::string& key, int64_t size, bool done) {
  const char* verb = nullptr;
  switch (step) {
    case GcStep::kPutBack:
      verb = done ? "put back" : "would put back";
      break;
    case GcStep::kDeleted:
      verb = done ? "deleted" : "would delete";
      break;
    case GcStep::kSetAside:
      verb = done ? "set aside" : "would set aside";
      break;
  }
  const std::string shown = step == GcStep::kDeleted ? setAsideKey(key) : key;
  std::printf("  %s %s (%lld bytes)\n", verb, shown.c_str(), static_cast<long long>(size));
}

int graceGc(StorageProvider& store, const GraceGcOptions& options) {
  GraceGcStats stats;
  std::string err;
  if (!collectInTwoPhases(store, options, &stats, &err)) {
    std::fflush(stdout);
    std::fprintf(stderr, "gc: %s\n", err.c_str());
    return 1;
  }
  const long long grace = options.graceSeconds;
  const bool done = options.apply;
  switch (stats.previous) {
    case GraceGcStats::Previous::kNone:
      std::printf("gc: no collection in progress\n");
      break;
    case GraceGcStats::Previous::kWaiting:
      std::printf(
          "gc: the collection in progress (%zu object(s), %lld s old) is finished by the first run "
          "once it is more than %lld s old\n",
          stats.previousObjects, static_cast<long long>(stats.previousAge), grace);
      break;
    case GraceGcStats::Previous::kFinished:
      std::printf(
          "gc: %s the collection of %zu object(s) set aside %lld s ago: %zu put back, %zu "
          "deleted (%lld bytes)\n",
          done ? "finished" : "would finish", stats.previousObjects,
          static_cast<long long>(stats.previousAge), stats.putBack, stats.deleted,
          static_cast<long long>(stats.deletedBytes));
      break;
    case GraceGcStats::Previous::kResumed:
      std::printf(
          "gc: %s an interrupted collection of %zu object(s): %zu put back, %zu set aside\n",
          done ? "completed" : "would complete", stats.previousObjects, stats.putBack,
          stats.setAside);
      break;
  }
  if (stats.looked) {
    std::printf(
        "gc: %zu manifest(s), %zu referenced chunk(s), %zu chunk object(s); %zu garbage (%lld "
        "bytes), %zu of it older than %lld s %s (%lld bytes)\n",
        stats.manifests, stats.referenced, stats.chunkObjects, stats.garbage,
        static_cast<long long>(stats.garbageBytes), stats.setAside, grace,
        done ? "set aside" : "to set aside", static_cast<long long>(stats.setAsideBytes));
  } else {
    std::printf(
        "gc: %zu manifest(s), %zu referenced chunk(s); nothing more is set aside while a "
        "collection is in progress\n",
        stats.manifests, stats.referenced);
  }
  if (!done) std::printf("gc: dry run, nothing changed; pass --delete to apply\n");
  return 0;
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
      scanArgs(count, args, {"--delete", "--sweep"}, withTransferOptions({"--grace"}), 0);
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
  if (grace && !parseGraceSeconds(graceText, &graceOptions.graceSeconds)) {
    std::fprintf(stderr, "gc: --grace (or VORN_GC_GRACE) needs a whole number of seconds\n");
    return 2;
  }

  int status = 0;
  auto store = openStore(transfer, &status);
  if (!store) return status;
  if (grace) {
    graceOptions.apply = options.remove;
    graceOptions.jobs = transfer.jobs;
    graceOptions.report = printGcStep;
    return graceGc(*store, graceOptions);
  }

  options.report = [](const std::string& key, int64_t size, bool deleted) {
    std::printf("  %s %s (%lld bytes)\n", deleted ? "deleted" : "garbage", key.c_str(),
                static_cast<long long>(size));
  };
  GcStats stats;
  std::string err;
  if (!collectGarbage(*store, options, &stats, &err)) {
    // Lines already printed stay: in delete mode they name objects that are gone.
    std::fflush(stdout);
    std::fprintf(stderr, "gc: %s\n", err.c_str());
    return 1;
  }
  std::printf(
      "gc: %zu manifest(s), %zu referenced chunk(s), %zu chunk object(s); %zu garbage (%lld "
      "bytes)%s\n",
      stats.manifests, stats.referenced, stats.chunkObjects, stats.garbage,
      static_cast<long long>(stats.garbageBytes),
      options.remove ? " -> deleted" : " (dry run; pass --delete to remove)");
  return 0;
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
