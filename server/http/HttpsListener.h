// The local cloud's HTTPS listener: the reporting vendor's endpoints as the
// reporting kits meet them, over TLS with a certificate that a
// CertificateAuthority made for loopback. Every path answers GET and POST
// with a small JSON reply ("application/json; charset=utf-8", an
// "X-Request-Id") that echoes the request's headers, unless the fault injector holds a fault for the path:
// then its status, its "Retry-After" (the text as given, else the number),
// its content type and its body answer instead. It counts the requests
// each path received, so tests can tell whether a client retried.
//
// Ownership: owns its server and listening thread; borrows the fault
// injector, which must outlive it. Threading: start() and stop() from one
// thread; requestCount() from any. Failure: start() returns -1 when the
// certificate or the port cannot be used.
#pragma once

#include <httplib.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/http/CertificateAuthority.h"
#include "server/http/FaultInjector.h"

namespace localcloud {

class HttpsListener {
 public:
  HttpsListener(const IssuedCertificate& certificate, FaultInjector& faults);
  ~HttpsListener();
  HttpsListener(const HttpsListener&) = delete;
  HttpsListener& operator=(const HttpsListener&) = delete;

  // Listens on 127.0.0.1 (port 0: an ephemeral one); the port, or -1.
  int start(int port = 0);
  void stop();

  std::size_t requestCount(const std::string& path) const;

 private:
  void serve(const httplib::Request& req, httplib::Response& res);

  FaultInjector& faults_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> counts_;
  std::size_t served_ = 0;
};

}  // namespace localcloud
