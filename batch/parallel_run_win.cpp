// A run converting several files at once. The worker walks as a run one
// file at a time does and decides everything that depends on the order of
// the files there: the output name and whether it may be written, the
// output folder, the files taken. Only reading, converting and writing go
// to the pool. Results are committed on the worker in walk order, so
// counters, error entries, the log, the preview and the host's hook see
// exactly what they would see one file at a time.
#include "batch/batch_run.h"
#include "batch/batch_walk.h"
#include "batch/conversion_pool.h"
#include "batch/file_steps.h"
#include "batch/image_extent.h"
#include "entry/extras.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmimgkit.h"
#include "records/run_records.h"

#include <atomic>
#include <deque>
#include <exception>
#include <memory>
#include <new>

namespace {

// How long the worker waits for a conversion before it looks at Cancel again.
constexpr unsigned kWaitSliceMs = 50;
// Files handed out and not yet committed, per thread. Results wait for an
// earlier slow file in walk order; with room for several, the other threads
// go on converting meanwhile (a photo read at 1/4 may take ten times what
// the next ones take) instead of idling. What waits holds only its preview,
// which the memory budget counts, and the user meets the results a few
// files late at most: after a confirmed stop they are committed with the
// files still converting.
constexpr size_t kPendingPerThread = 8;

LONG Load(LONG& field) { return std::atomic_ref<LONG>(field).load(); }

uint64_t DibBytes(const DibHeader* h) {
    if (!h) return 0;
    uint64_t rows = uint64_t(h->biHeight < 0 ? -int64_t(h->biHeight) : int64_t(h->biHeight));
    uint64_t stride = (uint64_t(uint32_t(h->biWidth)) * h->biBitCount + 31) / 32 * 4;
    return sizeof(DibHeader) + 256 * sizeof(RgbQuad) + stride * rows;
}

struct FileJob final : PoolJob {
    explicit FileJob(ImageConvertParams* p) : params(p) {}

    void Run() override {
        // The preview shows only committed results, and only the worker
        // shows them: a pool thread sending to the dialog's window would
        // wait for a thread that may itself be waiting for this job. A
        // picture no preview will show is not kept.
        bool keep = params->ProgressWindow && Load(params->PreviewEnabled);
        int64_t start = Batch_Ticks();
        try {
            Batch_ConvertOpened(params, input.get(), output.get(), readerType, plan.shownName.c_str(), 0, &preview,
                                &plan.o);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!keep) {
            OwnedDib none;
            preview.dib.TakeFrom(none);
        }
        // A later file of the run writing the same output waits for this.
        input.Close();
        Batch_FinishOutput(output, &plan.o);
        plan.conversionTicks = workerTicks + (Batch_Ticks() - start);
    }
    uint64_t KeptBytes() const override { return DibBytes(preview.dib.header); }

    ImageConvertParams* params;
    PlannedFile plan;
    FileHandle input, output;
    int readerType = 0;
    int64_t workerTicks = 0;  // opening the input and creating the output
    bool folderFailed = false;
    DWORD folderError = 0;
    bool started = false;
    KeptPreview preview;
    std::exception_ptr failure;
};

size_t ReadAt(void* context, uint64_t offset, uint8_t* out, size_t size) {
    HANDLE file = static_cast<HANDLE>(context);
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    DWORD got = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !ReadFile(file, out, DWORD(size), &got, nullptr))
        return 0;
    return got;
}

// What converting the open input will hold, from its header and the
// run's settings; the file is left at its start.
uint64_t EstimateBytes(const ImageConvertParams* p, HANDLE input) {
    ImageExtent extent;
    Batch_ReadImageExtent(ReadAt, input, &extent);
    SetFilePointer(input, 0, nullptr, FILE_BEGIN);
    LARGE_INTEGER size{};
    uint64_t fileBytes = GetFileSizeEx(input, &size) && size.QuadPart > 0 ? uint64_t(size.QuadPart) : 0;
    if (extent.gif && Batch_AnimatedPath(p, kTypeGif)) extent.streamed = false;
    uint32_t reduction = 1;
    if ((extent.jpeg || extent.streamed) && extent.width && extent.height) {
        // The orientation is read with the pixels: either way round, the
        // larger of the two decodes.
        PmSize stored{int32_t(extent.width), int32_t(extent.height)}, target;
        reduction = 8;
        for (PmSize upright : {stored, PmSize{stored.cy, stored.cx}}) {
            unsigned r = 1;
            if (Batch_ShrinkTarget(p, upright, &target)) {
                if (upright.cx != stored.cx) target = PmSize{target.cy, target.cx};
                r = extent.jpeg ? DibIO_JpegReduction(stored, target) : DibIO_StreamReduction(stored, target);
            }
            if (r < reduction) reduction = r;
        }
    }
    return Batch_ConversionBytes(extent, reduction, fileBytes);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// The error entry of a conversion that raised instead of returning.
int FailureCode(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return kErrMemory;
    } catch (...) {
        return kErrInternal;
    }
}

}  // namespace

