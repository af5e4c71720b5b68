// Verbs that work on the local machine only: chunk, keygen, crypt-keygen.

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "usage.hpp"

#include "chunking/manifest_builder.hpp"
#include "engine/signing.hpp"
#include "util/crypt_key.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace vorn {

int chunkCmd(int count, char** args) {
  const ScannedArgs scanned =
      scanArgs(count, args, {"--keep-mode", "--keep-tree", "--json"}, {}, 2);
  const std::vector<std::string>& positional = scanned.positional;
  if (positional.empty()) return printUsage();
  BuildOptions options;
  options.keepMode = scanned.has("--keep-mode") || envSwitch("VORN_KEEP_MODE");
  options.keepTree = scanned.has("--keep-tree") || envSwitch("VORN_KEEP_TREE");
  ManifestStats stats;
  std::string err;
  std::string manifest = buildManifest(positional[0], &stats, &err, options);
  if (manifest.empty()) {
    std::fprintf(stderr, "chunk: %s\n", err.c_str());
    return 1;
  }
  if (positional.size() >= 2 && !writeFile(positional[1], manifest)) {
    std::fprintf(stderr, "cannot write %s\n", positional[1].c_str());
    return 2;
  }
  CommandResult out(jsonRequested(&scanned));
  const double dedup =
      savedPercent(static_cast<double>(stats.totalBytes), static_cast<double>(stats.uniqueBytes));
  out["files"] = stats.files;
  out["chunks"] = stats.chunks;
  out["unique_chunks"] = stats.uniqueChunks;
  out["total_bytes"] = stats.totalBytes;
  out["unique_bytes"] = stats.uniqueBytes;
  out["dedup_percent"] = percentValue(dedup);
  out["build"] = stats.build;
  out.text("chunked %zu file(s): %zu chunks (%zu unique), %lld bytes (%lld unique, %.1f%% dedup)\n",
           static_cast<size_t>(stats.files), static_cast<size_t>(stats.chunks),
           static_cast<size_t>(stats.uniqueChunks), static_cast<long long>(stats.totalBytes),
           static_cast<long long>(stats.uniqueBytes), dedup);
  out.text("  build %s\n", stats.build.c_str());
  return out.finish(0);
}

int keygenCmd(int count, char** args) {
  if (count < 2) return printUsage();
  SigningKeyPair pair;
  std::string err;
  if (!generateSigningKeyPair(&pair, &err)) {
    std::fprintf(stderr, "keygen: %s\n", err.c_str());
    return 1;
  }
  const std::string name = args[1];
  const std::string keyFile = name + ".key";
  const std::string pubFile = name + ".pub";
  if (!writePrivateFile(keyFile, pair.secretHex + "\n")) {
    std::fprintf(stderr, "cannot write %s\n", keyFile.c_str());
    return 2;
  }
  if (!writeFile(pubFile, pair.publicHex + "\n")) {
    std::fprintf(stderr, "cannot write %s\n", pubFile.c_str());
    return 2;
  }
  std::printf("wrote %s (private key - keep secret, out of the repo) and %s\n", keyFile.c_str(),
              pubFile.c_str());
  std::printf("public key: %s\n", pair.publicHex.c_str());
  return 0;
}

int cryptKeygenCmd(int count, char** args) {
  if (count < 2) return printUsage();
  std::string hex = cryptKeygen();
  if (!writePrivateFile(args[1], hex + "\n")) {
    std::fprintf(stderr, "cannot write %s\n", args[1]);
    return 2;
  }
  std::printf(
      "wrote encryption key to %s\n  %s\nKeep it outside the data you back up. A lost key = a lost "
      "backup; there is no recovery.\n",
      args[1], hex.c_str());
  return 0;
}

}  // namespace vorn
