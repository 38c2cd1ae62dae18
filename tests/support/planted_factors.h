// Prime factors p of b^N + 1 between 2^63 and 2^100 (b even), found once
// with GMP by trial division and Pollard's rho on b^N + 1 and proven prime
// with 40 rounds of Miller-Rabin. A sieve over a range around p must strike b.
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
    {8, 240, "11007531417600000001"},
    {16, 64, "18446744069414584321"},  // 2^64 - 2^32 + 1
    {16, 80, "15995155905820811617"},
    {32, 8, "18446744069414584321"},
    {4, 5407220, "13556405624551836793"},
    // 2^64 <= p < 2^65, 2^66
    {8, 538, "24286244480072008673"},
    {16, 62, "32636214598129807073"},
    {4, 3407330, "22965725688852608929"},
    {8, 288, "47330370277129322497"},
    // near 2^80
    {8, 956, "697691028048069714313217"},
    {4, 4073960, "1071849769771030687387393"},
    {8, 1028, "1247225315301857742094337"},
    // near 2^95 and just below 2^96
    {8, 3532, "24219521534426967849817931777"},
    {4, 11950070, "20393031827613409895424010001"},
    {8, 3770, "40806636712234027488100000001"},
    {8, 3772, "40980143281771654910312513537"},
};

// Beyond the sieve's end (2^96 <= p < 2^100): readers and verify must not wrap.
inline constexpr PlantedFactor kPlantedBeyond96[] = {
    {8, 4888, "325873899756140089630938628097"},
    {4, 23949410, "328987408043751506312973610001"},
};

}  // namespace varnesk::testsupport
