// The options dialog's generated resources, read back: the form in its streamed binary format, and
// the gzip script package with the parsed script, the separators and the property map. Expected
// values are the dialog's description, written out here by hand.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "kmp/tpf0_reader.h"
#include "parser/options_text.h"

namespace zol::kmp {
namespace {

using parser::OptionsElement;
using testing::Tpf0Object;
using testing::Tpf0Reader;
using testing::Tpf0Value;

std::string ReadGenerated(const char* name) {
    std::ifstream in(std::string(ZOL_BIN_DIR) + "/../options/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

const Tpf0Object* Child(const Tpf0Object& parent, const std::string& name) {
    for (const auto& child : parent.children) {
        if (child.name == name) return &child;
    }
    return nullptr;
}

// A property as text: numbers in decimal, sets as "[a,b]", Booleans as True/False.
std::string Show(const Tpf0Value* v) {
    if (v == nullptr) return "<absent>";
    switch (v->type) {
        case Tpf0Value::Type::kInteger:
            return std::to_string(v->number);
        case Tpf0Value::Type::kBoolean:
            return v->number != 0 ? "True" : "False";
        case Tpf0Value::Type::kSet: {
            std::string out = "[";
            for (const auto& e : v->set) out += (out.size() > 1 ? "," : "") + e;
            return out + "]";
        }
        default:
            return v->text;
    }
}

TEST(OptionsDialogForm, FormPropertiesAndComponentsAreTheDescribedOnes) {
    const auto bytes = Bytes(ReadGenerated("TFRMOPTION.tpf"));
    ASSERT_GT(bytes.size(), 4u);
    const auto form = Tpf0Reader(bytes).Read();
    ASSERT_TRUE(form.has_value());
    EXPECT_EQ(form->class_name, "TfrmOption");
    EXPECT_EQ(form->name, "frmOption");
    const std::pair<const char*, const char*> properties[] = {
        {"Caption", "Kamstrup KMP protocol"},
        {"Left", "326"},
        {"Top", "144"},
        {"Width", "481"},
        {"Height", "435"},
        {"Constraints.MinWidth", "320"},
        {"Constraints.MinHeight", "250"},
        {"BorderIcons", "[biSystemMenu,biMaximize,biHelp]"},
        {"BorderWidth", "2"},
        {"HelpContext", "1"},
        {"Color", "clBtnFace"},
        {"KeyPreview", "True"},
        {"Scaled", "False"},
        {"PixelsPerInch", "96"},
        {"TextHeight", "13"},
        {"Font.Name", "MS Sans Serif"},
        {"Font.Height", "-11"},
        {"Font.Charset", "DEFAULT_CHARSET"},
        {"Font.Color", "clWindowText"},
        {"OnCreate", "FormCreate"},
        {"OnDestroy", "FormDestroy"},
    };
    for (const auto& [name, expected] : properties) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Show(form->Property(name)), expected);
    }

    ASSERT_EQ(form->children.size(), 3u);
    EXPECT_EQ(form->children[0].name, "__pBot");
    EXPECT_EQ(form->children[1].name, "pan0");
    EXPECT_EQ(form->children[2].name, "tmpMenu");
    const auto& bottom = form->children[0];
    EXPECT_EQ(bottom.class_name, "TPanel");
    EXPECT_EQ(Show(bottom.Property("Align")), "alBottom");
    EXPECT_EQ(Show(bottom.Property("Height")), "45");
    EXPECT_EQ(Show(bottom.Property("BevelOuter")), "bvNone");
    EXPECT_EQ(Show(bottom.Property("Hint")), "OkCancel");
    EXPECT_EQ(Show(bottom.Property("HelpContext")), "1");
    ASSERT_EQ(bottom.children.size(), 1u);
    const auto& label = bottom.children[0];
    EXPECT_EQ(label.name, "lblParams");
    EXPECT_EQ(label.class_name, "TTntLabel");
    EXPECT_EQ(Show(label.Property("Left")) + "," + Show(label.Property("Top")) + "," +
                  Show(label.Property("Width")) + "," + Show(label.Property("Height")),
              "4,0,32,13");
    EXPECT_EQ(Show(label.Property("AutoSize")), "False");
    EXPECT_EQ(Show(label.Property("Visible")), "False");
    const auto& panel = form->children[1];
    EXPECT_EQ(panel.class_name, "TPanel");
    EXPECT_EQ(Show(panel.Property("Align")), "alClient");
    EXPECT_EQ(Show(panel.Property("BevelOuter")), "bvNone");
    EXPECT_EQ(Show(panel.Property("HelpContext")), "1");
    EXPECT_TRUE(panel.children.empty());
    EXPECT_EQ(form->children[2].class_name, "TTntPopupMenu");
}

// The menu items that hold the dialog's texts, in order.
struct MenuItem {
    const char* name;
    const char* caption;  // "<absent>" for the run-time filled ones
    const char* class_name;
    int tag;
};
constexpr MenuItem kMenuItems[] = {
    {"MsgSendReq", "Send requests, otherwise parse response only", "TTntMenuItem", 0},
    {"FuncTypeList", "<absent>", "TTntMenuItem", 9999},
    {"MsgDevAddr", "Device address", "TTntMenuItem", 0},
    {"MsgFuncCustom", "<absent>", "TzolMenuItem", 9999},
    {"MsgFunc", "Register", "TTntMenuItem", 0},
    {"MsgRegCustom2", "custom", "TzolMenuItem", 0},
    {"MsgReqTimeout", "Request timeout (ms)", "TTntMenuItem", 0},
    {"MsgReqMethod", "Request method", "TTntMenuItem", 0},
    {"MsgMOnce", "Once, on the program startup", "TTntMenuItem", 0},
    {"MsgPolling", "Polling", "TTntMenuItem", 0},
    {"MsgPollInt", "Interval", "TTntMenuItem", 0},
    {"MsgPollUnits", "Interval units", "TTntMenuItem", 0},
    {"MsgName", "Export name", "TTntMenuItem", 0},
    {"TxtMillisecond", "Millisecond", "TTntMenuItem", 0},
    {"TxtSecond", "Second", "TTntMenuItem", 0},
    {"TxtMinute", "Minute", "TTntMenuItem", 0},
    {"TxtHour", "Hour", "TTntMenuItem", 0},
    {"MsgReq", "Request", "TTntMenuItem", 0},
    {"PollUnitList", "<absent>", "TTntMenuItem", 9999},
    {"MsgTime", "Time (semicolon separated)", "TTntMenuItem", 0},
    {"MsgAtTime", "At specified time", "TTntMenuItem", 0},
    {"MsgCron", "Time using Unix Cron schedule", "TTntMenuItem", 0},
    {"MsgCronMask", "Cron string", "TTntMenuItem", 0},
    {"MsgEvent", "Event", "TTntMenuItem", 0},
    {"MsgEventId", "Event ID", "TTntMenuItem", 0},
    {"MsgResponseItems", "Response items", "TTntMenuItem", 0},
    {"MsgResponseItem", "Value", "TTntMenuItem", 0},
};

TEST(OptionsDialogForm, MenuItemsHoldTheTexts) {
    const auto bytes = Bytes(ReadGenerated("TFRMOPTION.tpf"));
    const auto form = Tpf0Reader(bytes).Read();
    ASSERT_TRUE(form.has_value());
    const auto* menu = Child(*form, "tmpMenu");
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->children.size(), std::size(kMenuItems));
    for (std::size_t i = 0; i < std::size(kMenuItems); ++i) {
        const auto& item = menu->children[i];
        SCOPED_TRACE(kMenuItems[i].name);
        EXPECT_EQ(item.name, kMenuItems[i].name);
        EXPECT_EQ(item.class_name, kMenuItems[i].class_name);
        EXPECT_EQ(Show(item.Property("Caption")), kMenuItems[i].caption);
        const auto* tag = item.Property("Tag");
        EXPECT_EQ(tag != nullptr ? tag->number : 0, kMenuItems[i].tag);
        EXPECT_TRUE(item.children.empty());
    }
}

TEST(OptionsDialogForm, ReaderRefusesCutOrPaddedForms) {
    const auto bytes = Bytes(ReadGenerated("TFRMOPTION.tpf"));
    ASSERT_GT(bytes.size(), 100u);
    for (std::size_t cut : {std::size_t{3}, std::size_t{50}, bytes.size() - 1}) {
        SCOPED_TRACE(cut);
        const std::vector<std::uint8_t> part(bytes.begin(),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(Tpf0Reader(part).Read().has_value());
    }
    auto padded = bytes;
    padded.push_back(0);
    EXPECT_FALSE(Tpf0Reader(padded).Read().has_value());
}

// The gzip member as zlib reads it, with the stored file name.
struct Unzipped {
    bool ok = false;
    std::string name;
    std::string text;
};

Unzipped Gunzip(const std::string& gz) {
    Unzipped out;
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return out;
    gz_header header{};
    char name[64] = {};
    header.name = reinterpret_cast<Bytef*>(name);
    header.name_max = sizeof name - 1;
    inflateGetHeader(&stream, &header);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
    stream.avail_in = static_cast<uInt>(gz.size());
    std::vector<char> buffer(1 << 20);
    stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
    stream.avail_out = static_cast<uInt>(buffer.size());
    const int status = inflate(&stream, Z_FINISH);
    out.ok = status == Z_STREAM_END && stream.avail_in == 0 && header.done == 1;
    out.text.assign(buffer.data(), stream.total_out);
    out.name = name;
    inflateEnd(&stream);
    return out;
}

TEST(OptionsDialogPackage, GzipMemberWithTheStoredNameOneHoldsThePackageText) {
    const std::string gz = ReadGenerated("FORM_DATA.gz");
    ASSERT_GT(gz.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(gz[0]), 0x1F);
    EXPECT_EQ(static_cast<unsigned char>(gz[1]), 0x8B);
    EXPECT_EQ(gz[2], 8);     // deflate
    EXPECT_EQ(gz[3], 0x08);  // FNAME only
    EXPECT_EQ(gz.substr(10, 2), std::string("1\0", 2));
    const auto unzipped = Gunzip(gz);
    ASSERT_TRUE(unzipped.ok);
    EXPECT_EQ(unzipped.name, "1");
    EXPECT_EQ(unzipped.text, ReadGenerated("package.txt"));

    const std::string& text = unzipped.text;
    const auto first_end = text.find("\r\n");
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\"?><program"));
    EXPECT_EQ(text.substr(0, first_end).find('\n'), std::string::npos);  // the XML is one line
    const std::string expected_rest =
        "\r\n"
        "\r\n<=======>\r\n\r\n"
        "TFRMOPTION\r\n\r\n"
        "<=======>\r\n\r\n"
        "Left,Left\r\n"
        "Top,Top\r\n"
        "Height,Height\r\n"
        "Width,Width\r\n"
        ";---short---\r\n"
        "lblParams.Caption,Parser config\r\n"
        "OpenDialog.FileName,Open files dir\r\n"
        "SaveDialog.FileName,Save files dir\r\n"
        "spMinInt.Value,Min interval\r\n"
        "\r\n";
    EXPECT_EQ(text.substr(first_end), expected_rest);
}

