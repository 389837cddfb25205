// Per-file conversion: the walk callback that turns one walked file into its
// output file, with the progress dialog's texts, preview and the run record.
#include "batch/batch_run.h"
#include "batch/batch_walk.h"
#include "batch/file_steps.h"
#include "batch/input_type.h"
#include "batch/output_paths.h"
#include "batch/progress_ids.h"
#include "entry/extras.h"
#include "entry/image_types.h"
#include "imaging/photo.h"
#include "imaging/transform.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "makerlibs/pmexif.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmimgread.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmwinkit.h"
#include "records/run_records.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr char kStopText[] = "ｻﾑﾈｲﾙ作成処理を中止します。\nよろしいですか？";
constexpr char kStopCaption[] = "処理中止の確認";
constexpr UINT kStopBoxType = MB_YESNO | MB_ICONEXCLAMATION;  // 0x34
constexpr size_t kLongestPath = 32767;

std::atomic<BatchProgressHook> g_hook{nullptr};
// The conversion time of the file whose outcome the hook is told of.
thread_local int64_t t_hookFileTicks = -1;
thread_local const wchar_t* t_hookWidePath = nullptr;
std::atomic<BatchTakenHook> g_takenHook{nullptr};

LONG Load(LONG& field) { return std::atomic_ref<LONG>(field).load(); }
void Store(LONG& field, LONG value) { std::atomic_ref<LONG>(field).store(value); }
void Increment(LONG& field) { std::atomic_ref<LONG>(field).fetch_add(1); }

void SetNumber(HWND dialog, int id, long value) {
    char text[16];
    std::snprintf(text, sizeof text, "%ld", value);
    WinKit_SetText(GetDlgItem(dialog, id), text);
}

bool TypeSelected(const ImageConvertParams* p, int type) {
    int count = p->ImageTypeCount;
    if (count > kMaxImageTypes) count = kMaxImageTypes;
    for (int i = 0; i < count; ++i)
        if (p->ImageType[i] == type) return true;
    return false;
}

// Whether the input was stored interlaced (GIF, PNG) or progressive (JPEG),
// for the save options that follow the input's scan method.
bool InputInterlaced(int inputType, const DibIOOptions& info) {
    switch (inputType) {
    case kTypePng: return info.Png.Interlace != 0;
    case kTypeJpeg: return info.Jpeg.Progressive == 0;
    case kTypeGif: return info.Gif.Interlace != 0;
    default: return false;
    }
}

void FillWriteOptions(const ImageConvertParams* p, int inputType, const DibIOOptions& readInfo, int transparentIndex,
                      int bitDepth, DibIOOptions* out) {
    std::memset(out, 0, sizeof *out);
    DibIO_GetDefaultOptions(p->WriteImageType, out);
    const ::SaveOptions& so = p->SaveOptions;
    bool interlaced = InputInterlaced(inputType, readInfo);
    switch (p->WriteImageType) {
    case kTypeBmp:
        out->Bmp.Format = so.Bmp_Format;
        out->Bmp.Compression = so.Bmp_Comp;
        break;
    case kTypeJpeg:
        out->Jpeg.Quality = so.Jpeg_Quality;
        out->Jpeg.Smoothing = so.Jpeg_Smoothing;
        out->Jpeg.OptimizeCoding = so.Jpeg_OptEncode;
        out->Jpeg.Progressive = so.Jpeg_Progressive == 2 ? (interlaced ? 0 : 1) : so.Jpeg_Progressive;
        break;
    case kTypePng:
        out->Png.Interlace = so.Png_Interlace == 2 ? (interlaced ? 1 : 0) : so.Png_Interlace;
        break;
    case kTypeGif:
        out->Gif.Interlace = int16_t(so.Gif_Interlace == 2 ? (interlaced ? 1 : 0) : so.Gif_Interlace);
        out->Gif.TransparentIndex = int16_t(transparentIndex);
        out->Gif.BitDepth = uint16_t(bitDepth);
        break;
    case kTypeWebp:
        Pm_WebpWriteOptions(Pm_ExtrasFor(p).Webp, out);
        break;
    default:
        break;
    }
}

struct ShrinkHint {
    const ImageConvertParams* params;
    bool autoRotate;
    const DibMetadata* meta;  // filled by the reader before it asks
};

