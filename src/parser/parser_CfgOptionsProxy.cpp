#include "parser/parser_CfgOptionsProxy.h"

namespace zol::parser {

TProxyCodeCustomObject::TProxyCodeCustomObject(common::Component* owner, std::string name)
    : Component(owner, std::move(name)) {}

TProxyCodeObject::TProxyCodeObject(common::Component* owner, std::string name)
    : TProxyCodeCustomObject(owner, std::move(name)) {
    PublishInteger("Left", &Left);
    PublishInteger("Top", &Top);
    PublishInteger("Height", &Height);
    PublishInteger("Width", &Width);
    PublishText("lblParams_Caption", &lblParams_Caption);
    PublishText("OpenDialog_FileName", &OpenDialog_FileName);
    PublishText("SaveDialog_FileName", &SaveDialog_FileName);
    PublishFloat("spMinInt_Value", &spMinInt_Value);
    PublishBoolean("chkBlockIp_Checked", &chkBlockIp_Checked);
}

}  // namespace zol::parser
