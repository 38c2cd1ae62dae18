// Proper prime factors p of b^N + 1 (p < b^N + 1) between 2^63 and 2^97,
// b even, found once with GMP by trial division and Pollard's rho on
// b^N + 1 and checked with 40 rounds of Miller-Rabin. A sieve over a range
// around p must strike b.
#pragma once
#include <cstdint>

namespace varnesk::testsupport {

struct PlantedFactor {
    int32_t exponent;  // N
    int32_t b;
    const char* p;  // decimal
};

inline constexpr PlantedFactor kPlantedFactors[] = {
    // 2^63 <= p < 2^64
    {8, 350, "13246325827205882353"},
    {16, 64, "18446744069414584321"},  // 2^64 - 2^32 + 1 divides 2^96 + 1
    {16, 80, "15995155905820811617"},
    {32, 8, "18446744069414584321"},
    {4, 5407220, "13556405624551836793"},
    // 2^64 <= p < 2^66
    {8, 538, "24286244480072008673"},
    {16, 62, "32636214598129807073"},
    {4, 3407330, "22965725688852608929"},
    {8, 418, "54822815154623504881"},
    // near 2^80, and beyond 3.3e24 near 2^84
    {8, 1372, "738556916456282384363761"},
    {4, 4073960, "1071849769771030687387393"},
    {8, 1484, "1383637379599581392793841"},
    {16, 58, "13475885701820249671437121"},
    // near 2^95 and just below 2^96
    {8, 4942, "20930182113456618675128214001"},
    {4, 24739490, "22035050418705565263805412353"},
    {8, 5386, "41656413071954504908726452721"},
    {8, 5484, "48120557206634949170769817841"},
};

// Beyond the sieve's end (2^96 <= p < 2^97): readers refuse them as resume
// points; verify still proves them.
inline constexpr PlantedFactor kPlantedBeyond96[] = {
    {8, 5888, "84975453155214275039393280241"},
    {4, 34072310, "79278859230656275669379012353"},
};

}  // namespace varnesk::testsupport
