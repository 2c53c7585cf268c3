#include "RideZav/core/RideZavTypeName.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace ridezav {

std::string demangledTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? demangled.get() : type.name();
}

std::string withoutQualifier(const std::string& name) {
    // The last "::" outside template arguments and parameter lists ends the qualifier.
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '<' || c == '(')
            ++depth;
        else if ((c == '>' || c == ')') && depth > 0)
            --depth;
        else if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
            start = i + 2;
            ++i;
        }
    }
    return name.substr(start);
}

std::string unqualifiedTypeName(const std::type_info& type) { return withoutQualifier(demangledTypeName(type)); }

}  // namespace ridezav
