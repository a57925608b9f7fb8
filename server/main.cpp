// lumora-cloud: runs the local cloud as a process for the demo.
//   lumora-cloud [--port N] [--data DIR] [--seed-demo]
// Prints the URL it listens on and runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include <pthread.h>

#include "server/CloudServer.h"

namespace {

constexpr std::int64_t kDemoUserId = 10001;
constexpr const char* kDemoLogin = "demo";
constexpr const char* kDemoPassword = "demo-password";

int usage(const char* message) {
  if (message) std::cerr << "lumora-cloud: " << message << "\n";
  std::cerr << "usage: lumora-cloud [--port N] [--data DIR] [--seed-demo]\n"
               "  --port N     port on 127.0.0.1 (default "
            << localcloud::CloudServer::kDefaultPort
            << ", 0 = any free port)\n"
               "  --data DIR   data directory (default ./lumora-cloud-data)\n"
               "  --seed-demo  add the demo account ("
            << kDemoLogin << " / " << kDemoPassword << ")\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = localcloud::CloudServer::kDefaultPort;
  std::filesystem::path dataDir = "lumora-cloud-data";
  bool seedDemo = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      const char* text = argv[++i];
      char* end = nullptr;
      long value = std::strtol(text, &end, 10);
      if (end == text || *end != '\0' || value < 0 || value > 65535) {
        return usage("invalid port");
      }
      port = static_cast<int>(value);
    } else if (arg == "--data" && i + 1 < argc) {
      dataDir = argv[++i];
    } else if (arg == "--seed-demo") {
      seedDemo = true;
    } else if (arg == "--help" || arg == "-h") {
      return usage(nullptr);
    } else {
      return usage(("unknown argument " + arg).c_str());
    }
  }

  // Block the stop signals before any thread starts, so that only the
  // sigwait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string error;
  auto server = localcloud::CloudServer::create(dataDir, &error);
  if (!server) {
    std::cerr << "lumora-cloud: " << error << "\n";
    return 1;
  }
  if (seedDemo && !server->seedAccount(kDemoUserId, kDemoLogin, kDemoPassword, {}, &error)) {
    std::cerr << "lumora-cloud: cannot seed the demo account: " << error << "\n";
    return 1;
  }
  if (!server->start(port, &error)) {
    std::cerr << "lumora-cloud: " << error << "\n";
    return 1;
  }
  std::cout << "lumora-cloud listening on " << server->url() << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  std::cout << "lumora-cloud stopping" << std::endl;
  server->stop();
  return 0;
}
