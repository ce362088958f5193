#pragma once
// Parses a dialog script (the Pascal-like subset the options forms use) into the parsed-script
// XML that the host's script engine loads: one element per construct, each token's text in the
// attribute `text`, its source position as "line:column" in `pos`, and on expressions the end
// position in `pos1`.
//
// The subset: a unit of `var` and `const` sections and procedures (with parameters and local
// variables), an optional main block, statements begin..end, if..then..else, calls and
// assignments; expressions of designators (names joined by ".", with arguments or type casts),
// strings, numbers, set constructors, the address operator and binary or unary operators.

#include <stdexcept>
#include <string>

namespace formgen {

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The XML document on one line, starting with the XML declaration. Throws ScriptError with the
// position when the script is outside the subset.
std::string ParseScriptToXml(const std::string& source);

}  // namespace formgen
