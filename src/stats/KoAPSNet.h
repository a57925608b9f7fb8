// The pool's list of network samples, kept in the file "network"
// (KoAPSBase has the rules).
// Ownership, threading, failures: as KoAPSBase.
#pragma once

#include "stats/KoANetRequestModel.h"
#include "stats/KoAPSBase.h"

namespace lumora {

class KoAPSNet final : public KoAPSBase<KoANetRequestModel> {
 public:
  static constexpr const char* kFileName = "network";

  KoAPSNet() : KoAPSBase(kFileName) {}
};

}  // namespace lumora
