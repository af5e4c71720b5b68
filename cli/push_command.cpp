// The push verb: publish a build to a channel, then optionally register the
// channel with the family server.

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "engine/push.hpp"
#include "storage/http_client.hpp"
#include "util/utc_time.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn {
namespace {

// Announces the channel with one empty POST. Registration is a courtesy: it
// only prints what happened and never changes the command's outcome.
void registerChannel(const TransferSettings& transfer, const std::string& baseUrl,
                     const std::string& channel, const std::string& token) {
  HttpRequest request;
  request.url = baseUrl;
  if (!request.url.empty() && request.url.back() == '/') request.url.pop_back();
  request.url += "/api/channels/" + channel + "?engine=vorn";
  request.token = token;
  int32_t status = 0;
  std::string err;
  if (!httpPost(transfer, request, &status, &err)) {
    std::fprintf(stderr, "  register: %s (channel published, but not registered)\n", err.c_str());
  } else if (status / 100 == 2) {
    std::printf("  registered Vorn channel with %s\n", baseUrl.c_str());
  } else if (status == 409) {
    std::printf("  channel already registered at %s\n", baseUrl.c_str());
  } else {
    std::fprintf(stderr, "  register -> HTTP %ld (channel published, but not registered)\n",
                 static_cast<long>(status));
  }
}

}  // namespace

int pushCmd(int count, char** args) {
  std::string signArg = envText("VORN_SIGN_KEY");
  std::string registerUrl = envText("VORN_REGISTER_URL");
  std::string registerToken = envText("VORN_REGISTER_TOKEN");
  ScannedArgs scanned =
      scanArgs(count, args, {"--force", "--keep-mode", "--keep-tree"},
               withTransferOptions({"--sign", "--register", "--register-token", "--expires"}), 2);
  if (scanned.positional.size() < 2) return printUsage();
  signArg = scanned.value("--sign", signArg);
  registerUrl = scanned.value("--register", registerUrl);
  registerToken = scanned.value("--register-token", registerToken);
  PushRequest request;
  request.source = scanned.positional[0];
  request.channel = scanned.positional[1];
  if (!signArg.empty()) request.signKey = keyTextFromArg(signArg);
  request.force = scanned.has("--force");
  request.keepMode = scanned.has("--keep-mode") || envSwitch("VORN_KEEP_MODE");
  request.keepTree = scanned.has("--keep-tree") || envSwitch("VORN_KEEP_TREE");
  // 0, negative or not a number: no expiry, as without the option.
  request.expiresIn =
      std::max(0, std::atoi(scanned.value("--expires", envText("VORN_EXPIRES")).c_str()));
  if (!transferSettingsFrom(&scanned, &request.transfer)) return 2;
  // Set by a team whose nightly gc runs in two phases; without it a chunk set
  // aside is uploaded again, which is just as safe.
  request.putBackSetAside = !envText("VORN_GC_GRACE").empty();

  int status = 0;
  std::unique_ptr<StorageProvider> store = openStore(request.transfer, &status);
  if (!store) return status;

  const std::string& channel = request.channel;
  PushStats stats;
  std::string err;
  if (!pushChannel(*store, request, &stats, &err)) {
    std::fprintf(stderr, "push: %s\n", err.c_str());
    return 1;
  }
  if (stats.renewed) {
    std::printf("renewed '%s' (build %.16s) until %s: %zu chunk(s) checked, %zu re-uploaded\n",
                channel.c_str(), stats.build.c_str(), utcText(stats.expires).c_str(),
                stats.uniqueChunks, stats.uploaded);
    if (!request.signKey.empty()) std::printf("  manifest signed (ed25519)\n");
  } else if (stats.unchanged) {
    std::printf(
        "'%s' unchanged (build %.16s): nothing republished; %zu chunk(s) checked, %zu "
        "re-uploaded\n",
        channel.c_str(), stats.build.c_str(), stats.uniqueChunks, stats.uploaded);
  } else {
    std::printf(
        "pushed '%s': %zu unique chunk(s): %zu already present, %zu uploaded (%lld bytes -> %lld "
        "stored, %.1f%% smaller)\n",
        channel.c_str(), stats.uniqueChunks, stats.alreadyPresent, stats.uploaded,
        static_cast<long long>(stats.bytesIn), static_cast<long long>(stats.bytesStored),
        savedPercent(static_cast<double>(stats.bytesIn), static_cast<double>(stats.bytesStored)));
    std::printf("  build %s\n", stats.build.c_str());
    if (stats.expires != 0) std::printf("  expires %s\n", utcText(stats.expires).c_str());
    if (!request.signKey.empty()) std::printf("  manifest signed (ed25519)\n");
  }
  std::fflush(stdout);
  if (!registerUrl.empty()) registerChannel(request.transfer, registerUrl, channel, registerToken);
  return 0;
}

}  // namespace vorn
