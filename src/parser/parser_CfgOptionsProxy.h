#pragma once
// Settings objects that stand in for a form which exists only in the host: their published
// properties are named after the form's property paths ("lblParams.Caption" is published as
// lblParams_Caption), so the settings component resolves a path to one property directly.
// TProxyCodeObject holds the options form's state with the form's initial values.

#include <cstdint>
#include <string>

#include "zolShared/Public/Common/component.h"
#include "zolShared/Public/Common/published_properties.h"

namespace zol::parser {

class TProxyCodeCustomObject : public common::Component, public common::PublishedObject {
   public:
    explicit TProxyCodeCustomObject(common::Component* owner = nullptr, std::string name = {});

    bool FlattensPropertyPaths() const noexcept override { return true; }
    // Assigning a stand-in to another object does nothing.
    virtual void AssignTo(common::Component& /*target*/) const {}
};

class TProxyCodeObject : public TProxyCodeCustomObject {
   public:
    explicit TProxyCodeObject(common::Component* owner = nullptr, std::string name = {});

    // Published, in this order, with the form's initial values.
    std::int32_t Left = 326;
    std::int32_t Top = 144;
    std::int32_t Height = 435;
    std::int32_t Width = 481;
    std::string lblParams_Caption;    // the options text
    std::string OpenDialog_FileName;  // last folder of the host's open-file dialog
    std::string SaveDialog_FileName;  // last folder of the host's save-file dialog
    double spMinInt_Value = 0;        // minimum interval between requests
    bool chkBlockIp_Checked = false;  // not stored, not used
};

}  // namespace zol::parser
