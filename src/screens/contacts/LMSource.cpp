#include "screens/contacts/LMSource.h"

namespace lumora {

LMSource LMSource::initWithSource(const platform::addressbook::Record& source,
                                  platform::addressbook::AddressBook* addressBook) {
  LMSource listed;
  if (source && addressBook) {
    listed.recordID = source.id();
    listed.name = source.name();
    listed.contactNum = static_cast<std::int64_t>(addressBook->peopleInSource(source).size());
    listed.groupNum = static_cast<std::int64_t>(addressBook->groupsInSource(source).size());
  }
  return listed;
}

}  // namespace lumora
