#include "usage.hpp"

#include <cstdio>

namespace vorn {

int printUsage() {
  std::fputs(
      "corvane-vorn - Vorn build distribution\n"
      "usage:\n"
      "  corvane-vorn version\n"
      "  corvane-vorn storage put  <key> <file>\n"
      "  corvane-vorn storage get  <key> <file>\n"
      "  corvane-vorn storage head <key>\n"
      "  corvane-vorn storage remove <key>\n"
      "  corvane-vorn chunk   <path> [manifest-out.json] [--keep-mode]\n"
      "  corvane-vorn push    <dir> <channel> [--force] [--keep-mode] [--sign <priv.key|hex>] "
      "[--register <corvaned-url> --register-token <tok>]\n"
      "  corvane-vorn sync    <channel> <dest-dir> [--dry-run] [--delete] [--wait <sec>] "
      "[--base <dir>] [--verify ...] [--manifest-url <url>] [--descriptor <file>] "
      "[--descriptor-url <url> [--token <tok>]]\n"
      "  corvane-vorn verify  <channel> <dest-dir> [--quick] [--repair] [--verbose] "
      "[--manifest-url <url>] [--descriptor <file>] [--descriptor-url <url> [--token <tok>]] "
      "[--verify <pk>]\n"
      "  corvane-vorn keygen  <name>            (writes <name>.key + <name>.pub)\n"
      "  corvane-vorn channel delete <channel>  (remove the channel manifest; run gc after)\n"
      "  corvane-vorn gc      [--delete]        (dry run unless --delete)\n"
      "  corvane-vorn presign <key> [--ttl N]   (presigned GET URL, default 300s)\n"
      "  corvane-vorn sign-sync <channel> [--ttl N]  (emit a presigned sync descriptor JSON)\n"
      "  corvane-vorn crypt-keygen <file>       (write a fresh 32-byte encryption key, hex)\n"
      "\n"
      "storage config from env: VORN_S3_ENDPOINT VORN_S3_REGION VORN_S3_BUCKET\n"
      "                         VORN_S3_KEY VORN_S3_SECRET\n"
      "encrypted store (backups): --crypt <key-file|hex> on any verb, or VORN_CRYPT_KEY.\n"
      "  Objects are sealed client-side and chunk names keyed; not usable with\n"
      "  presigned-URL modes (--manifest-url / --descriptor*).\n",
      stderr);
  return 2;
}

}  // namespace vorn
