#pragma once
// The KMP module's settings object: the options form's state, loaded and stored through the
// module's property map. Its options text (lblParams_Caption) holds the request configuration.

#include <string>

#include "parser/parser_CfgOptionsProxy.h"

namespace zol::kmp {

class TDataSourceCfg : public parser::TProxyCodeObject {
   public:
    explicit TDataSourceCfg(common::Component* owner = nullptr)
        : TProxyCodeObject(owner, "DataSourceCfg") {}
};

}  // namespace zol::kmp