// The settings judge the upright picture; the reader works on the stored
// one, which a camera held upright stores the other way round.
int ShrinkTarget(void* context, const PmSize* full, PmSize* target) {
    auto* h = static_cast<const ShrinkHint*>(context);
    const PictureGeometry g(*full, *full, 1, h->autoRotate && h->meta ? h->meta->orientation : 1);
    if (!Batch_ShrinkTarget(h->params, g.Upright(), target)) return 0;
    *target = g.AsStored(*target);
    return 1;
}

// Step through one file that was counted: open, convert, write. `path`
// opens the input; the output is created under its real name.
void ConvertOne(BatchRun& run, const std::wstring& path, const PlannedFile& f, COLORREF background, Outcome* o) {
    ImageConvertParams* p = run.params;
    FileHandle input, output;
    o->errorPath = f.shownPath.c_str();
    o->errorCode = kErrOpenInput;
    input.Reset(Batch_OpenInput(path));
    if (!input.get()) {
        o->lastError = GetLastError();
        return;
    }
    o->errorPath = f.shownOutputPath.c_str();
    o->errorCode = kErrCreateOutput;
    output.Reset(Batch_CreateOutputOf(run, f, &o->lastError));
    if (!output.get()) return;

    // A file judged by its extension may hold another image type (a PNG
    // saved as .jpg): the reader of what it holds reads it.
    int inputType = f.facts.type;
    if (p->FileMode & FILEMODE_EXTONLY) inputType = Batch_ReaderType(input.get(), inputType);
    Batch_ConvertOpened(p, input.get(), output.get(), inputType, f.shownName.c_str(), background, nullptr, o);
    // The input may be the very file the output replaces (through a link).
    input.Close();
    Batch_FinishOutput(output, o);
}

}  // namespace

void FileHandle::Reset(HANDLE h) {
    Close();
    h_ = h;
}

void FileHandle::Close() {
    DWORD ignored;
    if (h_) Batch_FinishOutputFile(Core_RawHandle(h_), false, &ignored);
    h_ = nullptr;
}

void Batch_FinishOutput(FileHandle& output, Outcome* o) {
    HANDLE h = output.Release();
    if (!h) return;
    DWORD error = 0;
    if (!Batch_FinishOutputFile(Core_RawHandle(h), o->succeeded, &error)) {
        o->succeeded = false;
        o->errorCode = kErrWrite;
        o->lastError = error;
    }
}

OwnedDib::~OwnedDib() { DibCore_Free(header, bits); }

void OwnedDib::TakeFrom(OwnedDib& other) {
    DibCore_Free(header, bits);
    header = other.header;
    bits = other.bits;
    other.header = nullptr;
    other.bits = nullptr;
}

bool Batch_ShrinkTarget(const ImageConvertParams* p, PmSize upright, PmSize* target) {
    int resize = p->Resize;
    PmSize box{p->Size.cx, p->Size.cy};
    if (Pm_ExtrasFor(p).NoEnlarge)
        ApplyNoEnlarge(AngleForDirection(p->Direction, upright.cx, upright.cy), &resize, &box, upright.cx, upright.cy);
    return ShrinkTargetSize(p->Direction, resize, &box, upright, target);
}

