// The options dialog's description through the real DLL: GetOptionsDialog packs the form, an empty
// middle block and the gzip script package, and the blocks are the build's generated resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hostsim/gzip_inflate.h"
#include "hostsim/host_lib.h"

namespace zol::hostsim {
namespace {

// The generated resources next to the binaries (tests run in bin/).
std::string ReadGenerated(const char* name) {
    std::ifstream in(std::string("..\\options\\") + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

class OptionsDialog : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_TRUE(library_.Load("kmpparser.dll")) << library_.Error();
        host_ = std::make_unique<HostInstance>(library_, ParamsMode::kListObject);
        ASSERT_EQ(host_->Create(), 0);
        form_ = ReadGenerated("TFRMOPTION.tpf");
        package_gz_ = ReadGenerated("FORM_DATA.gz");
        package_text_ = ReadGenerated("package.txt");
        ASSERT_FALSE(form_.empty());
        ASSERT_FALSE(package_gz_.empty());
        ASSERT_FALSE(package_text_.empty());
    }

    // One GetOptionsDialog call with a buffer of `size` bytes and an optional form name in it.
    void Ask(std::vector<std::uint8_t>& buffer, std::int32_t size, const char* form_name = "") {
        call_ = std::make_unique<CallRecord>(ParamsMode::kListObject);
        call_->Rec().Instance = host_->Handle();
        buffer.assign(static_cast<std::size_t>(size > 0 ? size : 1), 0);
        std::memcpy(buffer.data(), form_name, std::min(buffer.size(), std::strlen(form_name)));
        call_->Rec().InData.Value.Ptr = buffer.data();
        call_->Rec().InData.Size = size;
        library_.Exports().GetOptionsDialog(&call_->Rec());
    }

    PluginLibrary library_;
    std::unique_ptr<HostInstance> host_;
    std::unique_ptr<CallRecord> call_;
    std::string form_;
    std::string package_gz_;
    std::string package_text_;
};

TEST_F(OptionsDialog, TooSmallBufferGivesTheSizeAndThatSizeGivesTheThreeBlocks) {
    const std::size_t total = 24 + form_.size() + package_gz_.size();
    std::vector<std::uint8_t> buffer;
    Ask(buffer, 64);
    EXPECT_EQ(+call_->Rec().OutData.Kind, 5);
    EXPECT_EQ(+call_->Rec().OutData.Value.Number, 3u);
    ASSERT_EQ(+call_->Rec().OutData.Size, static_cast<std::int32_t>(total));
    Ask(buffer, static_cast<std::int32_t>(total - 1));
    EXPECT_EQ(+call_->Rec().OutData.Value.Number, 3u);

    Ask(buffer, static_cast<std::int32_t>(total));
    EXPECT_EQ(+call_->Rec().OutData.Kind, 2);
    EXPECT_EQ(+call_->Rec().OutData.Size, 0);
    EXPECT_EQ(+call_->Rec().OutData.Value.Number, total);
    // Header: offset and length of the form, the empty middle block, the package.
    EXPECT_EQ(Le32(buffer, 0), 24u);
    EXPECT_EQ(Le32(buffer, 4), form_.size());
    EXPECT_EQ(Le32(buffer, 8), 24u + form_.size());
    EXPECT_EQ(Le32(buffer, 12), 0u);
    EXPECT_EQ(Le32(buffer, 16), 24u + form_.size());
    EXPECT_EQ(Le32(buffer, 20), package_gz_.size());
    EXPECT_EQ(std::string(buffer.begin() + 24, buffer.begin() + 28), "TPF0");
    EXPECT_EQ(std::string(buffer.begin() + 24, buffer.begin() + 24 + form_.size()), form_);
    const std::span<const std::uint8_t> block3(buffer.data() + 24 + form_.size(),
                                               package_gz_.size());
    EXPECT_EQ(std::string(block3.begin(), block3.end()), package_gz_);
    // gzip: deflate, the FNAME flag, the stored name "1".
    EXPECT_EQ(block3[0], 0x1F);
    EXPECT_EQ(block3[1], 0x8B);
    EXPECT_EQ(block3[2], 8);
    EXPECT_NE(block3[3] & 0x08, 0);
    EXPECT_EQ(block3[10], '1');
    EXPECT_EQ(block3[11], 0);

    const auto unzipped = Gunzip(block3);
    ASSERT_TRUE(unzipped.ok) << unzipped.error;
    EXPECT_EQ(unzipped.file_name, "1");
    EXPECT_EQ(unzipped.data, package_text_);
    EXPECT_TRUE(unzipped.data.starts_with("<?xml version=\"1.0\"?><program"));
    EXPECT_NE(unzipped.data.find("\r\n\r\n<=======>\r\n\r\nTFRMOPTION\r\n\r\n<=======>\r\n\r\n"),
              std::string::npos);
}

TEST_F(OptionsDialog, ANamedFormIsLookedUpUpperCasedWithoutItsCodeResource) {
    std::vector<std::uint8_t> buffer;
    Ask(buffer, 8192, "tfrmOption");
    ASSERT_EQ(+call_->Rec().OutData.Kind, 2);
    EXPECT_EQ(+call_->Rec().OutData.Value.Number, 24u + form_.size());
    EXPECT_EQ(Le32(buffer, 4), form_.size());
    EXPECT_EQ(Le32(buffer, 20), 0u);  // no TFRMOPTION_CODE resource

    Ask(buffer, 64, "NoSuchForm");
    EXPECT_EQ(+call_->Rec().OutData.Kind, 5);
    EXPECT_EQ(+call_->Rec().OutData.Value.Number, 2u);  // nothing to pack: no dialog
}

// Members made by other gzip writers (Python's zlib and the gzip program): a stored block, a
// fixed-code block with back references, an empty member, and one with the stored name "1".
TEST(GzipReader, ReadsMembersOfOtherWriters) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> gz;
        std::string text;
        std::string file_name;
    };
    const Case cases[] = {
        {"stored block",
         {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03, 0x01, 0x05, 0x00, 0xFA,
          0xFF, 0x4B, 0x4D, 0x50, 0x0D, 0x0A, 0x46, 0xA7, 0xB8, 0xB9, 0x05, 0x00, 0x00, 0x00},
         "KMP\r\n",
         ""},
        {"fixed codes",
         {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0x4B, 0x4C, 0x4A,
          0x4E, 0x44, 0x42, 0x00, 0xA3, 0x8C, 0x27, 0xD3, 0x0F, 0x00, 0x00, 0x00},
         "abcabcabcabcabc",
         ""},
        {"empty",
         {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03,
          0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         "",
         ""},
        {"stored name",
         {0x1F, 0x8B, 0x08, 0x08, 0x71, 0x1A, 0x17, 0x6B, 0x02, 0x03, 0x31, 0x00, 0xF3,
          0xF6, 0x0D, 0x00, 0x00, 0x8F, 0xDB, 0x32, 0xAD, 0x03, 0x00, 0x00, 0x00},
         "KMP",
         "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Gunzip(c.gz);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.data, c.text);
        EXPECT_EQ(result.file_name, c.file_name);
    }
}

// The package reader that hostsim uses refuses damaged streams instead of returning bad text.
TEST_F(OptionsDialog, DamagedPackagesAreRefused) {
    std::vector<std::uint8_t> gz(package_gz_.begin(), package_gz_.end());
    struct Case {
        const char* name;
        std::size_t at;  // byte to flip, counted from the end when `from_end`
        bool from_end;
    };
    const Case cases[] = {{"magic", 0, false},
                          {"compression method", 2, false},
                          {"deflate data", 200, false},
                          {"CRC-32", 8, true},
                          {"length", 4, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bad = gz;
        bad[c.from_end ? bad.size() - c.at : c.at] ^= 0x55;
        const auto result = Gunzip(bad);
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.error.empty());  // hostsim prints why
        EXPECT_TRUE(result.data.empty());
    }
    const std::vector<std::uint8_t> cut(gz.begin(), gz.end() - 9);
    EXPECT_FALSE(Gunzip(cut).ok);
    const auto small = Gunzip(gz, 100);
    EXPECT_FALSE(small.ok);
}

}  // namespace
}  // namespace zol::hostsim
