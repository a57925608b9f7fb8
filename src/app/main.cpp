// lumora: the command-line entry point of the client.
#include <cstdio>
#include <string_view>

#include "app/WindowMode.h"
#include "app/demo/DemoJob.h"

namespace {

void printUsage(std::FILE* out) {
  std::fputs(
      "usage: lumora [--device WxH] [--scene ID] [--screenshot FILE]\n"
      "       lumora --demo [--verbose] [--login NAME --password TEXT]\n"
      "\n"
      "  (no --demo)  the app in a window (needs a display, xvfb-run, or\n"
      "              QT_QPA_PLATFORM=offscreen with --screenshot)\n"
      "  --device    the phone's screen: 320x480, 320x568, 375x667 (default)\n"
      "              or 414x736\n"
      "  --scene     open this scene of the storyboard\n"
      "  --screenshot  paint the first frame into FILE (PNG) and quit\n"
      "  --demo      run the main job against the configured cloud\n"
      "              (LUMORA_CLOUD_URL, or <app home>/hosts.json)\n"
      "  --verbose   also print the SDK's info-level log lines\n"
      "  --login, --password   the account to sign in with\n"
      "              (default: the local cloud's demo account)\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  lumora::DemoOptions options;
  lumora::WindowOptions window;
  bool demo = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--demo") {
      demo = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--login" && i + 1 < argc) {
      options.login = argv[++i];
    } else if (arg == "--password" && i + 1 < argc) {
      options.password = argv[++i];
    } else if (arg == "--device" && i + 1 < argc) {
      window.device = argv[++i];
    } else if (arg == "--scene" && i + 1 < argc) {
      window.scene = argv[++i];
    } else if (arg == "--screenshot" && i + 1 < argc) {
      window.screenshot = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      printUsage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "lumora: unknown or incomplete argument '%s'\n", argv[i]);
      printUsage(stderr);
      return 2;
    }
  }
  if (!demo) return lumora::runWindow(window, stderr);
  return lumora::DemoJob(options, stdout).run();
}
