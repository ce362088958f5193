#include "kmp/PluginDM_TextResources.h"

namespace zol::kmp {

TTextResources::TTextResources(common::Component* owner)
    : TCustomTextResources(owner, "TextResources") {
    RegisterMessage(&InvalidCrc);
    RegisterMessage(&ErrorCodeOnRequest);
    RegisterMessage(&ItemsFormationError);
    RegisterMessage(&UnableToParseExpression);
    RegisterMessage(&RequestTimeout);
    RegisterMessage(&UnallowableAddress);
}

}  // namespace zol::kmp