// Evaluates the parsed script's constant string expressions the way the dialog's engine would
// with the English captions: string literals, constants, captions of the form's text holders,
// LineEnding and IntToHex(clBlack, 6), joined by "+".
class ScriptEvaluator {
   public:
    ScriptEvaluator(const OptionsElement& program, const Tpf0Object& form)
        : program_(program), form_(form) {}

    std::string Evaluate(const OptionsElement& expr) {
        std::string out;
        for (const auto& part : expr.children) {
            if (part.name == "string") {
                out += Unquote(std::string(part.Attribute("text").value_or("")));
            } else if (part.name == "op") {
                if (part.Attribute("text").value_or("") != "+") ADD_FAILURE() << "operator";
            } else if (part.name == "dsgn") {
                out += Designator(part);
            } else {
                ADD_FAILURE() << "unexpected " << part.name;
            }
        }
        return out;
    }

   private:
    static std::string Unquote(const std::string& token) {
        std::string out;
        for (std::size_t i = 1; i + 1 < token.size(); ++i) {
            out.push_back(token[i]);
            if (token[i] == '\'') ++i;  // '' stands for one quote
        }
        return out;
    }

    std::string Designator(const OptionsElement& d) {
        std::vector<std::string> nodes;
        for (const auto& c : d.children) {
            if (c.name == "node") nodes.emplace_back(c.Attribute("text").value_or(""));
        }
        if (nodes == std::vector<std::string>{"LineEnding"}) return "\r\n";
        if (nodes == std::vector<std::string>{"IntToHex"}) {
            // IntToHex(clBlack, 6): black is 0
            EXPECT_EQ(d.children.size(), 3u);
            return "000000";
        }
        if (nodes.size() == 2 && nodes[1] == "Caption") {
            for (const auto& item : Child(form_, "tmpMenu")->children) {
                if (item.name == nodes[0]) {
                    return Show(item.Property("Caption"));
                }
            }
            ADD_FAILURE() << "no text holder " << nodes[0];
            return {};
        }
        if (nodes.size() == 1) {
            for (const auto& c : program_.children) {
                if (c.name == "const" && c.FindChild("ident")->Attribute("text") == nodes[0]) {
                    return Evaluate(*c.FindChild("expr"));
                }
            }
        }
        ADD_FAILURE() << "cannot evaluate " << nodes[0];
        return {};
    }

