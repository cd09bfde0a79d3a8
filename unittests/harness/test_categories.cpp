// Test categories: switch extraction, environment variables and the skip
// checks that fixtures make.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "utils/test_categories.h"

namespace {

const char* const k_env_vars[] = {"ENABLE_HEAVY_TESTS", "ENABLE_ASSISTED_TESTS", "ENABLE_HA_TESTS"};

class TestCategoriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : k_env_vars) {
            const char* v = getenv(name);
            saved_env_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
            unsetenv(name);
        }
        reset_flags();
    }

    void TearDown() override {
        for (size_t i = 0; i < saved_env_.size(); ++i) {
            if (saved_env_[i])
                setenv(k_env_vars[i], saved_env_[i]->c_str(), 1);
            else
                unsetenv(k_env_vars[i]);
        }
        reset_flags();
    }

    static void reset_flags() {
        test_categories::enable_heavy_tests = false;
        test_categories::enable_assisted_tests = false;
        test_categories::enable_ha_tests = false;
    }

    // Runs ParseArgs over `args` (program name included) and returns the
    // whole vector afterwards, slots beyond the new count included.
    std::vector<std::string> parse(const std::vector<std::string>& args, int* argc_out) {
        storage_ = args;
        std::vector<char*> argv;
        for (std::string& a : storage_) argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(args.size());
        test_categories::ParseArgs(&argc, argv.data());
        *argc_out = argc;
        std::vector<std::string> out;
        for (size_t i = 0; i < args.size(); ++i) out.push_back(argv[i]);
        return out;
    }

    std::vector<std::optional<std::string>> saved_env_;
    std::vector<std::string> storage_;
};

TEST_F(TestCategoriesTest, SwitchesAreRemovedAndOtherArgumentsKeptInOrder) {
    int argc = 0;
    auto argv = parse({"prog", "a", "--enable-heavy-tests", "-c", "--enable-ha-tests", "x"}, &argc);
    EXPECT_EQ(4, argc);
    EXPECT_EQ((std::vector<std::string>{"prog", "a", "-c", "x", "--enable-ha-tests", "x"}), argv)
        << "slots beyond the new count stay as they were";
    EXPECT_TRUE(test_categories::enable_heavy_tests);
    EXPECT_FALSE(test_categories::enable_assisted_tests);
    EXPECT_TRUE(test_categories::enable_ha_tests);

    argv = parse({"prog", "--enable-assisted-tests", "--enable-assisted-tests"}, &argc);
    EXPECT_EQ(1, argc);
    EXPECT_EQ("prog", argv[0]);
    EXPECT_TRUE(test_categories::enable_assisted_tests);
}

TEST_F(TestCategoriesTest, OnlyTheExactWordIsASwitch) {
    int argc = 0;
    auto argv = parse({"prog", "--enable-heavy-tests=1", "--enable-heavy-test", "--ENABLE-HA-TESTS", "enable-ha-tests",
                       "-enable-assisted-tests"},
                      &argc);
    EXPECT_EQ(6, argc);
    EXPECT_EQ("--enable-heavy-tests=1", argv[1]);
    EXPECT_EQ("-enable-assisted-tests", argv[5]);
    EXPECT_FALSE(test_categories::enable_heavy_tests);
    EXPECT_FALSE(test_categories::enable_assisted_tests);
    EXPECT_FALSE(test_categories::enable_ha_tests);
}

TEST_F(TestCategoriesTest, ProgramNameAloneIsLeftAlone) {
    int argc = 0;
    auto argv = parse({"--enable-heavy-tests"}, &argc);
    EXPECT_EQ(1, argc);
    EXPECT_EQ("--enable-heavy-tests", argv[0]);
    EXPECT_FALSE(test_categories::enable_heavy_tests);
}

TEST_F(TestCategoriesTest, AnyValueOfAVariableTurnsItsCategoryOn) {
    setenv("ENABLE_HA_TESTS", "0", 1);
    setenv("ENABLE_ASSISTED_TESTS", "", 1);
    int argc = 0;
    parse({"prog", "-c", "x"}, &argc);
    EXPECT_EQ(3, argc);
    EXPECT_FALSE(test_categories::enable_heavy_tests);
    EXPECT_TRUE(test_categories::enable_assisted_tests);
    EXPECT_TRUE(test_categories::enable_ha_tests);

    // The environment is read even without arguments.
    reset_flags();
    setenv("ENABLE_HEAVY_TESTS", "no", 1);
    parse({"prog"}, &argc);
    EXPECT_TRUE(test_categories::enable_heavy_tests);
}

