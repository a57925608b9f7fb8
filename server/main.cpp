// lumora-cloud: runs the local cloud as a process for the demo.
//   lumora-cloud [--port N] [--data DIR] [--seed-demo]
// Prints the URL it listens on and runs until SIGINT or SIGTERM.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <pthread.h>

#include "server/CloudServer.h"
#include "server/storage/ContactStore.h"

namespace {

constexpr std::int64_t kDemoUserId = 10001;
constexpr const char* kDemoLogin = "demo";
constexpr const char* kDemoPassword = "demo-password";

// The demo user's contacts, as another phone of theirs would have left them:
// 240 people (the first five are on the demo's phone too) and the groups
// "Family" and "Work". A user who has contacts already keeps them as they are.
bool seedDemoContacts(localcloud::CloudServer& server) {
  using Json = nlohmann::json;
  if (!server.contacts().records(kDemoUserId).empty()) return true;
  static const char* kGiven[] = {"Ada", "Alan", "Barbara", "Claude", "Donald", "Edsger", "Frances", "Grace",
                                 "John", "Ken", "Leslie", "Margaret", "Niklaus", "Radia", "Tim", "Tony"};
  static const char* kFamily[] = {"Allen", "Backus", "Cerf", "Dahl", "Engelbart", "Floyd", "Gray", "Hamming",
                                  "Iverson", "Kay", "Lamport", "McCarthy", "Naur", "Perlis", "Ritchie"};
  auto& contacts = server.contacts();
  auto family = contacts.add(kDemoUserId, "group", Json{{"title", "Family"}});
  auto work = contacts.add(kDemoUserId, "group", Json{{"title", "Work"}});
  if (family.outcome != localcloud::ContactStore::Outcome::Applied ||
      work.outcome != localcloud::ContactStore::Outcome::Applied) {
    return false;
  }
  std::vector<localcloud::ContactOperation> adds;
  for (int i = 0; i < 240; ++i) {
    const std::string given = kGiven[i % 16];
    const std::string surname = kFamily[i / 16];
    Json content{{"displayName", given + " " + surname},
                 {"name", {{"givenName", given}, {"familyName", surname}}},
                 {"phoneNumbers", {{{"type", "mobile"}, {"value", "+1 555 01" + std::to_string(100 + i)}}}}};
    if (i % 3 == 0) {
      content["emails"] = {{{"type", "work"}, {"value", given + "." + surname + "@example.com"}}};
    }
    if (i % 7 == 0) content["groups"] = {{{"value", (i % 2 == 0 ? family : work).record.id}}};
    localcloud::ContactOperation add;
    add.type = "contact";
    add.content = std::move(content);
    adds.push_back(std::move(add));
  }
  for (const auto& change : contacts.apply(kDemoUserId, adds)) {
    if (change.outcome != localcloud::ContactStore::Outcome::Applied) return false;
  }
  return true;
}

// Prints the usage: on standard output when asked for (exit 0), on standard
// error after a wrong argument (exit 2).
int usage(const char* message) {
  std::ostream& out = message ? std::cerr : std::cout;
  if (message) out << "lumora-cloud: " << message << "\n";
  out << "usage: lumora-cloud [--port N] [--data DIR] [--seed-demo]\n"
               "  --port N     port on 127.0.0.1 (default "
            << localcloud::CloudServer::kDefaultPort
            << ", 0 = any free port)\n"
               "  --data DIR   data directory (default ./lumora-cloud-data)\n"
               "  --seed-demo  add the demo account ("
            << kDemoLogin << " / " << kDemoPassword << ") and its cloud contacts\n";
  return message ? 2 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Its output may be a pipe its starter stops reading once it has the
  // URL: a later line then fails with EPIPE, and the cloud still stops
  // cleanly, rather than dying by SIGPIPE. (Its connections send without
  // the signal already.)
  std::signal(SIGPIPE, SIG_IGN);
  // Everything the cloud writes (stores, blobs, uploads) is its user's alone.
  ::umask(077);
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
  // The app whose phones use this cloud: its push service knows it.
  if (!server->registerLumoraApp(&error)) {
    std::cerr << "lumora-cloud: cannot register the app with the push service: " << error << "\n";
    return 1;
  }
  if (seedDemo && !server->seedAccount(kDemoUserId, kDemoLogin, kDemoPassword, {}, &error)) {
    std::cerr << "lumora-cloud: cannot seed the demo account: " << error << "\n";
    return 1;
  }
  if (seedDemo && !seedDemoContacts(*server)) {
    std::cerr << "lumora-cloud: cannot seed the demo account's contacts\n";
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