    const OptionsElement& program_;
    const Tpf0Object& form_;
};

class OptionsDialogScript : public ::testing::Test {
   protected:
    void SetUp() override {
        const std::string text = ReadGenerated("package.txt");
        document_ = parser::ReadOptionsText(text.substr(0, text.find("\r\n")));
        ASSERT_FALSE(document_.truncated);
        program_ = document_.root.FindChild("program");
        ASSERT_NE(program_, nullptr);
        form_bytes_ = Bytes(ReadGenerated("TFRMOPTION.tpf"));
        auto form = Tpf0Reader(form_bytes_).Read();
        ASSERT_TRUE(form.has_value());
        form_ = std::move(*form);
    }

    const OptionsElement* Procedure(const std::string& name) const {
        for (const auto& c : program_->children) {
            if (c.name == "procedure" && c.FindChild("name")->Attribute("text") == name) {
                return &c;
            }
        }
        return nullptr;
    }

    // The first designator in `scope` whose first name is `name`.
    static const OptionsElement* Call(const OptionsElement& scope, const std::string& name) {
        if (scope.name == "dsgn" && !scope.children.empty() &&
            scope.FindChild("node")->Attribute("text") == name) {
            return &scope;
        }
        for (const auto& c : scope.children) {
            if (const auto* found = Call(c, name)) return found;
        }
        return nullptr;
    }

