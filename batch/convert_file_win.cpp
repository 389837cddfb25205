// Per-file conversion: the walk callback that turns one walked file into its
// output file, with the progress dialog's texts, preview and the run record.
#include "batch/batch_run.h"
#include "batch/output_paths.h"
#include "batch/progress_ids.h"
#include "entry/extras.h"
#include "entry/image_types.h"
#include "imaging/photo.h"
#include "imaging/transform.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
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

namespace {

constexpr char kStopText[] = "ｻﾑﾈｲﾙ作成処理を中止します。\nよろしいですか？";
constexpr char kStopCaption[] = "処理中止の確認";
constexpr UINT kStopBoxType = MB_YESNO | MB_ICONEXCLAMATION;  // 0x34

std::atomic<BatchProgressHook> g_hook{nullptr};

LONG Load(LONG& field) { return std::atomic_ref<LONG>(field).load(); }
void Store(LONG& field, LONG value) { std::atomic_ref<LONG>(field).store(value); }
void Increment(LONG& field) { std::atomic_ref<LONG>(field).fetch_add(1); }

void SetNumber(HWND dialog, int id, long value) {
    char text[16];
    std::snprintf(text, sizeof text, "%ld", value);
    WinKit_SetText(GetDlgItem(dialog, id), text);
}

// A file opened for this call and closed on every way out of it.
class FileHandle {
public:
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { Close(); }
    void Reset(HANDLE h) {
        Close();
        h_ = h;
    }
    HANDLE get() const { return h_; }
    void Close() {
        if (h_) CloseHandle(Core_RawHandle(h_));
        h_ = nullptr;
    }
private:
    HANDLE h_ = nullptr;
};

// The DIB of this call, freed on every way out of it.
struct OwnedDib {
    DibHeader* header = nullptr;
    uint8_t* bits = nullptr;
    OwnedDib() = default;
    OwnedDib(const OwnedDib&) = delete;
    OwnedDib& operator=(const OwnedDib&) = delete;
    ~OwnedDib() { DibCore_Free(header, bits); }
};

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
    default:
        break;
    }
}

struct Outcome {
    const char* errorPath = nullptr;
    int errorCode = 0;
    DWORD lastError = 0;
    bool succeeded = false;
    int stop = 0;
};

