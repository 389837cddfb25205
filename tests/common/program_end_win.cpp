// Ends a Windows test program as soon as its results are printed.
//
// Under Wine a test program that had windows and worker threads sometimes
// stops in its own exit, after every test passed and the summary was
// printed: the last threads wait on the Wine server and the program ends
// only when its time limit kills it, reported as a failure. The tests have
// nothing left to check at that point, so the program ends itself with
// TerminateProcess, skipping the library detach and static destruction in
// which it stalls. The exit code is the one the test main would return.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

namespace {

class EndAfterSummary : public testing::TestEventListener {
public:
    explicit EndAfterSummary(testing::TestEventListener* printer) : printer_(printer) {}
    ~EndAfterSummary() override { delete printer_; }

    void OnTestProgramStart(const testing::UnitTest& u) override { printer_->OnTestProgramStart(u); }
    void OnTestIterationStart(const testing::UnitTest& u, int i) override { printer_->OnTestIterationStart(u, i); }
    void OnEnvironmentsSetUpStart(const testing::UnitTest& u) override { printer_->OnEnvironmentsSetUpStart(u); }
    void OnEnvironmentsSetUpEnd(const testing::UnitTest& u) override { printer_->OnEnvironmentsSetUpEnd(u); }
    void OnTestSuiteStart(const testing::TestSuite& s) override { printer_->OnTestSuiteStart(s); }
    // Flushed at once: the runtime buffers a redirected stdout whole, and a
    // suite killed by its time limit would leave no word of where it was.
    void OnTestStart(const testing::TestInfo& t) override {
        printer_->OnTestStart(t);
        std::fflush(stdout);
    }
    void OnTestDisabled(const testing::TestInfo& t) override { printer_->OnTestDisabled(t); }
    void OnTestPartResult(const testing::TestPartResult& r) override { printer_->OnTestPartResult(r); }
    void OnTestEnd(const testing::TestInfo& t) override {
        printer_->OnTestEnd(t);
        std::fflush(stdout);
    }
    void OnTestSuiteEnd(const testing::TestSuite& s) override { printer_->OnTestSuiteEnd(s); }
    void OnEnvironmentsTearDownStart(const testing::UnitTest& u) override { printer_->OnEnvironmentsTearDownStart(u); }
    void OnEnvironmentsTearDownEnd(const testing::UnitTest& u) override { printer_->OnEnvironmentsTearDownEnd(u); }
    void OnTestIterationEnd(const testing::UnitTest& u, int i) override { printer_->OnTestIterationEnd(u, i); }
    void OnTestProgramEnd(const testing::UnitTest& u) override {
        printer_->OnTestProgramEnd(u);
        std::fflush(stdout);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), u.Passed() ? 0 : 1);
    }

private:
    testing::TestEventListener* printer_;
};

const bool g_installed = [] {
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
    if (!printer) return false;
    listeners.Append(new EndAfterSummary(printer));
    return true;
}();

}  // namespace
