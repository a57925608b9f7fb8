// A local cloud's store put back into the form a cloud kept before adds
// carried marks (schema version 3), for the tests of a cloud upgraded on
// such a cloud's data: its memory of adds is the table of that time, and
// the adds it made under a mark are remembered as that cloud remembered
// them, without the mark.
#pragma once

#include <filesystem>

namespace testsupport {

enum class AddMemoryForm {
  ByDevice,  // contact_device_adds: by user, device, key and content
  ByKey,     // contact_adds, from before adds were told apart by device: by user, key and content
};

// Rewrites the store of the cloud data folder `dataDir` (no cloud running
// on it) into that form; false when it cannot.
bool putCloudStoreBeforeMarks(const std::filesystem::path& dataDir, AddMemoryForm form);

}  // namespace testsupport