HANDLE Batch_OpenInput(const std::wstring& path) {
    return Core_CheckHandle(0, CreateFileW(Core_ExactPathForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

HANDLE Batch_CreateOutputOf(BatchRun& run, const PlannedFile& f, DWORD* error) {
    return Batch_CreateOutputFile(f.outputPath, (run.params->FileMode & FILEMODE_OVERWRITE) != 0, run.outputTree,
                                  &run.outputIdentifier, &run.outputsWritten, error);
}

bool Batch_AnimatedPath(const ImageConvertParams* p, int inputType) {
    return inputType == kTypeGif && p->WriteImageType == kTypeGif;
}

void Batch_ConvertOpened(ImageConvertParams* p, HANDLE input, HANDLE output, int inputType, const char* outputName,
                         COLORREF background, KeptPreview* kept, Outcome* o) {
    if (Batch_AnimatedPath(p, inputType)) {
        GifPathResult r = ConvertAnimatedGif(input, output, outputName, p, background);
        o->succeeded = r.succeeded;
        o->errorCode = r.errorCode;
        o->lastError = r.lastError;
        o->stop = r.stop;
        return;
    }

    OwnedDib dib;
    o->errorCode = kErrRead;
    DibIOOptions readInfo;
    std::memset(&readInfo, 0, sizeof readInfo);
    DibIO_GetDefaultOptions(inputType, &readInfo);
    const ImageConvertExtras extras = Pm_ExtrasFor(p);
    DibMetadata meta;
    meta.convertCmyk = extras.ColorManage != 0;
    // The reader may decode fewer pixels when the zoom shrinks the image
    // anyway; turn and output size still follow from its full size. The
    // metadata is always read, even when no option uses it: a TIFF then
    // comes as stored, whether or not it is turned afterwards.
    PmSize box{p->Size.cx, p->Size.cy};
    ShrinkHint hint{p, extras.AutoRotate != 0, &meta};
    DibReadRequest request;
    std::memset(&request, 0, sizeof request);
    request.Size = sizeof request;
    request.TargetSize = ShrinkTarget;
    request.Context = &hint;
    request.Meta = &meta;
    int depth;
    if (inputType == kTypeGif)
        depth = GifKit_ReadImageRequested(input, &request, &dib.header, &dib.bits);
    else
        depth = DibIO_ReadRequested(input, inputType, &request, &readInfo, &dib.header, &dib.bits);
    if (depth < 0) o->lastError = GetLastError();
    if (depth <= 0 || !dib.header) return;

    PictureGeometry g(PmSize{dib.header->biWidth, dib.header->biHeight < 0 ? -dib.header->biHeight : dib.header->biHeight},
                      request.FullSize, request.Reduction, meta.orientation);
    // The picture the photographer saw comes first: upright, in sRGB. The
    // Direction rules then act on the upright picture.
    if (extras.AutoRotate && g.StoredOrientation() != 1) {
        if (int code = Photo_Upright(g.StoredOrientation(), &dib.header, &dib.bits)) {
            o->errorCode = code;
            return;
        }
        g.SetTurnedUpright();
    }
    // A CMYK JPEG met its profile in the reader already.
    const bool srgb = (extras.ColorManage && Photo_ToSrgb(meta, dib.header, dib.bits)) || meta.iccApplied;

    int resize = p->Resize;
    const PmSize full = g.Full();
    if (extras.NoEnlarge) ApplyNoEnlarge(AngleForDirection(p->Direction, full.cx, full.cy), &resize, &box, full.cx, full.cy);
    ZoomPlan plan = PlanZoom(p->Direction, resize, &box, full, g.Decoded(), g.Reduction());
    if (plan.reduced) plan.extent = g.PictureExtent();
    // A stored thumbnail shows the whole picture, to its last pixel.
    if (plan.reduced && request.WholePicture) {
        const PmSize d = g.Decoded();
        plan.extent = PmExtent{0, 0, double(d.cx), double(d.cy)};
    }
    int bitDepth = depth;
    int transparentIndex = -1;
    int code = TransformImageFrom(plan.Extent(), p->WriteImageType, 0, &bitDepth, p->BitCount, plan.angle, plan.resize, &plan.box,
                              p->UseFilter ? p->Filter : 0, p->ZoomFilter, p->Palette, -1,
                              &transparentIndex, &dib.header, &dib.bits);
    if (code != 0) {
        o->errorCode = code;
        return;
    }

    DibIOOptions options;
    FillWriteOptions(p, inputType, readInfo, transparentIndex, bitDepth, &options);
    int outputDepth = p->WriteImageType == kTypeGif    ? bitDepth
                      : p->WriteImageType == kTypeJpeg ? 24
                                                       : dib.header->biBitCount;
    if (!kept) Batch_ShowPreview(p, outputName, dib.header, dib.bits, transparentIndex, outputDepth, background);

    // The camera's data goes along only when asked: it may tell where the
    // picture was taken. The colour profile of pixels left in their own
    // colours always goes: without it they have no meaning.
    PhotoOutput facts{p->WriteImageType, g.OutputOrientation(plan.angle), uint32_t(dib.header->biWidth),
                      uint32_t(dib.header->biHeight < 0 ? -dib.header->biHeight : dib.header->biHeight), srgb,
                      extras.KeepMetadata != 0};
    DibMetadata keep;
    const bool keeping = Photo_OutputMeta(meta, facts, &keep);

    o->errorCode = kErrWrite;
    int written = keeping ? DibIO_WriteMeta(0, output, p->WriteImageType, &options, &keep, dib.header, dib.bits)
                          : DibIO_Write(0, output, p->WriteImageType, 0, 0, &options, dib.header, dib.bits);
    if (written < 0) o->lastError = GetLastError();
    o->succeeded = written >= 1;
    if (kept) {
        kept->dib.TakeFrom(dib);
        kept->transparentIndex = transparentIndex;
        kept->outputDepth = outputDepth;
    }
}



void Batch_SetProgressHook(BatchProgressHook hook) { g_hook.store(hook); }

int64_t Batch_Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Batch_FileConversionMs() {
    if (t_hookFileTicks < 0) return -1;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(t_hookFileTicks) * 1000.0 / double(frequency.QuadPart);
}
const wchar_t* Batch_HookWidePath() { return t_hookWidePath; }

void Batch_SetTakenHookForTest(BatchTakenHook hook) { g_takenHook.store(hook); }

int Batch_ShowStopQuestion(HWND dialog) {
    return WinKit_MessageBox(dialog, kStopText, kStopCaption, kStopBoxType, 0, 0);
}

bool Batch_AskStop(ImageConvertParams* p) {
    HWND dialog = p->ProgressWindow;
    // Looked at before any question: a run whose dialog went, or that the
    // user stopped already, asks nothing more.
    if (Batch_RunStopRequested()) {
        Store(p->StopRequested, 1);
        return true;
    }
    if (dialog && Load(p->StopRequested)) return true;
    if (!dialog || !Load(p->CancelRequested)) return false;
    HWND indicator = GetDlgItem(dialog, IDC_PROGRESS_INDICATOR);
    SendMessageA(indicator, PPM_HOLD, 0, 0);
    // The box is opened by the dialog's own thread. Opened here, over a
    // window of another thread, placing and activating it made the two
    // threads wait on each other (seen under Wine as stalls of minutes).
    int answer = int(SendMessageA(dialog, kAskStopMessage, 0, 0));
    // A window of a caller's own that does not know the message: ask here.
    if (answer == 0) answer = Batch_ShowStopQuestion(dialog);
    SendMessageA(indicator, PPM_RESUME, 0, 0);
    Store(p->CancelRequested, 0);
    if (answer != IDYES) return false;
    Store(p->StopRequested, 1);
    return true;
}

void Batch_ShowPreview(ImageConvertParams* p, const char* caption, DibHeader* header, const uint8_t* bits,
                       int transparentIndex, int outputDepth, COLORREF background) {
    HWND dialog = p->ProgressWindow;
    if (!dialog || !Load(p->PreviewEnabled) || !header) return;

    // Transparent pixels show in the preview's own background while the
    // image is on screen; the entry is put back before the file is written.
    RgbQuad* entry = nullptr;
    RgbQuad saved{};
    if (p->WriteImageType == kTypeGif && transparentIndex >= 0 && transparentIndex < DibCore_ColorCount(header)) {
        entry = DibCore_GetPalette(header, 0, 0) + transparentIndex;
        saved = *entry;
        entry->red = GetRValue(background);
        entry->green = GetGValue(background);
        entry->blue = GetBValue(background);
    }
    PreviewImage image;
    std::memset(&image, 0, sizeof image);
    image.Size = kPreviewImageSize;
    image.Mask = kPreviewImageMask;
    image.Caption = caption;
    image.Header = header;
    image.Bits = bits;
    Preview_Send(GetDlgItem(dialog, IDC_PROGRESS_PREVIEW), PVM_SHOWIMAGE, 0, reinterpret_cast<LPARAM>(&image));
    if (entry) *entry = saved;

    char colors[64];
    int bitCount = header->biBitCount;
    if (bitCount == 1)
        std::snprintf(colors, sizeof colors, "ﾓﾉｸﾛ(%ldﾋﾞｯﾄ)", long(bitCount));
    else
        // 64-bit arithmetic: a 32-bit image has more colours than a long holds.
        std::snprintf(colors, sizeof colors, "%llu色(%ldﾋﾞｯﾄ)", 1ull << (bitCount & 63), long(bitCount));
    const char* typeWord = pmImageConvert_GetImageTypeString(p->WriteImageType);
    char text[256];
    std::snprintf(text, sizeof text, "%ld x %ld ﾋﾟｸｾﾙ, %s\n%ldﾋﾞｯﾄ%sﾌｧｲﾙ", long(header->biWidth),
                  long(header->biHeight), colors, long(outputDepth), typeWord ? typeWord : "");
    WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_DESCRIPTION), text);
}

namespace {

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring WideOf(const char* text) {
    std::wstring w;
    Core_WideExact(text, &w);
    return w;
}

}  // namespace

int Batch_OnFolder(BatchRun& run, const CoreWalkEntry& e) {
    ImageConvertParams* p = run.params;
    if (run.baseFolder.empty()) {
        run.baseFolder = Batch_BaseFolderW(e.widePath, e.depth);
        PmPath_Copy(p->BaseFolder, sizeof p->BaseFolder, Core_NarrowForDisplay(run.baseFolder.c_str()).c_str());
    }
    if (run.outputTree.Contains(e.widePath)) {
        ++run.skippedInOutputTree;
        return kCoreWalkSkipContents;
    }
    // A folder is never left out without a word: one entry stands for all
    // it holds.
    if (e.error) Batch_AddError(p, e.widePath, kErrOpenInput, e.error);
    return kCoreWalkContinue;
}

void Batch_AddError(ImageConvertParams* p, const std::wstring& path, int code, DWORD lastError) {
    pmImageConvert_LogOperate(p, kLogAddError, Core_NarrowForDisplay(path.c_str()).c_str(), code, int(lastError));
}

bool Batch_PlanFile(BatchRun& run, const CoreWalkEntry& e, PlannedFile* f) {
    ImageConvertParams* p = run.params;
    f->path = e.widePath;
    const std::wstring& path = f->path;
    f->facts = Batch_LookAtInput(path, (p->FileMode & FILEMODE_EXTONLY) != 0, &run.inputIdentifier);
    if (f->facts.type == 0 || !TypeSelected(p, f->facts.type)) return false;
    // The same file reached again (a second list entry, a link) was taken
    // already: once is what the user asked for.
    if (f->facts.identified && !run.inputsTaken.Insert(f->facts.id)) return false;
    size_t nameAt = path.find_last_of(L"\\/");
    std::wstring name = nameAt == std::wstring::npos ? path : path.substr(nameAt + 1);
    if (name.empty()) return false;
    f->shownPath = Core_NarrowForDisplay(path.c_str());
    const char* extension = ImgKit_GetTypeName(p->WriteImageType, 2);

    // The output folder and path keep the input's real names. A path the
    // system cannot take would name another file or none, so such a file
    // fails as uncreatable instead.
    Outcome& o = f->o;
    if (!extension) {
        // A type code the settings file should never hold: each file says so.
        o.errorPath = f->shownPath.c_str();
        o.errorCode = kErrCreateOutput;
        o.lastError = ERROR_NOT_SUPPORTED;
    } else if (run.outputFolder.empty()) {
        // Without a resolved output folder the path would start at the root
        // of the current drive: nothing is written then.
        o.errorPath = f->shownPath.c_str();
        o.errorCode = kErrCreateOutput;
        o.lastError = ERROR_PATH_NOT_FOUND;
    } else {
        f->folder = Batch_OutputFolderW(run.outputFolder, run.baseFolder, path);
        f->outputName = Batch_OutputNameW(name, WideOf(extension));
        f->outputPath = f->folder;
        if (f->outputPath.back() != L'\\') f->outputPath += L'\\';
        f->outputPath += f->outputName;
        // Read and written by its exact name, a file called like a device
        // would convert; but most programs could then neither open nor
        // remove its output, so it is left as it is, with a word.
        bool device = Batch_IsDeviceName(f->outputName);
        // The long-path form reaches 32,767 characters, and no further.
        bool tooLong = Core_ExactPathForm(f->outputPath).size() >= kLongestPath;
        f->ready = !device && !tooLong;
        if (!f->ready) {
            o.errorPath = f->shownPath.c_str();
            o.errorCode = kErrCreateOutput;
            o.lastError = device ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE;
        }
    }
    if (f->ready) {
        f->shownFolder = Core_NarrowForDisplay(f->folder.c_str());
        f->shownOutputPath = Core_NarrowForDisplay(f->outputPath.c_str());
        f->shownName = Core_NarrowForDisplay(f->outputName.c_str());
    }
    if (BatchTakenHook hook = g_takenHook.load()) hook(p, f->shownPath.c_str());
    return true;
}

bool Batch_MakeOutputFolder(BatchRun& run, const PlannedFile& f, DWORD* error) {
    *error = 0;
    if (!f.ready || SameFolder(f.folder, run.lastCreatedFolder)) return true;
    int made = Core_CreateFolderW(Core_ExactPathForm(f.folder).c_str());
    if (made != 1) *error = made == -1 ? GetLastError() : 0;
    run.lastCreatedFolder = f.folder;
    PmPath_Copy(run.params->LastCreatedFolder, sizeof run.params->LastCreatedFolder, f.shownFolder.c_str());
    return made == 1;
}

void Batch_ShowCounted(ImageConvertParams* p, const PlannedFile& f) {
    Increment(p->ProcessedCount);
    HWND dialog = p->ProgressWindow;
    if (dialog) {
        LONG processed = Load(p->ProcessedCount), succeeded = Load(p->SucceededCount);
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_INPUT), f.shownPath.c_str());
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_FOLDER), f.shownFolder.c_str());
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_OUTNAME), f.shownName.c_str());
        SetNumber(dialog, IDC_PROGRESS_PROCESSED, processed);
        SetNumber(dialog, IDC_PROGRESS_SUCCEEDED, succeeded);
        SetNumber(dialog, IDC_PROGRESS_ERRORS, processed - succeeded - 1);
    }
    if (BatchProgressHook hook = g_hook.load()) {
        t_hookWidePath = f.path.c_str();
        hook(p, f.shownPath.c_str(), false);
        t_hookWidePath = nullptr;
    }
}

