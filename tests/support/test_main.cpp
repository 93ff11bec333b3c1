#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

// Exit code that CTest reads as "skipped" (SKIP_RETURN_CODE) when no case ran.
const int ALL_SKIPPED_EXIT_CODE = 77;

// Collects skipped cases with their reasons and prints them at the end, in a form
// scripts/run-tests.sh gathers from every entry's output: a skip never hides
// behind a pass.
class SkipReport : public testing::EmptyTestEventListener {
public:
    void OnTestPartResult(const testing::TestPartResult& result) override
    {
        if (result.skipped())
            reason_ = result.message();
    }
    void OnTestStart(const testing::TestInfo&) override { reason_.clear(); }
    void OnTestEnd(const testing::TestInfo& info) override
    {
        if (!info.result()->Skipped())
            return;
        std::string reason = reason_;
        for (char& c : reason) {
            if (c == '\n' || c == '\r')
                c = ' ';
        }
        lines_.push_back(std::string(info.test_suite_name()) + "." + info.name() + ": " +
                         (reason.empty() ? "no reason given" : reason));
    }
    void OnTestProgramEnd(const testing::UnitTest& unit) override
    {
        if (lines_.empty())
            return;
        printf("[ skipped  ] %zu of %d cases skipped:\n", lines_.size(), unit.test_to_run_count());
        for (const std::string& line : lines_)
            printf("[ skipped  ] %s\n", line.c_str());
        fflush(stdout);
    }

private:
    std::string reason_;
    std::vector<std::string> lines_;
};

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new SkipReport);
    int status = RUN_ALL_TESTS();
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    if (status == 0 && unit.test_to_run_count() > 0 && unit.skipped_test_count() == unit.test_to_run_count())
        return ALL_SKIPPED_EXIT_CODE;
    return status;
}
