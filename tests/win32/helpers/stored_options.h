#pragma once
// A settings file holding an options text as the options dialog stores it, for tests that hand
// the plug-in its configuration through the host's INI store.

#include <windows.h>

#include <string>

#include "parser/parser_CfgOptionsProxy.h"
#include "zolShared/Public/Common/zolRegSettings.h"

namespace zol::test {

// Stores `options` in "<temp>\<prefix>_<process id>.ini"; the file is removed with the object.
class StoredOptions {
   public:
    StoredOptions(const std::string& options, const std::string& prefix) {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        file_ = std::string(temp) + prefix + "_" + std::to_string(GetCurrentProcessId()) + ".ini";
        parser::TProxyCodeObject settings;
        settings.lblParams_Caption = options;
        common::TWreg store;
        store.INIFile = file_;
        store.Components = {"lblParams.Caption,Parser config"};
        store.Object = &settings;
        stored_ = store.Execute(common::TWregOperation::kStore);
    }
    ~StoredOptions() { DeleteFileA(file_.c_str()); }
    StoredOptions(const StoredOptions&) = delete;
    StoredOptions& operator=(const StoredOptions&) = delete;
    bool Stored() const noexcept { return stored_; }
    const std::string& File() const noexcept { return file_; }

   private:
    std::string file_;
    bool stored_ = false;
};

}  // namespace zol::test