TEST_F(TestCategoriesTest, EnvironmentNeverClearsAFlag) {
    int argc = 0;
    parse({"prog", "--enable-heavy-tests"}, &argc);
    EXPECT_TRUE(test_categories::enable_heavy_tests);
    parse({"prog"}, &argc);
    EXPECT_TRUE(test_categories::enable_heavy_tests);
}

TEST_F(TestCategoriesTest, HelpSwitchExitsWithZero) {
    int argc = 0;
    EXPECT_EXIT(parse({"prog", "-x", "--help-test-categories", "--enable-heavy-tests"}, &argc),
                ::testing::ExitedWithCode(0), "");
}

// The check a fixture's SetUp makes; `reached` tells whether the caller went
// on after it.
void require_heavy(bool* reached) {
    TARN_REQUIRE_HEAVY_CATEGORY();
    *reached = true;
}
void require_assisted(bool* reached) {
    TARN_REQUIRE_ASSISTED_CATEGORY();
    *reached = true;
}
void require_ha(bool* reached) {
    TARN_REQUIRE_HA_CATEGORY();
    *reached = true;
}
void require_heavy_then_ha(bool* reached) {
    TARN_REQUIRE_HEAVY_CATEGORY();
    TARN_REQUIRE_HA_CATEGORY();
    *reached = true;
}

struct CheckOutcome {
    bool reached = false;
    int results = 0;
    bool skipped = false;
    std::string message;
};

CheckOutcome run_check(void (*check)(bool*)) {
    CheckOutcome o;
    ::testing::TestPartResultArray results;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        check(&o.reached);
    }
    o.results = results.size();
    if (o.results > 0) {
        o.skipped = results.GetTestPartResult(0).skipped();
        o.message = results.GetTestPartResult(0).message();
    }
    return o;
}

TEST_F(TestCategoriesTest, RequirementChecksSkipWithTheCategoryMessage) {
    struct Case {
        void (*check)(bool*);
        bool* flag;
        const char* message;
    } cases[] = {
        {require_heavy, &test_categories::enable_heavy_tests,
         "Test requires HEAVY category to be enabled. Use --enable-heavy-tests"
         " or set ENABLE_HEAVY_TESTS=1 environment variable."},
        {require_assisted, &test_categories::enable_assisted_tests,
         "Test requires ASSISTED category to be enabled. Use --enable-assisted-tests"
         " or set ENABLE_ASSISTED_TESTS=1 environment variable."},
        {require_ha, &test_categories::enable_ha_tests,
         "Test requires HA category to be enabled. Use --enable-ha-tests"
         " or set ENABLE_HA_TESTS=1 environment variable."},
    };
    for (const Case& c : cases) {
        reset_flags();
        CheckOutcome off = run_check(c.check);
        EXPECT_FALSE(off.reached);
        ASSERT_EQ(1, off.results);
        EXPECT_TRUE(off.skipped);
        EXPECT_EQ(c.message, off.message);

        *c.flag = true;
        CheckOutcome on = run_check(c.check);
        EXPECT_TRUE(on.reached);
        EXPECT_EQ(0, on.results);
    }
}

TEST_F(TestCategoriesTest, SeveralRequirementsSkipAtTheFirstOneOff) {
    CheckOutcome o = run_check(require_heavy_then_ha);
    EXPECT_FALSE(o.reached);
    ASSERT_EQ(1, o.results);
    EXPECT_EQ(0u, o.message.find("Test requires HEAVY category")) << o.message;

    test_categories::enable_heavy_tests = true;
    o = run_check(require_heavy_then_ha);
    EXPECT_FALSE(o.reached);
    ASSERT_EQ(1, o.results);
    EXPECT_EQ(0u, o.message.find("Test requires HA category")) << o.message;

    test_categories::enable_ha_tests = true;
    o = run_check(require_heavy_then_ha);
    EXPECT_TRUE(o.reached);
    EXPECT_EQ(0, o.results);
}

}  // namespace
