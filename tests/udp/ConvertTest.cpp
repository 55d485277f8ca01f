// Reading integers as the console's boxes and the address parts do.
#include "SysUtils.h"

#include <gtest/gtest.h>

TEST(StrToInt, ReadsTheFormsItAccepts) {
    struct {
        const char* Text;
        int Value;
    } cases[] = {
        {"0", 0},
        {"50000", 50000},
        {"010", 10},
        {"-7", -7},
        {"+7", 7},
        {"  42", 42},
        {"$1F", 31},
        {"0x1f", 31},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"$FFFFFFFF", -1},
    };
    for (const auto& c : cases) {
        int v = 12345;
        EXPECT_TRUE(TryStrToInt(c.Text, v)) << c.Text;
        EXPECT_EQ(v, c.Value) << c.Text;
        EXPECT_EQ(StrToInt(c.Text), c.Value) << c.Text;
    }
}

TEST(StrToInt, RefusesOtherTextsWithTheConversionMessage) {
    for (const char* text : {"", " ", "-", "12a", "1.5", "42 ", "abc", "2147483648", "-2147483649",
                             "$", "0x", "$100000000", "1e3"}) {
        int v = 12345;
        EXPECT_FALSE(TryStrToInt(text, v)) << text;
        EXPECT_EQ(v, 12345) << text;
        try {
            StrToInt(text);
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + text + "' is not a valid integer value");
        }
    }
}
