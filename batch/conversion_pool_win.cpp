#include "batch/conversion_pool.h"
#include "entry/extras.h"
#include "makerlibs/pmwin.h"

#include <process.h>

#include <algorithm>
#include <deque>
#include <vector>

namespace {

// Beside the pictures, each conversion holds a codec's own buffers and a
// thread's stack; a 32-bit process keeps most of its 2 GB address space
// for them, the program and fragmentation.
constexpr uint64_t kBudget32 = 768ull << 20;
constexpr uint64_t kMinBudget = 256ull << 20;
constexpr uint64_t kMaxBudget64 = 8ull << 30;
std::atomic<uint64_t> g_budgetForTest{0};

SRWLOCK g_statsLock = SRWLOCK_INIT;
ConversionPool::Stats g_lastStats;
std::atomic<void (*)()> g_jobHookForTest{nullptr};

// Conversions keep their big buffers on the heap; a small stack saves
// address space in the 32-bit build. Without the flag the size would be
// what the stack commits at once, and the reservation the program's
// default.
constexpr unsigned kThreadStackBytes = 1u << 20;

// The x87 control word is per thread, and a new thread does not get the
// creating thread's: the runtime sets 64-bit precision for the main thread
// at start, while the system starts threads at 53 bits. Doubles in the
// quantisers and filters then round differently, and a picture converted
// on a pool thread would differ from the same picture converted on the
// worker. Every pool thread takes its creator's word. (The 64-bit build
// does its floating point in SSE registers, whose defaults agree.)
#if defined(__i386__)
using FpuControl = unsigned short;
FpuControl ReadFpuControl() {
    FpuControl word;
    __asm__ __volatile__("fnstcw %0" : "=m"(word));
    return word;
}
void SetFpuControl(FpuControl word) { __asm__ __volatile__("fldcw %0" : : "m"(word)); }
#else
using FpuControl = int;
FpuControl ReadFpuControl() { return 0; }
void SetFpuControl(FpuControl) {}
#endif

}  // namespace

struct ConversionPool::State {
    FpuControl fpu = ReadFpuControl();
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;      // a job waits, or the pool ends
    CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;  // a job finished
    std::deque<PoolJob*> queue;
    std::vector<HANDLE> threads;
    int threadCount = 0;
    int running = 0;  // started and not finished, queued included
    uint64_t held = 0;
    uint64_t budget = 0;
    bool ending = false;
    Stats stats;
};

ConversionPool::ConversionPool(int threads, uint64_t budget) : s_(new State), threadCount_(threads) {
    s_->budget = budget;
    s_->threadCount = threads;
    s_->threads.reserve(size_t(threads));
    for (int i = 0; i < threads; ++i) {
        auto h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, kThreadStackBytes, ThreadMain, s_.get(),
                                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!h) break;
        s_->threads.push_back(h);
    }
}

ConversionPool::~ConversionPool() {
    AcquireSRWLockExclusive(&s_->lock);
    while (s_->running > 0) SleepConditionVariableSRW(&s_->finished, &s_->lock, INFINITE, 0);
    s_->ending = true;
    ReleaseSRWLockExclusive(&s_->lock);
    WakeAllConditionVariable(&s_->work);
    if (!s_->threads.empty())
        WaitForMultipleObjects(DWORD(s_->threads.size()), s_->threads.data(), TRUE, INFINITE);
    for (HANDLE h : s_->threads) CloseHandle(h);
    AcquireSRWLockExclusive(&g_statsLock);
    g_lastStats = s_->stats;
    ReleaseSRWLockExclusive(&g_statsLock);
}

bool ConversionPool::Ready() const { return !s_->threads.empty(); }

unsigned __stdcall ConversionPool::ThreadMain(void* param) {
    auto* s = static_cast<State*>(param);
    SetFpuControl(s->fpu);
    for (;;) {
        AcquireSRWLockExclusive(&s->lock);
        while (s->queue.empty() && !s->ending) SleepConditionVariableSRW(&s->work, &s->lock, INFINITE, 0);
        if (s->queue.empty()) {
            ReleaseSRWLockExclusive(&s->lock);
            return 0;
        }
        PoolJob* job = s->queue.front();
        s->queue.pop_front();
        ReleaseSRWLockExclusive(&s->lock);

        if (auto hook = g_jobHookForTest.load()) hook();
        job->Run();  // keeps its own failures (see the job)

        AcquireSRWLockExclusive(&s->lock);
        uint64_t kept = std::min(job->KeptBytes(), job->admitted_);
        s->held -= job->admitted_ - kept;
        job->admitted_ = kept;
        --s->running;
        job->finished_.store(true, std::memory_order_release);
        ReleaseSRWLockExclusive(&s->lock);
        WakeAllConditionVariable(&s->finished);
    }
}