// Step through one file that was counted: open, convert, write.
void ConvertOne(ImageConvertParams* p, const char* path, int inputType, const char* outputPath,
                const char* outputName, COLORREF background, Outcome* o) {
    FileHandle input, output;
    o->errorPath = path;
    o->errorCode = kErrOpenInput;
    input.Reset(Core_CheckHandle(0, CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!input.get()) {
        o->lastError = GetLastError();
        return;
    }
    o->errorPath = outputPath;
    o->errorCode = kErrCreateOutput;
    DWORD disposition = (p->FileMode & FILEMODE_OVERWRITE) ? CREATE_ALWAYS : CREATE_NEW;
    output.Reset(Core_CheckHandle(0, CreateFileA(outputPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!output.get()) {
        o->lastError = GetLastError();
        return;
    }

    if (inputType == kTypeGif && p->WriteImageType == kTypeGif) {
        GifPathResult r = ConvertAnimatedGif(input.get(), output.get(), outputName, p, background);
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
    // Always read with the metadata, even when no option uses it: a TIFF
    // then comes as stored, whether or not it is turned afterwards.
    int depth;
    if (inputType == kTypeGif)
        depth = GifKit_ReadImage(0, input.get(), -1, 24, -1, 0, &dib.header, &dib.bits);
    else
        depth = DibIO_ReadMeta(0, input.get(), inputType, &readInfo, &meta, &dib.header, &dib.bits);
    if (depth < 0) o->lastError = GetLastError();
    if (depth <= 0 || !dib.header) return;

    // The picture the photographer saw comes first: upright, in sRGB. The
    // Direction rules then act on the upright picture.
    int orientation = meta.orientation >= 1 && meta.orientation <= 8 ? meta.orientation : 1;
    if (extras.AutoRotate && orientation != 1) {
        if (int code = Photo_Upright(orientation, &dib.header, &dib.bits)) {
            o->errorCode = code;
            return;
        }
        orientation = 1;
    }
    if (extras.ColorManage) Photo_ToSrgb(meta, dib.header, dib.bits);

    int32_t angle = AngleForDirection(p->Direction, dib.header->biWidth, dib.header->biHeight);
    int bitDepth = depth;
    int transparentIndex = -1;
    PmSize box{p->Size.cx, p->Size.cy};
    int resize = p->Resize;
    if (extras.NoEnlarge) ApplyNoEnlarge(angle, &resize, &box, dib.header->biWidth, dib.header->biHeight);
    int code = TransformImage(p->WriteImageType, 0, &bitDepth, p->BitCount, angle, resize, &box,
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
    Batch_ShowPreview(p, outputName, dib.header, dib.bits, transparentIndex, outputDepth, background);

    // The camera's data goes along only when asked: it may tell where the
    // picture was taken. The stored orientation stays only while the
    // pixels were not turned upright.
    DibMetadata keep;
    const bool keeping = extras.KeepMetadata &&
                         Photo_OutputMeta(meta, p->WriteImageType, orientation, uint32_t(dib.header->biWidth),
                                          uint32_t(dib.header->biHeight < 0 ? -dib.header->biHeight
                                                                            : dib.header->biHeight),
                                          &keep);

    o->errorCode = kErrWrite;
    int written = keeping ? DibIO_WriteMeta(0, output.get(), p->WriteImageType, &options, &keep, dib.header, dib.bits)
                          : DibIO_Write(0, output.get(), p->WriteImageType, 0, 0, &options, dib.header, dib.bits);
    if (written < 0) o->lastError = GetLastError();
    o->succeeded = written >= 1;
}

}  // namespace

void Batch_SetProgressHook(BatchProgressHook hook) { g_hook.store(hook); }

bool Batch_AskStop(ImageConvertParams* p) {
    HWND dialog = p->ProgressWindow;
    if (!dialog || !Load(p->CancelRequested)) return false;
    HWND indicator = GetDlgItem(dialog, IDC_PROGRESS_INDICATOR);
    SendMessageA(indicator, PPM_HOLD, 0, 0);
    int answer = WinKit_MessageBox(dialog, kStopText, kStopCaption, kStopBoxType, 0, 0);
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

int ConvertFileCallback(const char* path, const WIN32_FIND_DATAA* entry, int depth, void* user) {
    auto* p = static_cast<ImageConvertParams*>(user);
    if (!p || !path) return 0;
    if (Batch_AskStop(p)) return 1;

    if (entry && (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!p->BaseFolder[0]) Batch_BaseFolder(path, depth, p->BaseFolder, sizeof p->BaseFolder);
        return 0;
    }
    if (Batch_InOutputTree(path, p->OutputFolder)) return 0;

    int inputType = ImgRead_IdentifyFile(path, 0, (p->FileMode & FILEMODE_EXTONLY) ? 2 : 0, 0);
    if (inputType == 0 || !TypeSelected(p, inputType)) return 0;
    const char* extension = ImgKit_GetTypeName(p->WriteImageType, 2);
    const char* name = nullptr;
    Core_GetFullPath(path, 0, 0, nullptr, &name);
    if (!name || !*name || !extension) return 0;

    // The output folder and path; a path that does not fit its buffer would
    // name another file, so such a file fails as uncreatable instead.
    char folder[kLongPathBuffer];
    char outputPath[kLongPathBuffer];
    char outputName[kLongPathBuffer];
    // Without a resolved output folder the path would start at the root of
    // the current drive: nothing is written then.
    bool fits = p->OutputFolder[0] != '\0' &&
                Batch_OutputFolder(p->OutputFolder, p->BaseFolder, path, folder, sizeof folder) &&
                Batch_OutputName(name, extension, outputName, sizeof outputName) &&
                PmPath_Copy(outputPath, sizeof outputPath, folder);
    if (fits && !PmPath_EndsWithSeparator(outputPath)) fits = PmPath_Append(outputPath, sizeof outputPath, "\\");
    if (fits) fits = PmPath_Append(outputPath, sizeof outputPath, outputName);

    if (fits && PmPath_CompareNoCase(folder, p->LastCreatedFolder, sizeof p->LastCreatedFolder) != 0) {
        int made = Core_CreateFolder(0, folder, 0);
        if (made != 1) {
            DWORD err = made == -1 ? GetLastError() : 0;
            pmImageConvert_LogOperate(p, kLogAddError, folder, kErrCreateFolder, int(err));
        }
        PmPath_Copy(p->LastCreatedFolder, sizeof p->LastCreatedFolder, folder);
    }

    Increment(p->ProcessedCount);
    HWND dialog = p->ProgressWindow;
    if (dialog) {
        LONG processed = Load(p->ProcessedCount), succeeded = Load(p->SucceededCount);
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_INPUT), path);
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_FOLDER), fits ? folder : "");
        WinKit_SetText(GetDlgItem(dialog, IDC_PROGRESS_OUTNAME), fits ? outputName : "");
        SetNumber(dialog, IDC_PROGRESS_PROCESSED, processed);
        SetNumber(dialog, IDC_PROGRESS_SUCCEEDED, succeeded);
        SetNumber(dialog, IDC_PROGRESS_ERRORS, processed - succeeded - 1);
    }
    if (BatchProgressHook hook = g_hook.load()) hook(p, path, false);

    COLORREF background = GetSysColor(COLOR_BTNFACE);
    if (inputType == kTypeGif && dialog && Load(p->PreviewEnabled)) {
        PreviewSettings settings;
        std::memset(&settings, 0, sizeof settings);
        settings.Size = kPreviewSettingsSize;
        if (Preview_Send(GetDlgItem(dialog, IDC_PROGRESS_PREVIEW), PVM_GETSETTINGS, 0,
                         reinterpret_cast<LPARAM>(&settings)))
            background = settings.Background;
    }

    Outcome o;
    if (fits) {
        ConvertOne(p, path, inputType, outputPath, outputName, background, &o);
    } else {
        o.errorPath = path;
        o.errorCode = kErrCreateOutput;
        o.lastError = p->OutputFolder[0] ? ERROR_FILENAME_EXCED_RANGE : ERROR_PATH_NOT_FOUND;
    }
    if (o.succeeded)
        Increment(p->SucceededCount);
    else
        pmImageConvert_LogOperate(p, kLogAddError, o.errorPath, o.errorCode, int(o.lastError));

    if (dialog) {
        LONG processed = Load(p->ProcessedCount), succeeded = Load(p->SucceededCount);
        SetNumber(dialog, IDC_PROGRESS_SUCCEEDED, succeeded);
        SetNumber(dialog, IDC_PROGRESS_ERRORS, processed - succeeded);
    }
    if (BatchProgressHook hook = g_hook.load()) hook(p, path, true);
    return o.stop;
}
