// The consumer verbs: sync (with its dry run) and verify (with repair).

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "commands.hpp"
#include "open_store.hpp"
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

#include <chrono>
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
bool writeEarnedReceipt(const Sources& s, const Receipt& earned, const char* step) {
  if (!s.receipts.write) return true;
  std::string err;
  if (writeReceipt(pathFromNative(s.destination), earned, &err)) return true;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", step, err.c_str());
  return false;
}

struct BadFile {
  std::string path;
  std::string reason;
};

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
int resolveSources(const ScannedArgs& args, Sources* sources) {
  if (args.positional.size() < 2) return printUsage();
  ChannelSource& source = sources->source;
  source.channel = args.positional[0];
  sources->destination = args.positional[1];
  if (!transferSettingsFrom(&args, &source.transfer)) return 2;
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

class ProgressLine {
 public:
  ProgressLine() : start_(std::chrono::steady_clock::now()) {}

  void draw(uint64_t done, uint64_t total, int64_t wireBytes) const {
    const uint64_t percent = total == 0 ? 0 : done * 100 / total;
    char eta[48] = "";
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (done != 0 && done < total && elapsed > 0.5) {
      const int32_t remaining = static_cast<int32_t>(static_cast<double>(total - done) * elapsed /
                                                     static_cast<double>(done));
      std::snprintf(eta, sizeof eta, " ETA %ld:%02ld", static_cast<long>(remaining / 60),
                    static_cast<long>(remaining % 60));
    }
    std::fprintf(stderr, "\r  %3d%% (%zu/%zu chunks, %.1f MB)%s        ", static_cast<int>(percent),
                 static_cast<size_t>(done), static_cast<size_t>(total),
                 static_cast<double>(wireBytes) / 1048576.0, eta);
    std::fflush(stderr);
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

void drawWaitLine(const std::string& path, int waited, int allowed) {
  std::fprintf(stderr, "\r  waiting for '%s' to close (%d/%ds) ...        ", path.c_str(), waited,
               allowed);
  std::fflush(stderr);
}

void printSignatureLine(const Sources& sources) {
  if (!sources.source.verifyKey.empty()) std::printf("  manifest signature verified (ed25519)\n");
}

// One line per path that a mirror removes (or in a dry run would remove),
// after the summary.
RemovedFn removedLine(const char* verb) {
  return [verb](const std::string& path) { std::printf("  %s %s\n", verb, path.c_str()); };
}

int dryRun(StorageProvider& store, const Sources& s, bool mirror) {
  SyncPlan plan;
  std::string err;
  std::vector<std::string> listed;
  if (!planSync(store, s.source, s.destination, &plan, &err, mirror ? &listed : nullptr,
                s.receipts)) {
    std::fprintf(stderr, "dry-run: %s\n", err.c_str());
    return 1;
  }
  std::printf(
      "dry-run '%s' -> %s: %zu file(s), %zu chunk slot(s), %zu unique; %zu already local, %zu to "
      "download (%lld bytes uncompressed - the wire transfer is smaller after compression). "
      "Nothing was written.\n",
      s.source.channel.c_str(), s.destination.c_str(), plan.files, plan.chunkSlots, plan.uniqueChunks,
      plan.alreadyLocal, plan.toDownload, static_cast<long long>(plan.downloadBytes));
  if (mirror && !removeUnlisted(s.destination, listed, true, removedLine("would remove"), &err,
                                receiptsInUse(pathFromNative(s.destination), s.receipts))) {
    std::fprintf(stderr, "dry-run: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

int realSync(StorageProvider& store, const Sources& s, int waitSeconds, const std::string& base,
             bool mirror) {
  const ProgressLine line;
  const ProgressFn progress = [&line](uint64_t done, uint64_t total, int64_t wire) {
    line.draw(done, total, wire);
  };
  WaitFn onWait;
  if (waitSeconds != 0) onWait = drawWaitLine;
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
    std::fprintf(stderr, "\nsync: %s\n", err.c_str());
    return 1;
  }
  std::fprintf(stderr, "\r%64s\r", "");
  std::fflush(stderr);
  printSignatureLine(s);
  std::printf(
      "synced '%s' -> %s: %zu file(s), %zu chunk(s) reused locally, %zu downloaded (%lld bytes on "
      "the wire for %lld unpacked, %.1f%% smaller)\n",
      s.source.channel.c_str(), s.destination.c_str(), stats.files, stats.reused, stats.downloaded,
      static_cast<long long>(stats.wireBytes), static_cast<long long>(stats.unpackedBytes),
      savedPercent(static_cast<double>(stats.unpackedBytes), static_cast<double>(stats.wireBytes)));
  if (mirror) {
    std::fflush(stdout);
    if (!removeUnlisted(s.destination, installed, false, removedLine("removed"), &err,
                        keepReceipt)) {
      std::fprintf(stderr, "sync: %s\n", err.c_str());
      return 1;
    }
  }
  return writeEarnedReceipt(s, earned, "sync") ? 0 : 1;
}

// Sync the whole manifest into the destination, then check it again in full.
int repair(StorageProvider& store, const Sources& s, std::vector<BadFile>* bad) {
  std::printf("repairing %zu file(s) ...\n", bad->size());
  std::fflush(stdout);
  SyncStats synced;
  std::string err;
  SyncOptions options;
  options.receipts = s.receipts;
  if (!syncChannel(store, s.source, s.destination, &synced, &err, options)) {
    std::fprintf(stderr, "repair: %s\n", err.c_str());
    return 1;
  }
  bad->clear();
  VerifyOptions full;
  Receipt earned;
  full.receipts = s.receipts;
  full.admitted = &earned;
  full.onBadFile = [bad](const std::string& path, const std::string& reason) {
    bad->push_back({path, reason});
    std::printf("  STILL BAD  %s (%s)\n", path.c_str(), reason.c_str());
  };
  VerifyStats again;
  if (!verifyChannel(store, s.source, s.destination, full, &again, &err)) {
    std::fprintf(stderr, "re-verify: %s\n", err.c_str());
    return 1;
  }
  if (again.missing == 0 && again.corrupt == 0) {
    if (!writeEarnedReceipt(s, earned, "repair")) return 1;
    std::printf("repaired: %s now matches the manifest\n", s.destination.c_str());
    return 0;
  }
  std::printf("repair incomplete: %zu file(s) still bad\n", bad->size());
  return 1;
}

}  // namespace

int syncCmd(int count, char** args) {
  const ScannedArgs scanned =
      scanArgs(count, args, {"--dry-run", "--delete", "--receipt", "--allow-downgrade"},
               withTransferOptions({"--wait", "--base", "--verify", "--manifest-url",
                                    "--descriptor", "--descriptor-url", "--token"}),
               2);
  Sources sources;
  int status = resolveSources(scanned, &sources);
  if (status >= 0) return status;
  sources.receipts = receiptPolicyFrom(scanned, true);

  const bool dryRunOnly = scanned.has("--dry-run");
  const ChannelSource& source = sources.source;
  const bool needsConfig =
      source.manifestUrl.empty() || !(dryRunOnly || !source.chunkUrls.empty());
  std::unique_ptr<StorageProvider> store = openConsumerStore(sources, needsConfig, &status);
  if (!store) return status;

  const bool mirror = scanned.has("--delete") || envSwitch("VORN_SYNC_DELETE");
  if (dryRunOnly) return dryRun(*store, sources, mirror);
  const int waitSeconds = std::atoi(scanned.value("--wait", "0").c_str());
  return realSync(*store, sources, waitSeconds, scanned.value("--base"), mirror);
}

int verifyCmd(int count, char** args) {
  const ScannedArgs scanned =
      scanArgs(count, args, {"--quick", "--repair", "--verbose", "--receipt", "--allow-downgrade"},
               withTransferOptions(
                   {"--verify", "--manifest-url", "--descriptor", "--descriptor-url", "--token"}),
               2);
  Sources sources;
  int status = resolveSources(scanned, &sources);
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

  std::vector<BadFile> bad;
  VerifyOptions options;
  options.quick = quick;
  options.receipts = sources.receipts;
  Receipt earned;
  options.admitted = &earned;
  options.onBadFile = [&bad, verbose](const std::string& path, const std::string& reason) {
    bad.push_back({path, reason});
    if (verbose) std::printf("  BAD   %s (%s)\n", path.c_str(), reason.c_str());
  };
  VerifyStats stats;
  std::string err;
  if (!verifyChannel(*store, source, sources.destination, options, &stats, &err)) {
    std::fprintf(stderr, "verify: %s\n", err.c_str());
    return 1;
  }
  printSignatureLine(sources);
  std::printf(
      "%s '%s' in %s: %zu file(s), %zu ok, %zu missing, %zu corrupt (%zu chunk(s), %lld "
      "bytes checked)\n",
      quick ? "quick-checked" : "verified", source.channel.c_str(), sources.destination.c_str(),
      stats.files, stats.ok, stats.missing, stats.corrupt, stats.chunksChecked,
      static_cast<long long>(stats.bytesChecked));
  if (stats.missing == 0 && stats.corrupt == 0) {
    if (!writeEarnedReceipt(sources, earned, "verify")) return 1;
    std::printf("  OK - install matches the manifest\n");
    return 0;
  }
  if (!wantRepair) {
    std::printf("  %zu file(s) need repair - re-run with --repair to fix\n", bad.size());
    return 1;
  }
  return repair(*store, sources, &bad);
}

}  // namespace vorn
