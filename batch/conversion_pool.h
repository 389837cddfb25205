// The threads a batch run converts files on. The run's worker hands each
// file over once it is admitted and takes the results back in its own
// order; the pool only runs jobs and keeps the memory they hold within a
// budget.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

class PoolJob {
public:
    virtual ~PoolJob() = default;
    // On a pool thread.
    virtual void Run() = 0;
    // Bytes the job still holds once it has run (a picture kept for the
    // commit); the rest of what it was admitted with is free again then.
    virtual uint64_t KeptBytes() const { return 0; }
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

private:
    friend class ConversionPool;
    std::atomic<bool> finished_{false};
    uint64_t admitted_ = 0;
    bool released_ = false;
};

class ConversionPool {
public:
    // `threads` 1..64.
    ConversionPool(int threads, uint64_t budget);
    // Waits for every job started and ends the threads. Nothing ends a
    // thread from outside: a job runs to its end, and a run that is asked
    // to stop hands out no more.
    ~ConversionPool();
    ConversionPool(const ConversionPool&) = delete;
    ConversionPool& operator=(const ConversionPool&) = delete;

    int Threads() const { return threadCount_; }
    // False when no thread could be made: the run goes one at a time then.
    bool Ready() const;

    // Whether a job of `bytes` would be started now: a thread is free and
    // the bytes fit the budget beside what the jobs not yet released hold,
    // or nothing is held at all (a job over budget then runs alone).
    bool CanStart(uint64_t bytes) const;
    // Starts `job` (which must stay alive until released) when CanStart.
    bool TryStart(PoolJob* job, uint64_t bytes);
    // Returns when a job finishes, or after `ms`.
    void WaitForFinish(unsigned ms);
    // Blocks until `job` finished.
    void WaitFor(const PoolJob* job);
    // The job was committed: what it kept is free.
    void Release(PoolJob* job);

    struct Stats {
        uint64_t peakHeld = 0;        // bytes held at once
        uint64_t peakHeldShared = 0;  // the same, counted only while two or more jobs ran
        int peakRunning = 0;
    };
    Stats GetStats() const;

    // The threads' shared record.
    struct State;

private:
    static unsigned __stdcall ThreadMain(void* state);
    std::unique_ptr<State> s_;
    int threadCount_;
};

// The budget the run's conversions share: it fits the address space of a
// 32-bit process with room to spare, and at most half the memory of the
// machine. A test may lower it (0 gives the normal budget back).
uint64_t Batch_MemoryBudget();
void Batch_SetMemoryBudgetForTest(uint64_t bytes);
// The number of conversions a run with the Threads setting `setting` runs
// at once (0 = automatic: the machine's logical processors).
int Batch_ThreadCount(int setting);
// The statistics of the pool of the last run that had one.
ConversionPool::Stats Batch_LastPoolStats();

// A test may hold every job on its pool thread in `hook` before it runs
// (null: none).
void Batch_SetPoolJobHookForTest(void (*hook)());