struct ParallelRun {
    ParallelRun(int threads, uint64_t budget) : pool(threads, budget) {}

    // Declared before the pool: the pool, which waits for every job it
    // started, goes first.
    std::deque<std::unique_ptr<FileJob>> pending;
    ConversionPool pool;

    bool Finished(const FileJob& job) const { return !job.started || job.Finished(); }

    void Commit(BatchRun& run, FileJob& job) {
        ImageConvertParams* p = run.params;
        // Cancel pressed while an earlier file was shown is answered before
        // this one counts, as one at a time asks before its next file: when
        // the files left are all converted, no wait would ask it. Once the
        // stop is confirmed, the files still committed ask nothing more.
        Batch_AskStop(p);
        if (job.started) pool.Release(&job);
        PlannedFile& f = job.plan;
        if (job.failure) {
            // One file's failure is that file's error entry: the files
            // converted beside it are written and must be counted too.
            f.o.succeeded = false;
            f.o.errorPath = f.shownPath.c_str();
            f.o.errorCode = FailureCode(job.failure);
            f.o.lastError = 0;
        }
        if (job.folderFailed) Batch_AddError(p, f.folder, kErrCreateFolder, job.folderError);
        Batch_ShowCounted(p, f);
        KeptPreview& kept = job.preview;
        if (kept.dib.header)
            Batch_ShowPreview(p, f.shownName.c_str(), kept.dib.header, kept.dib.bits, kept.transparentIndex,
                              kept.outputDepth, Batch_PreviewBackground(p, f.facts.type));
        Batch_RecordOutcome(p, f);
    }

    void CommitFinished(BatchRun& run) {
        while (!pending.empty() && Finished(*pending.front())) {
            std::unique_ptr<FileJob> job = std::move(pending.front());
            pending.pop_front();
            Commit(run, *job);
        }
    }

    // With `askStop`, Cancel pressed while waiting is answered too: the
    // files are all handed out, but the user should not be left without the
    // question (a Yes marks the run as stopped; nothing is left to stop).
    void CommitAll(BatchRun& run, bool askStop = false) {
        while (!pending.empty()) {
            std::unique_ptr<FileJob> job = std::move(pending.front());
            pending.pop_front();
            if (job->started) {
                while (!job->Finished()) {
                    if (askStop) Batch_AskStop(run.params);
                    pool.WaitForFinish(kWaitSliceMs);
                }
            }
            Commit(run, *job);
        }
    }

    // Whether an earlier file still being converted writes `path`.
    bool Writing(const std::wstring& path) const {
        for (const auto& job : pending)
            if (!Finished(*job) && SamePath(job->plan.outputPath, path)) return true;
        return false;
    }

    bool AnyRunning() const {
        for (const auto& job : pending)
            if (!Finished(*job)) return true;
        return false;
    }

    void WaitRunning() {
        for (const auto& job : pending)
            if (job->started) pool.WaitFor(job.get());
    }

    // An animated GIF goes frame by frame on the worker, which shows each
    // frame and asks the stop question between them, after every file
    // before it is committed.
    int ConvertHere(BatchRun& run, FileJob& job) {
        CommitAll(run);
        ImageConvertParams* p = run.params;
        PlannedFile& f = job.plan;
        if (job.folderFailed) Batch_AddError(p, f.folder, kErrCreateFolder, job.folderError);
        Batch_ShowCounted(p, f);
        COLORREF background = Batch_PreviewBackground(p, f.facts.type);
        int64_t start = Batch_Ticks();
        Batch_ConvertOpened(p, job.input.get(), job.output.get(), job.readerType, f.shownName.c_str(), background,
                            nullptr, &f.o);
        job.input.Close();
        Batch_FinishOutput(job.output, &f.o);
        f.conversionTicks = job.workerTicks + (Batch_Ticks() - start);
        Batch_RecordOutcome(p, f);
        return f.o.stop ? kCoreWalkStop : kCoreWalkContinue;
    }
};

