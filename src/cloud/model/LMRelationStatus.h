// The values of the record store's row status column (serverStatus).
// Constants only.
#pragma once

namespace lumora {

// The row is in step: the local record matches the recorded cloud version.
inline constexpr const char* kLMRelationStatusDefault = "default";
// The cloud holds a newer live version not yet written to the address book.
inline constexpr const char* kLMRelationStatusCustom = "custom";
// The cloud record is gone and the local record is still to be removed.
inline constexpr const char* kLMRelationStatusDeleted = "deleted";

}  // namespace lumora
