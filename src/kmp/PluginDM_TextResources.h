#pragma once
// The KMP module's message table: the texts its protocol client and module put into the log, in
// their fixed order. Created and translated once when the module is created.

#include <string>

#include "translation/text_resources.h"

namespace zol::kmp {

class TTextResources : public translation::TCustomTextResources {
   public:
    explicit TTextResources(common::Component* owner = nullptr);

    // Arguments: the two CRC values compared ("%.4x": at least four upper-case hex digits).
    std::string InvalidCrc = "Invalid CRC (%.4x,%.4x)";
    // Arguments: source, function number, detail.
    std::string ErrorCodeOnRequest =
        "Received message from %s with error code on request function %d [%s]";
    // Argument: the error message.
    std::string ItemsFormationError = "Error on items formation (%s)";
    // Arguments: the expression and the position of the error.
    std::string UnableToParseExpression = "Unable to parse expression \"%s\". Error at: %d";
    // No arguments; users of it log only the text before "(".
    std::string RequestTimeout = "Request timeout (ms)";
    // Argument: the address.
    std::string UnallowableAddress = "Unallowable address: %s";
};

}  // namespace zol::kmp
