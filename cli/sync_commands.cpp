// The consumer verbs: sync (with its dry run) and verify (with repair).

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "progress_line.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "engine/mirror.hpp"
#include "engine/receipt.hpp"
#include "engine/sync.hpp"
#include "engine/sync_descriptor.hpp"
#include "engine/verify.hpp"
#include "storage/http_client.hpp"
#include "storage/s3_config.hpp"
#include "util/path_text.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vorn {
namespace {

// Where the manifest and the chunks come from, and where they go.
struct Sources {
  ChannelSource source;
  std::string destination;
  ReceiptPolicy receipts;
};

// --receipt (or VORN_RECEIPT) asks for a receipt; a downgrade is only ever
// allowed by the option, for one command, never by the environment.
ReceiptPolicy receiptPolicyFrom(const ScannedArgs& args, bool writes) {
  ReceiptPolicy policy;
  policy.write = writes && (args.has("--receipt") || envSwitch("VORN_RECEIPT"));
  policy.allowDowngrade = args.has("--allow-downgrade");
  return policy;
}

// Writes the receipt an install earned; false after the message, prefixed
// with the step's name, has been written.
bool writeEarnedReceipt(const Sources& s, const Receipt& earned, const char* step,
                        CommandResult& out) {
  if (!s.receipts.write) return true;
  std::string err;
  if (writeReceipt(pathFromNative(s.destination), earned, &err)) return true;
  out.flush();
  std::fprintf(stderr, "%s: %s\n", step, err.c_str());
  return false;
}

const size_t kBodyExcerpt = 200;

// Descriptor text from a file or a URL into *source. Returns -1 to go on,
// else the exit status after the message has been written.
int loadDescriptor(const ScannedArgs& args, const std::string& token, ChannelSource* source) {
  std::string text;
  const std::string file = args.value("--descriptor");
  const std::string url = args.value("--descriptor-url");
  if (!file.empty()) {
    if (!readFile(file, &text)) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 2;
    }
  } else if (!url.empty()) {
    int32_t status = 0;
    std::string err;
    HttpRequest request;
    request.url = url;
    request.token = token;
    if (!httpGet(source->transfer, request, &text, &status, &err)) {
      std::fprintf(stderr, "descriptor-url: %s\n", err.c_str());
      return 1;
    }
    if (status < 200 || status > 299) {
      // Error pages can be long; the start says what went wrong.
      std::string excerpt = text.substr(0, kBodyExcerpt);
      std::fprintf(stderr, "descriptor-url -> HTTP %ld %s\n", static_cast<long>(status),
                   excerpt.c_str());
      return 1;
    }
  } else {
    return -1;
  }
  std::string err;
  if (!parseSyncDescriptor(text, source, &err)) {
    std::fprintf(stderr, "descriptor: %s\n", err.c_str());
    return 2;
  }
  return -1;
}

// The front part both verbs share: positional arguments, transfer settings,
// key, descriptor. Returns -1 to go on, else the exit status.
int resolveSources(const ScannedArgs& args, ProgressMode progress, Sources* sources) {
  if (args.positional.size() < 2) return printUsage();
  ChannelSource& source = sources->source;
  source.channel = args.positional[0];
  sources->destination = args.positional[1];
  if (!transferSettingsFrom(&args, &source.transfer)) return 2;
  source.transfer.onRetry = retryPrinterFor(progress, source.transfer.onRetry);
  const std::string keyArg = args.value("--verify", envText("VORN_VERIFY_KEY"));
  if (!keyArg.empty()) source.verifyKey = keyTextFromArg(keyArg);
  source.manifestUrl = args.value("--manifest-url");
  return loadDescriptor(args, args.value("--token", envText("CORVANE_TOKEN")), &source);
}

// The provider for this command: from the environment when the mode needs
// the store, otherwise an unconfigured one that the URL modes never use.
std::unique_ptr<StorageProvider> openConsumerStore(const Sources& sources, bool needsConfig,
                                                   int* status) {
  if (needsConfig) return openStore(sources.source.transfer, status);
  return providerFor(S3Config(), sources.source.transfer);
}

