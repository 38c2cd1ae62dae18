// The 128-bit decimal reader and writer that every p beyond 2^63 passes.
#include <gtest/gtest.h>

#include <string>

#include "platform/numparse.h"

namespace varnesk {
namespace {

TEST(ParseUInt128, FollowsTheNumberReadersRules) {
    struct Case {
        const char* text;
        bool hasDigits, negative, overflow;
        const char* value;  // decimal
    };
    const Case cases[] = {
        {"", false, false, false, "0"},
        {"  \t-", false, false, false, "0"},
        {"abc", false, false, false, "0"},
        {" \n 193 | 68^32+1", true, false, false, "193"},
        {"+42x", true, false, false, "42"},
        {"-5", true, true, false, "5"},
        {"9223372036854775807", true, false, false, "9223372036854775807"},
        {"18446744073709551616", true, false, false, "18446744073709551616"},
        {"79228162514264337593543950335", true, false, false, "79228162514264337593543950335"},
        {"340282366920938463463374607431768211455", true, false, false, "340282366920938463463374607431768211455"},
        {"340282366920938463463374607431768211456", true, false, true, "340282366920938463463374607431768211455"},
        {"0000000000000000000000000000000000000000000000012", true, false, false, "12"},
    };
    for (const Case& c : cases) {
        ParsedWide r = ParseUInt128(c.text);
        EXPECT_EQ(r.hasDigits, c.hasDigits) << c.text;
        EXPECT_EQ(r.negative, c.negative) << c.text;
        EXPECT_EQ(r.overflow, c.overflow) << c.text;
        EXPECT_EQ(FormatUInt128(r.value), c.value) << c.text;
    }
}

TEST(ParseUInt128, AgreesWithTheSixtyFourBitReaderBelow2To63) {
    for (const char* text : {"0", "1", "  77 ", "4611686018427387904", "9223372036854775807", "-0"}) {
        EXPECT_EQ(ParseUInt128(text).value, static_cast<UInt128>(ParseInt64(text).value)) << text;
        EXPECT_EQ(FormatUInt128(ParseUInt128(text).value), std::to_string(ParseInt64(text).value)) << text;
    }
}

TEST(FormatUInt128, RoundTripsPowersOfTwoAndTheirNeighbours) {
    for (int e = 0; e < 128; ++e) {
        for (int d = -1; d <= 1; ++d) {
            const UInt128 v = (UInt128{1} << e) + static_cast<UInt128>(static_cast<__int128>(d));
            const std::string text = FormatUInt128(v);
            ParsedWide r = ParseUInt128(text);
            EXPECT_TRUE(r.value == v && !r.overflow) << text;
            EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
        }
    }
}

// What a person types into a number field: one whole number or nothing.
TEST(ParseWholeNumber, TakesOneWholeNumberWithOrWithoutGroupsOfThree) {
    struct Case {
        const char* text;
        bool whole, negative;
        const char* value;
    };
    const Case cases[] = {
        {"250000", true, false, "250000"},
        {" 250,000\t", true, false, "250000"},
        {"1,000,000", true, false, "1000000"},
        {"+12", true, false, "12"},
        {"-3", true, true, "3"},
        {"-1,234", true, true, "1234"},
        {"100,000000000039", false, false, "0"},  // the worker's own p format is not a typed number
        {"79,228,162,514,264,337,593,543,950,335", true, false, "79228162514264337593543950335"},
        {"250", true, false, "250"},
        {"5e13", false, false, "0"},
        {"250,000x", false, false, "0"},
        {"2.5", false, false, "0"},
        {"25,0000", false, false, "0"},
        {"2500,000", false, false, "0"},
        {"1,00,000", false, false, "0"},
        {",250", false, false, "0"},
        {"250,", false, false, "0"},
        {"1,,000", false, false, "0"},
        {"12 34", false, false, "0"},
        {"", false, false, "0"},
        {"  ", false, false, "0"},
        {"-", false, false, "0"},
        {"+-1", false, false, "0"},
    };
    for (const Case& c : cases) {
        const ParsedWide r = ParseWholeNumber(c.text);
        EXPECT_EQ(r.hasDigits, c.whole) << c.text;
        EXPECT_EQ(r.negative, c.negative) << c.text;
        EXPECT_EQ(FormatUInt128(r.value), c.value) << c.text;
    }
    EXPECT_TRUE(ParseWholeNumber("340282366920938463463374607431768211456").overflow);
}

TEST(FormatUInt128Grouped, PutsACommaBetweenGroupsOfThree) {
    const std::pair<const char*, const char*> cases[] = {
        {"0", "0"},           {"999", "999"},
        {"1000", "1,000"},    {"3119153152001", "3,119,153,152,001"},
        {"100000000000000000000", "100,000,000,000,000,000,000"},
    };
    for (const auto& [digits, grouped] : cases) {
        EXPECT_EQ(FormatUInt128Grouped(ParseUInt128(digits).value), grouped);
        EXPECT_EQ(FormatUInt128(ParseWholeNumber(grouped).value), digits);
    }
}

}  // namespace
}  // namespace varnesk