COLORREF Batch_PreviewBackground(ImageConvertParams* p, int type) {
    COLORREF background = GetSysColor(COLOR_BTNFACE);
    HWND dialog = p->ProgressWindow;
    if (type == kTypeGif && dialog && Load(p->PreviewEnabled)) {
        PreviewSettings settings;
        std::memset(&settings, 0, sizeof settings);
        settings.Size = kPreviewSettingsSize;
        if (Preview_Send(GetDlgItem(dialog, IDC_PROGRESS_PREVIEW), PVM_GETSETTINGS, 0,
                         reinterpret_cast<LPARAM>(&settings)))
            background = settings.Background;
    }
    return background;
}

void Batch_RecordOutcome(ImageConvertParams* p, const PlannedFile& f) {
    const Outcome& o = f.o;
    if (o.succeeded)
        Increment(p->SucceededCount);
    else
        pmImageConvert_LogOperate(p, kLogAddError, o.errorPath, o.errorCode, int(o.lastError));

    HWND dialog = p->ProgressWindow;
    if (dialog) {
        LONG processed = Load(p->ProcessedCount), succeeded = Load(p->SucceededCount);
        SetNumber(dialog, IDC_PROGRESS_SUCCEEDED, succeeded);
        SetNumber(dialog, IDC_PROGRESS_ERRORS, processed - succeeded);
    }
    if (BatchProgressHook hook = g_hook.load()) {
        t_hookFileTicks = f.conversionTicks;
        t_hookWidePath = f.path.c_str();
        hook(p, f.shownPath.c_str(), true);
        t_hookFileTicks = -1;
        t_hookWidePath = nullptr;
    }
}