// The signature line, and the same fact for the JSON document.
void signatureLine(const Sources& sources, CommandResult& out) {
  const bool verified = !sources.source.verifyKey.empty();
  out["signature_verified"] = verified;
  if (verified) out.text("  manifest signature verified (ed25519)\n");
}

// The channel and destination members, and the list a mirror fills with each
// path it removes (or in a dry run would remove), one line each after the summary.
RemovedFn startResult(const Sources& s, bool dryRun, bool mirror, CommandResult& out) {
  out["dry_run"] = dryRun;
  out["channel"] = s.source.channel;
  out["destination"] = s.destination;
  if (!mirror) return RemovedFn();
  const char* list = dryRun ? "would_remove" : "removed";
  out[list] = Json::arrayValue;
  return [list, dryRun, &out](const std::string& path) {
    out.text("  %s %s\n", dryRun ? "would remove" : "removed", path.c_str());
    out.append(list, path);
  };
}

int dryRun(StorageProvider& store, const Sources& s, bool mirror, CommandResult& out) {
  SyncPlan plan;
  std::string err;
  std::vector<std::string> listed;
  if (!planSync(store, s.source, s.destination, &plan, &err, mirror ? &listed : nullptr,
                s.receipts)) {
    std::fprintf(stderr, "dry-run: %s\n", err.c_str());
    return 1;
  }
  const RemovedFn wouldRemove = startResult(s, true, mirror, out);
  out["files"] = plan.files;
  out["chunk_slots"] = plan.chunkSlots;
  out["unique_chunks"] = plan.uniqueChunks;
  out["already_local"] = plan.alreadyLocal;
  out["to_download"] = plan.toDownload;
  out["download_bytes"] = plan.downloadBytes;
  out.text(
      "dry-run '%s' -> %s: %zu file(s), %zu chunk slot(s), %zu unique; %zu already local, %zu to "
      "download (%lld bytes uncompressed - the wire transfer is smaller after compression). "
      "Nothing was written.\n",
      s.source.channel.c_str(), s.destination.c_str(), plan.files, plan.chunkSlots,
      plan.uniqueChunks, plan.alreadyLocal, plan.toDownload,
      static_cast<long long>(plan.downloadBytes));
  if (mirror && !removeUnlisted(s.destination, listed, true, wouldRemove, &err,
                                receiptsInUse(pathFromNative(s.destination), s.receipts))) {
    std::fprintf(stderr, "dry-run: %s\n", err.c_str());
    return 1;
  }
  return out.finish(0);
}

