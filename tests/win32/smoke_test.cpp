#include <gtest/gtest.h>
#include <windows.h>

TEST(Win32Smoke, LoadsThePlugin) {
    HMODULE dll = LoadLibraryA("kmpparser.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_NE(GetProcAddress(dll, "CreatePluginInstance"), nullptr);
    FreeLibrary(dll);
}
