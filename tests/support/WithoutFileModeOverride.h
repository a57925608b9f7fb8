// While alive, the calling thread goes without root's power over file
// modes, as an app's process runs: a file of mode 000, or another user's of
// mode 600, is refused to it. Other threads keep what they had; for a user
// other than root it changes nothing.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

class WithoutFileModeOverride {
 public:
  WithoutFileModeOverride() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header_, lowered);
  }
  ~WithoutFileModeOverride() { syscall(SYS_capset, &header_, saved_); }
  WithoutFileModeOverride(const WithoutFileModeOverride&) = delete;
  WithoutFileModeOverride& operator=(const WithoutFileModeOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

}  // namespace testsupport