    static std::vector<const OptionsElement*> Arguments(const OptionsElement& designator) {
        std::vector<const OptionsElement*> out;
        for (const auto& c : designator.children) {
            if (c.name == "expr") out.push_back(&c);
        }
        return out;
    }

    parser::OptionsDocument document_;
    const OptionsElement* program_ = nullptr;
    std::vector<std::uint8_t> form_bytes_;
    Tpf0Object form_;
};

TEST_F(OptionsDialogScript, DeclaresTheFormComponentsWithTheirClasses) {
    std::vector<std::pair<std::string, std::string>> expected = {
        {"__pBot", "TPanel"},
        {"pan0", "TPanel"},
        {"tmpMenu", "TTntPopupMenu"},
        {"lblParams", "TTntLabel"},
        {"propTree", "TVirtualParamTreeviewEx"}};
    for (const auto& item : kMenuItems) expected.emplace_back(item.name, item.class_name);
    for (const auto& [name, type] : expected) {
        SCOPED_TRACE(name);
        bool found = false;
        for (const auto& c : program_->children) {
            if (c.name == "var" && c.FindChild("ident")->Attribute("text") == name) {
                EXPECT_EQ(c.FindChild("type")->Attribute("text").value_or(""), type);
                EXPECT_TRUE(c.FindChild("ident")->Attribute("pos").has_value());
                found = true;
            }
        }
        EXPECT_TRUE(found);
    }
    for (const char* name : {"FormCreate", "FormDestroy", "btnOKClick", "btnCancelClick"}) {
        SCOPED_TRACE(name);
        const auto* procedure = Procedure(name);
        ASSERT_NE(procedure, nullptr);
        EXPECT_NE(procedure->FindChild("parameters"), nullptr);
        EXPECT_NE(procedure->FindChild("compoundstmt"), nullptr);
    }
    // The main block and the type section are there, empty.
    const auto* main_block = program_->FindChild("compoundstmt");
    ASSERT_NE(main_block, nullptr);
    EXPECT_TRUE(main_block->children.empty());
    ASSERT_NE(program_->FindChild("types"), nullptr);
}