int realSync(StorageProvider& store, const Sources& s, int waitSeconds, const std::string& base,
             bool mirror, ProgressMode mode, CommandResult& out) {
  ProgressLine line(mode);
  const ProgressFn progress = [&line](uint64_t done, uint64_t total, int64_t wire) {
    line.draw(done, total, wire);
  };
  WaitFn onWait;
  if (waitSeconds != 0) {
    onWait = [&line](const std::string& path, int waited, int allowed) {
      line.drawWait(path, waited, allowed);
    };
  }
  SyncOptions options;
  options.progress = progress;
  options.waitSeconds = waitSeconds;
  options.onWait = onWait;
  options.baseDirectory = base;
  std::vector<std::string> installed;
  if (mirror) options.installedPaths = &installed;
  options.receipts = s.receipts;
  Receipt earned;
  options.admitted = &earned;
  // Decided before the sync: the receipt to come is no stray file.
  const bool keepReceipt = receiptsInUse(pathFromNative(s.destination), s.receipts);
  SyncStats stats;
  std::string err;
  if (!syncChannel(store, s.source, s.destination, &stats, &err, options)) {
    std::fprintf(stderr, "%ssync: %s\n", line.errorLead(), err.c_str());
    return 1;
  }
  line.finish();
  const RemovedFn removed = startResult(s, false, mirror, out);
  signatureLine(s, out);
  const double saved =
      savedPercent(static_cast<double>(stats.unpackedBytes), static_cast<double>(stats.wireBytes));
  out["files"] = stats.files;
  out["reused"] = stats.reused;
  out["downloaded"] = stats.downloaded;
  out["wire_bytes"] = stats.wireBytes;
  out["unpacked_bytes"] = stats.unpackedBytes;
  out["saved_percent"] = percentValue(saved);
  out.text(
      "synced '%s' -> %s: %zu file(s), %zu chunk(s) reused locally, %zu downloaded (%lld bytes on "
      "the wire for %lld unpacked, %.1f%% smaller)\n",
      s.source.channel.c_str(), s.destination.c_str(), stats.files, stats.reused, stats.downloaded,
      static_cast<long long>(stats.wireBytes), static_cast<long long>(stats.unpackedBytes), saved);
  if (mirror) {
    out.flush();
    if (!removeUnlisted(s.destination, installed, false, removed, &err, keepReceipt)) {
      std::fprintf(stderr, "sync: %s\n", err.c_str());
      return 1;
    }
  }
  if (!writeEarnedReceipt(s, earned, "sync", out)) return 1;
  return out.finish(0);
}

// One bad file as the document lists it.
Json::Value badFile(const std::string& path, const std::string& reason) {
  Json::Value item;
  item["path"] = path;
  item["reason"] = reason;
  return item;
}

// Sync the whole manifest into the destination, then check it again in full.
int repair(StorageProvider& store, const Sources& s, size_t badCount, CommandResult& out) {
  out.text("repairing %zu file(s) ...\n", badCount);
  out.flush();
  SyncStats synced;
  std::string err;
  SyncOptions options;
  options.receipts = s.receipts;
  if (!syncChannel(store, s.source, s.destination, &synced, &err, options)) {
    std::fprintf(stderr, "repair: %s\n", err.c_str());
    return 1;
  }
  Json::Value stillBad(Json::arrayValue);
  VerifyOptions full;
  Receipt earned;
  full.receipts = s.receipts;
  full.admitted = &earned;
  full.onBadFile = [&](const std::string& path, const std::string& reason) {
    stillBad.append(badFile(path, reason));
    out.text("  STILL BAD  %s (%s)\n", path.c_str(), reason.c_str());
  };
  VerifyStats again;
  if (!verifyChannel(store, s.source, s.destination, full, &again, &err)) {
    std::fprintf(stderr, "re-verify: %s\n", err.c_str());
    return 1;
  }
  const bool repaired = again.missing == 0 && again.corrupt == 0;
  out["repaired"] = repaired;
  out["still_bad"] = stillBad;
  if (repaired) {
    if (!writeEarnedReceipt(s, earned, "repair", out)) return 1;
    out.text("repaired: %s now matches the manifest\n", s.destination.c_str());
    return out.finish(0);
  }
  out.text("repair incomplete: %zu file(s) still bad\n", static_cast<size_t>(stillBad.size()));
  return out.finish(1);
}

}  // namespace

