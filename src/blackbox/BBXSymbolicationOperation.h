// Names every frame of a thread array through a symbol resolver.
// Ownership, threading, failure: as BBXThreadArrayOperation; the resolver is
// shared and only read.
#pragma once

#include <memory>

#include "blackbox/BBXSymbolResolver.h"
#include "blackbox/BBXThreadArrayOperation.h"

namespace lumora {

class BBXSymbolicationOperation : public BBXThreadArrayOperation {
 public:
  BBXSymbolicationOperation(std::shared_ptr<BBXThreadArray> threadArray,
                            std::shared_ptr<const BBXSymbolResolver> symbolResolver);
  const std::shared_ptr<const BBXSymbolResolver>& symbolResolver() const { return symbolResolver_; }

 protected:
  void main() override;

 private:
  std::shared_ptr<const BBXSymbolResolver> symbolResolver_;
};

}  // namespace lumora
