#include "content/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(NaturalOrder, NumbersByValueCaseFoldedAndOnlyEqualNamesTie)
{
    std::vector<std::string> names;
    for (int n : {150, 27, 2, 10, 1, 57, 100}) names.push_back("track " + std::to_string(n));
    std::sort(names.begin(), names.end(), tv::NaturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"track 1", "track 2", "track 10", "track 27",
                                               "track 57", "track 100", "track 150"}));
    EXPECT_GT(tv::NaturalCompare("Beta", "alpha 2"), 0);  // b after a, whatever the case
    EXPECT_GT(tv::NaturalCompare("Beta", "alpha"), 0);
    EXPECT_LT(tv::NaturalCompare("a 99999999999999999999998", "a 99999999999999999999999"), 0);
    EXPECT_LT(tv::NaturalCompare("disc", "disc 1"), 0);
    // Ties by value and case are still ordered, the same way every time.
    EXPECT_NE(tv::NaturalCompare("track 02", "track 2"), 0);
    EXPECT_NE(tv::NaturalCompare("Track", "track"), 0);
    EXPECT_EQ(tv::NaturalCompare("same 1", "same 1"), 0);
}

// The order must be a strict weak order over any names, or sorting a folder is undefined and
// pages come in different orders.
TEST(NaturalOrder, IsATotalOrderOverRandomNames)
{
    std::mt19937 random(7);
    const std::string alphabet = "aAbB0129 .-_/:\xc3\xa9";
    auto name = [&] {
        std::string text;
        int length = static_cast<int>(random() % 8);
        for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
        return text;
    };
    std::vector<std::string> names(400);
    for (std::string& n : names) n = name();
    for (int round = 0; round < 20000; ++round) {
        const std::string& a = names[random() % names.size()];
        const std::string& b = names[random() % names.size()];
        const std::string& c = names[random() % names.size()];
        int ab = tv::NaturalCompare(a, b);
        ASSERT_EQ(ab, -tv::NaturalCompare(b, a)) << a << " / " << b;
        // The keys a large folder is sorted by give the very same order.
        tv::NaturalKeys keys;
        keys.Add(a);
        keys.Add(b);
        ASSERT_EQ(keys.Compare(0, a, 1, b), ab) << a << " / " << b;
        ASSERT_EQ(ab == 0, a == b) << a << " / " << b;
        if (ab < 0 && tv::NaturalCompare(b, c) < 0) {
            ASSERT_LT(tv::NaturalCompare(a, c), 0) << a << " / " << b << " / " << c;
        }
    }
    std::vector<std::string> once = names;
    std::vector<std::string> again = names;
    std::shuffle(again.begin(), again.end(), random);
    std::sort(once.begin(), once.end(), tv::NaturalLess);
    std::sort(again.begin(), again.end(), tv::NaturalLess);
    EXPECT_EQ(once, again);
}

}  // namespace
