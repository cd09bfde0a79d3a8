// The random caller names of the lock fixture: length and alphabet over many
// draws, and that every length and every character can come up.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/ls/tarn_ls_test.h"

TEST(TARNLSTestRandomString, LengthAndAlphabetOverManyDraws) {
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::set<size_t> lengths;
    std::set<char> chars;
    std::set<std::string> distinct;
    const int draws = 3000;
    for (int i = 0; i < draws; ++i) {
        std::string s = TARNLSTest::createRandomString();
        ASSERT_GE(s.size(), 10u) << s;
        ASSERT_LE(s.size(), 30u) << s;
        for (char c : s) ASSERT_NE(std::string::npos, alphabet.find(c)) << "character " << int(c) << " in " << s;
        lengths.insert(s.size());
        chars.insert(s.begin(), s.end());
        distinct.insert(s);
    }
    // Both ends of both ranges are reachable (about 140 draws per length and
    // 1000 per character expected, so a miss means a wrong bound).
    EXPECT_EQ(21u, lengths.size());
    EXPECT_EQ(alphabet.size(), chars.size());
    // Each call seeds its own generator: calls never repeat one another.
    EXPECT_EQ(size_t(draws), distinct.size());
}