TEST_F(OptionsDialogScript, ConstantsAndTheTreeDefinitionAreTheDescribedTexts) {
    ScriptEvaluator evaluate(*program_, form_);
    const std::pair<const char*, const char*> constants[] = {{"PARAM_OPTION_VALUE_SEP", "=="},
                                                             {"PARAM_OPTION_LIST_SEP", "||"},
                                                             {"RootNodeName", "QUERY"}};
    for (const auto& [name, value] : constants) {
        SCOPED_TRACE(name);
        bool found = false;
        for (const auto& c : program_->children) {
            if (c.name == "const" && c.FindChild("ident")->Attribute("text") == name) {
                EXPECT_EQ(evaluate.Evaluate(*c.FindChild("expr")), value);
                found = true;
            }
        }
        EXPECT_TRUE(found);
    }

    const auto* create = Procedure("FormCreate");
    ASSERT_NE(create, nullptr);
    const auto* tree = Call(*create, "CreateVirtualParamTreeview");
    ASSERT_NE(tree, nullptr);
    const auto args = Arguments(*tree);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[1]->FindChild("dsgn")->FindChild("node")->Attribute("text").value_or(""),
              "pan0");
    EXPECT_EQ(evaluate.Evaluate(*args[2]),
              "propTree~Requests queue~RootNodeName,QUERY,Panel,OpenSave");
    const std::string definition =
        "Request~@MsgReq~dtCategory,Editable\r\n"
        " Enabled~@MsgSendReq~dtCheckbox~~2\r\n"
        " Device~@MsgDevAddr~dtValidChars~0123456789-,;~1\r\n"
        " Timeout~@MsgReqTimeout~dtInteger~1,65535~1600\r\n"
        " RequestMethod~@MsgReqMethod~dtCategory\r\n"
        "  MethodOnce~@MsgMOnce~dtCheckbox,RadioButton~~0\r\n"
        "  MethodPoll~@MsgPolling~dtCheckbox,RadioButton~~2\r\n"
        "   PollInterval~@MsgPollInt~dtInteger~1,655350~5000\r\n"
        "   PollUnits~@MsgPollUnits~dtComboDropDownValuesList~@PollUnitList~MS\r\n"
        "  MethodAtTime~@MsgAtTime~dtCheckbox,RadioButton~~0\r\n"
        "   AtTime~@MsgTime~dtValidChars~0123456789:apm./;~12:00:00\r\n"
        "  MethodCron~@MsgCron~dtCheckbox,RadioButton~~0\r\n"
        "   CronTime~@MsgCronMask~dtValidChars~*0123456789/ ,-~0 0 12 * * *\r\n"
        " Response~@MsgResponseItems~dtCategory,Optional~F0F0F0,000000\r\n"
        "  Item~@MsgResponseItem~dtCategory,Editable,Repeatable~F0F0F0,000000\r\n"
        "   Register~@MsgFunc~dtComboDropDownValuesList~@FuncTypeList~0\r\n"
        "   Custom~@MsgFuncCustom~dtInteger~0,65535~0\r\n"
        "   Name~@MsgName~dtUpperCase";
    EXPECT_EQ(evaluate.Evaluate(*args[3]), definition);
    // Expressions carry their start and end positions.
    EXPECT_TRUE(args[3]->Attribute("pos").has_value());
    EXPECT_TRUE(args[3]->Attribute("pos1").has_value());
}

TEST_F(OptionsDialogScript, RunTimeCaptionsInEnglish) {
    ScriptEvaluator evaluate(*program_, form_);
    const auto* create = Procedure("FormCreate");
    ASSERT_NE(create, nullptr);
    std::map<std::string, std::string> assigned;
    // Every assignment of a holder's caption in FormCreate, by holder.
    std::vector<const OptionsElement*> pending{create};
    while (!pending.empty()) {
        const auto* e = pending.back();
        pending.pop_back();
        for (const auto& c : e->children) pending.push_back(&c);
        if (e->name != "assignstmt") continue;
        const auto& target = e->children.at(0);
        if (target.children.size() == 2 && target.children[1].Attribute("text") == "Caption") {
            assigned[std::string(target.children[0].Attribute("text").value_or(""))] =
                target.children[0].Attribute("text") == "FuncTypeList"
                    ? "<run time>"
                    : evaluate.Evaluate(e->children.at(1));
        }
    }
    EXPECT_EQ(assigned["PollUnitList"], "Millisecond==MS||Second==S||Minute==M||Hour==H");
    EXPECT_EQ(assigned["MsgFuncCustom"], "Register (custom)");
    EXPECT_EQ(assigned["FuncTypeList"], "<run time>");
    // The buttons get their handlers, and the host's helpers are called.
    for (const char* name : {"InitPluginConfigForm", "LoadPluginConfigForm", "FindComponent"}) {
        EXPECT_NE(Call(*create, name), nullptr) << name;
    }
    EXPECT_NE(Call(*Procedure("FormDestroy"), "FreeVirtualParamTreeview"), nullptr);
}

}  // namespace
}  // namespace zol::kmp
