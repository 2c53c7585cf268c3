#pragma once

#include <string>
#include <typeinfo>

namespace ridezav {

// The demangled, qualified name of a type ("velmo::URLError"); the raw name when it cannot be
// demangled.
std::string demangledTypeName(const std::type_info& type);
// A qualified name without its namespaces or enclosing classes; template arguments keep theirs
// ("Box<ns::Item>" stays whole after its own qualifier is dropped).
std::string withoutQualifier(const std::string& qualified);
// Both: "CompanionPanelView" for velmo::CompanionPanelView.
std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace ridezav
