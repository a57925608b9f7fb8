// The reporting platform's debug switch: while it is on, the kits log more
// and the HTTPS client leaves server trust to the system (no pinning).
// Process-wide; any thread. Off at start.
#pragma once

namespace lumora {

bool HBRDebugEnabled();
void HBRSetDebugEnabled(bool enabled);

}  // namespace lumora
