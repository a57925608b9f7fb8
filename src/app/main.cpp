// lumora: the command-line entry point of the client.
#include <cstdio>
#include <string_view>

namespace {

void printUsage() {
  std::puts(
      "lumora - the Lumora client for Linux\n"
      "\n"
      "usage: lumora [--demo] [--help]\n"
      "\n"
      "This build provides the platform layer (dispatch queues, app home,\n"
      "preferences, device facts), the cloud encodings (AES, Base64, RC4,\n"
      "MD5, SHA-1, CRC), the SDK log sink, cloud errors and the retry rule,\n"
      "and the account SDK's digests and AES forms.");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--demo") {
      printUsage();
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      printUsage();
      return 0;
    }
    std::fprintf(stderr, "lumora: unknown argument '%s'\n", argv[i]);
    printUsage();
    return 2;
  }
  printUsage();
  return 0;
}
