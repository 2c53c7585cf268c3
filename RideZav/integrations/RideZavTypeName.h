#pragma once

#include <string>
#include <typeinfo>

namespace ridezav {

// The demangled name of a type without its namespaces or enclosing classes ("CompanionPanelView"
// for velmo::CompanionPanelView); template arguments keep theirs ("Box<ns::Item>" stays whole
// after its own qualifier is dropped). The raw name when it cannot be demangled.
std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace ridezav