int syncCmd(int count, char** args) {
  const ScannedArgs scanned =
      scanArgs(count, args, {"--dry-run", "--delete", "--receipt", "--allow-downgrade", "--json"},
               withTransferOptions({"--wait", "--base", "--verify", "--manifest-url",
                                    "--descriptor", "--descriptor-url", "--token", "--progress"}),
               2);
  CommandResult out(jsonRequested(&scanned));
  ProgressMode mode = ProgressMode::kBar;
  std::string err;
  if (!progressModeFrom(scanned, out.json(), &mode, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 2;
  }
  Sources sources;
  int status = resolveSources(scanned, mode, &sources);
  if (status >= 0) return status;
  sources.receipts = receiptPolicyFrom(scanned, true);

  const bool dryRunOnly = scanned.has("--dry-run");
  const ChannelSource& source = sources.source;
  const bool needsConfig = source.manifestUrl.empty() || !(dryRunOnly || !source.chunkUrls.empty());
  std::unique_ptr<StorageProvider> store = openConsumerStore(sources, needsConfig, &status);
  if (!store) return status;

  const bool mirror = scanned.has("--delete") || envSwitch("VORN_SYNC_DELETE");
  if (dryRunOnly) return dryRun(*store, sources, mirror, out);
  const int waitSeconds = std::atoi(scanned.value("--wait", "0").c_str());
  return realSync(*store, sources, waitSeconds, scanned.value("--base"), mirror, mode, out);
}

int verifyCmd(int count, char** args) {
  const ScannedArgs scanned = scanArgs(
      count, args, {"--quick", "--repair", "--verbose", "--receipt", "--allow-downgrade", "--json"},
      withTransferOptions(
          {"--verify", "--manifest-url", "--descriptor", "--descriptor-url", "--token"}),
      2);
  CommandResult out(jsonRequested(&scanned));
  Sources sources;
  // Verify draws no progress; retry lines keep their usual form.
  int status = resolveSources(scanned, ProgressMode::kBar, &sources);
  if (status >= 0) return status;

  const bool quick = scanned.has("--quick");
  const bool wantRepair = scanned.has("--repair");
  const bool verbose = scanned.has("--verbose");
  // A verification alone writes nothing, a receipt included.
  sources.receipts = receiptPolicyFrom(scanned, wantRepair);
  const ChannelSource& source = sources.source;
  const bool needsConfig = source.manifestUrl.empty() || (wantRepair && source.chunkUrls.empty());
  std::unique_ptr<StorageProvider> store = openConsumerStore(sources, needsConfig, &status);
  if (!store) return status;

  // The document lists every bad file; the text only with --verbose.
  Json::Value bad(Json::arrayValue);
  VerifyOptions options;
  options.quick = quick;
  options.receipts = sources.receipts;
  Receipt earned;
  options.admitted = &earned;
  options.onBadFile = [&](const std::string& path, const std::string& reason) {
    bad.append(badFile(path, reason));
    if (verbose) out.text("  BAD   %s (%s)\n", path.c_str(), reason.c_str());
  };
  VerifyStats stats;
  std::string err;
  if (!verifyChannel(*store, source, sources.destination, options, &stats, &err)) {
    std::fprintf(stderr, "verify: %s\n", err.c_str());
    return 1;
  }
  signatureLine(sources, out);
  out["quick"] = quick;
  out["channel"] = source.channel;
  out["destination"] = sources.destination;
  out["files"] = stats.files;
  out["ok"] = stats.ok;
  out["missing"] = stats.missing;
  out["corrupt"] = stats.corrupt;
  out["chunks_checked"] = stats.chunksChecked;
  out["bytes_checked"] = stats.bytesChecked;
  out["bad_files"] = bad;
  const bool matches = stats.missing == 0 && stats.corrupt == 0;
  out["matches"] = matches;
  out.text(
      "%s '%s' in %s: %zu file(s), %zu ok, %zu missing, %zu corrupt (%zu chunk(s), %lld "
      "bytes checked)\n",
      quick ? "quick-checked" : "verified", source.channel.c_str(), sources.destination.c_str(),
      stats.files, stats.ok, stats.missing, stats.corrupt, stats.chunksChecked,
      static_cast<long long>(stats.bytesChecked));
  if (matches) {
    if (!writeEarnedReceipt(sources, earned, "verify", out)) return 1;
    out.text("  OK - install matches the manifest\n");
    return out.finish(0);
  }
  if (!wantRepair) {
    out.text("  %zu file(s) need repair - re-run with --repair to fix\n",
             static_cast<size_t>(bad.size()));
    return out.finish(1);
  }
  return repair(*store, sources, bad.size(), out);
}

}  // namespace vorn
