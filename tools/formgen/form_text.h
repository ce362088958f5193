#pragma once
// Turns the readable text description of a form into the streamed binary form format
// (signature "TPF0") that the host reads its dialogs from.
//
// The text is a tree of `object Name: Class ... end` blocks; inside a block every line
// `Property.Path = value` sets a property. Values: integers, 'quoted' strings (with '' for a quote,
// #nn for a character code and + to join pieces), identifiers (True and False are Booleans) and
// sets [a, b].

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace formgen {

struct FormError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws FormError with the line number when the text cannot be read.
std::vector<std::uint8_t> CompileFormText(const std::string& text);

}  // namespace formgen