bool ConversionPool::CanStart(uint64_t bytes) const {
    AcquireSRWLockShared(&s_->lock);
    bool can = s_->running < int(s_->threads.size()) && (s_->held == 0 || s_->held + bytes <= s_->budget);
    ReleaseSRWLockShared(&s_->lock);
    return can;
}

bool ConversionPool::TryStart(PoolJob* job, uint64_t bytes) {
    if (bytes == 0) bytes = 1;  // a job always counts as held until released
    AcquireSRWLockExclusive(&s_->lock);
    bool can = s_->running < int(s_->threads.size()) && (s_->held == 0 || s_->held + bytes <= s_->budget);
    if (can) {
        job->admitted_ = bytes;
        s_->held += bytes;
        ++s_->running;
        s_->queue.push_back(job);
        Stats& st = s_->stats;
        st.peakHeld = std::max(st.peakHeld, s_->held);
        if (s_->running > 1) st.peakHeldShared = std::max(st.peakHeldShared, s_->held);
        st.peakRunning = std::max(st.peakRunning, s_->running);
    }
    ReleaseSRWLockExclusive(&s_->lock);
    if (can) WakeConditionVariable(&s_->work);
    return can;
}

void ConversionPool::WaitForFinish(unsigned ms) {
    AcquireSRWLockExclusive(&s_->lock);
    if (s_->running > 0) SleepConditionVariableSRW(&s_->finished, &s_->lock, ms, 0);
    ReleaseSRWLockExclusive(&s_->lock);
}

void ConversionPool::WaitFor(const PoolJob* job) {
    AcquireSRWLockExclusive(&s_->lock);
    while (!job->Finished()) SleepConditionVariableSRW(&s_->finished, &s_->lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&s_->lock);
}

void ConversionPool::Release(PoolJob* job) {
    AcquireSRWLockExclusive(&s_->lock);
    if (!job->released_ && job->Finished()) {
        s_->held -= job->admitted_;
        job->admitted_ = 0;
        job->released_ = true;
    }
    ReleaseSRWLockExclusive(&s_->lock);
}

ConversionPool::Stats ConversionPool::GetStats() const {
    AcquireSRWLockShared(&s_->lock);
    Stats st = s_->stats;
    ReleaseSRWLockShared(&s_->lock);
    return st;
}

uint64_t Batch_MemoryBudget() {
    if (uint64_t test = g_budgetForTest.load()) return test;
    if (sizeof(void*) == 4) return kBudget32;
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    if (!GlobalMemoryStatusEx(&m)) return kBudget32;
    return std::clamp<uint64_t>(m.ullTotalPhys / 2, kMinBudget, kMaxBudget64);
}

void Batch_SetMemoryBudgetForTest(uint64_t bytes) { g_budgetForTest.store(bytes); }

int Batch_ThreadCount(int setting) {
    if (setting >= 1 && setting <= kMaxThreads) return setting;
    DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (processors == 0) {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        processors = info.dwNumberOfProcessors;
    }
    // More threads than the budget holds ordinary photos (8 MP, about
    // 72 MB each) would mostly wait for admission.
    uint64_t fit = std::max<uint64_t>(1, Batch_MemoryBudget() / (72ull << 20));
    return int(std::clamp<uint64_t>(std::min<uint64_t>(processors, fit), 1, kMaxThreads));
}

ConversionPool::Stats Batch_LastPoolStats() {
    AcquireSRWLockShared(&g_statsLock);
    ConversionPool::Stats st = g_lastStats;
    ReleaseSRWLockShared(&g_statsLock);
    return st;
}

void Batch_SetPoolJobHookForTest(void (*hook)()) { g_jobHookForTest.store(hook); }
