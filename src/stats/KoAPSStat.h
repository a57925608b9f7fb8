// The pool's list of event points, kept in the file "localpool". An upload
// sets each point's send flag to 1 as well (KoAPSBase has the rules).
// Ownership, threading, failures: as KoAPSBase.
#pragma once

#include "stats/KoAPSBase.h"
#include "stats/KoAPointLocalModel.h"

namespace lumora {

class KoAPSStat final : public KoAPSBase<KoAPointLocalModel> {
 public:
  static constexpr const char* kFileName = "localpool";

  KoAPSStat() : KoAPSBase(kFileName) {}

 protected:
  void willSend(KoAPointLocalModel& point) override { point.nSendFlag = 1; }
};

}  // namespace lumora