int Batch_ConvertEntry(BatchRun& run, const CoreWalkEntry& e) {
    if (run.parallel) return Batch_ConvertEntryParallel(run, e);
    ImageConvertParams* p = run.params;
    if (Batch_AskStop(p)) return kCoreWalkStop;
    if (e.data && (e.data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Batch_OnFolder(run, e);

    PlannedFile f;
    if (!Batch_PlanFile(run, e, &f)) return kCoreWalkContinue;
    DWORD folderError;
    if (!Batch_MakeOutputFolder(run, f, &folderError)) Batch_AddError(p, f.folder, kErrCreateFolder, folderError);
    Batch_ShowCounted(p, f);
    COLORREF background = Batch_PreviewBackground(p, f.facts.type);
    if (f.ready) {
        int64_t start = Batch_Ticks();
        ConvertOne(run, f.path, f, background, &f.o);
        if (f.o.succeeded || f.o.errorCode != kErrOpenInput) f.conversionTicks = Batch_Ticks() - start;
    }
    Batch_RecordOutcome(p, f);
    return f.o.stop ? kCoreWalkStop : kCoreWalkContinue;
}

// The walk callback for one entry met outside a walk of the list (its own
// run state: nothing is remembered from one call to the next but what the
// settings record holds).
int ConvertFileCallback(const char* path, const WIN32_FIND_DATAA* entry, int depth, void* user) {
    auto* p = static_cast<ImageConvertParams*>(user);
    if (!p || !path) return 0;
    std::wstring wide;
    if (!Core_WideExact(path, &wide)) return 0;
    BatchRun run(p);
    run.baseFolder = WideOf(p->BaseFolder);
    run.lastCreatedFolder = WideOf(p->LastCreatedFolder);
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = entry ? entry->dwFileAttributes : 0;
    CoreWalkEntry e{wide.c_str(), path, &data, depth, 0};
    return Batch_ConvertEntry(run, e) == kCoreWalkStop ? 1 : 0;
}
