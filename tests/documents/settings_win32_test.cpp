// What only the Windows build can show: the platform's own converters for
// code page 932 and the ANSI code page.
#include <gtest/gtest.h>

#include <string>

#include "documents/documents.h"
#include "platform/platform.h"

TEST(SettingsWin32, ShiftJisThroughCodePage932) {
    const std::string bytes = "\x83\x54\x81\x5b\x83\x6f\x81\x5b\x81\x81";  // サーバー＝
    char16_t text[16];
    const int32_t units =
        convertToUtf16(CODEPAGE_SHIFT_JIS, reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int32_t>(bytes.size()), text, 15);
    ASSERT_EQ(units, 5);
    text[units] = 0;
    EXPECT_EQ(std::u16string(text), u"サーバー＝");
}

TEST(SettingsWin32, DecodedSettingsBytesPickTheEncoding) {
    const std::string sjis = "\x91\xe4=2";  // 台=2
    char16_t* text = decodeSettingsBytes(reinterpret_cast<const unsigned char*>(sjis.data()),
                                         static_cast<uint32_t>(sjis.size()));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"台=2");
    heapFree(text);
}