BatchRun::BatchRun(ImageConvertParams* p, bool parallelRun) : params(p) {
    std::wstring wide;
    Core_WideExact(p->OutputFolder, &wide);
    outputFolder = wide;
    outputTree.Reset(Batch_ChosenOutputFolder(outputFolder, (p->FileMode & FILEMODE_TIMEFOLDER) != 0));
    if (!parallelRun) return;
    int threads = Batch_ThreadCount(Pm_ExtrasFor(p).Threads);
    if (threads <= 1) return;
    parallel = std::make_unique<ParallelRun>(threads, Batch_MemoryBudget());
    // Without threads the run goes one file at a time.
    if (!parallel->pool.Ready()) parallel.reset();
}

BatchRun::~BatchRun() = default;

void Batch_CommitAll(BatchRun& run) {
    if (run.parallel) run.parallel->CommitAll(run, true);
}

int Batch_ConvertEntryParallel(BatchRun& run, const CoreWalkEntry& e) {
    ParallelRun& pr = *run.parallel;
    ImageConvertParams* p = run.params;
    pr.CommitFinished(run);
    if (Batch_AskStop(p)) {
        pr.CommitAll(run);
        return kCoreWalkStop;
    }
    if (e.data && (e.data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // Its error entry comes after those of the files walked before it.
        if (e.error) pr.CommitAll(run);
        return Batch_OnFolder(run, e);
    }

    auto job = std::make_unique<FileJob>(p);
    PlannedFile& f = job->plan;
    if (!Batch_PlanFile(run, e, &f)) return kCoreWalkContinue;
    Outcome& o = f.o;
    uint64_t bytes = 0;
    DWORD openError = 0;
    if (f.ready) {
        int64_t start = Batch_Ticks();
        job->input.Reset(Batch_OpenInput(f.path));
        if (!job->input.get()) openError = GetLastError();
        job->workerTicks = Batch_Ticks() - start;
    }
    if (job->input.get()) {
        job->readerType = f.facts.type;
        if (p->FileMode & FILEMODE_EXTONLY) job->readerType = Batch_ReaderType(job->input.get(), f.facts.type);
        if (Batch_AnimatedPath(p, job->readerType)) {
            // An animation converts here once every file before it is
            // committed; a Yes given at one of those commits stops the run
            // before it, which is not even counted.
            pr.CommitAll(run);
            if (Batch_AskStop(p)) return kCoreWalkStop;
        }
        // Nothing of the file is decided before it may start: a stop
        // confirmed meanwhile leaves it untouched, as if the walk had not
        // reached it.
        bytes = EstimateBytes(p, job->input.get());
        while (!pr.pool.CanStart(bytes) || pr.Writing(f.outputPath) ||
               pr.pending.size() >= kPendingPerThread * size_t(pr.pool.Threads())) {
            if (Batch_AskStop(p)) {
                job.reset();
                pr.CommitAll(run);
                return kCoreWalkStop;
            }
            pr.pool.WaitForFinish(kWaitSliceMs);
            pr.CommitFinished(run);
        }
    }
    job->folderFailed = !Batch_MakeOutputFolder(run, f, &job->folderError);
    if (f.ready && !job->input.get()) {
        o.errorPath = f.shownPath.c_str();
        o.errorCode = kErrOpenInput;
        o.lastError = openError;
    } else if (job->input.get()) {
        o.errorPath = f.shownOutputPath.c_str();
        o.errorCode = kErrCreateOutput;
        int64_t start = Batch_Ticks();
        HANDLE output = Batch_CreateOutputOf(run, f, &o.lastError);
        if (!output && o.lastError == ERROR_SHARING_VIOLATION && pr.AnyRunning()) {
            // The output of an earlier file still being written, under
            // another spelling: once it is done the answer is the one a
            // run one file at a time gets.
            pr.WaitRunning();
            output = Batch_CreateOutputOf(run, f, &o.lastError);
        }
        job->output.Reset(output);
        job->workerTicks += Batch_Ticks() - start;
        if (!output) f.conversionTicks = job->workerTicks;
        if (output && Batch_AnimatedPath(p, job->readerType)) return pr.ConvertHere(run, *job);
    }
    // In the list before any thread sees it: were the list to fail to grow
    // after, a pool thread would run a job already freed.
    pr.pending.push_back(std::move(job));
    FileJob& queued = *pr.pending.back();
    if (queued.output.get()) {
        queued.started = pr.pool.TryStart(&queued, bytes);
        // Only this thread starts jobs, so the room seen above is still
        // there; were it not, the file converts here.
        if (!queued.started) queued.Run();
    }
    if (!queued.started) {
        // Nothing in flight for it: its result is ready.
        queued.input.Close();
    }
    pr.CommitFinished(run);
    return kCoreWalkContinue;
}
