// GIF to GIF, frame by frame: each frame is read, placed in the turned and
// zoomed logical screen, transformed, previewed and written before the next
// one is read, so an animation stays an animation with its timing, loop
// count and transparency.
#include "batch/batch_run.h"
#include "entry/extras.h"
#include "imaging/photo.h"
#include "imaging/transform.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibops.h"
#include "makerlibs/pmgifkit.h"
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmsingleops.h"

#include <atomic>
#include <cstring>

namespace {

// Both DIBs of the path, freed however it ends.
struct DibSlot {
    DibHeader* header = nullptr;
    uint8_t* bits = nullptr;
    DibSlot() = default;
    DibSlot(const DibSlot&) = delete;
    DibSlot& operator=(const DibSlot&) = delete;
    ~DibSlot() { Reset(nullptr, nullptr); }
    void Reset(DibHeader* h, uint8_t* b) {
        DibCore_Free(header, bits);
        header = h;
        bits = b;
    }
};

int InterlaceFor(const ImageConvertParams* p, const GifFrame& source) {
    int option = p->SaveOptions.Gif_Interlace;
    return option == 2 ? source.Interlace : option;
}

// The background index re-found among the rebuilt global colours.
void RefindBackground(GifScreen* screen) {
    if (screen->BackgroundIndex >= 0 && screen->GlobalTableCount > 0) {
        ColorRef c = screen->BackgroundColor;
        screen->BackgroundIndex =
            Quant_NearestColor(ColorRefRed(c), ColorRefGreen(c), ColorRefBlue(c), screen->GlobalTableCount,
                               screen->GlobalTable);
    }
}

DWORD LastErrorFor(int result) { return result < 0 ? GetLastError() : 0; }

// Whether the output screen differs in size from the turned source screen:
// only then can a frame need composing.
bool ScreenZoomed(int32_t angle, const ImageConvertParams* p, int32_t screenW, int32_t screenH) {
    PmSize box{p->Size.cx, p->Size.cy};
    PmSize turned{screenW, screenH}, zoomed{screenW, screenH};
    DibOps_ComputeLayout(angle, 0, &box, &turned, nullptr);
    DibOps_ComputeLayout(angle, p->Resize, &box, &zoomed, nullptr);
    return turned.cx != zoomed.cx || turned.cy != zoomed.cy;
}

// Whether any pixel of the frame is transparent. When none is, the pipeline
// reserves no index, so the index carried from earlier frames may be worn by
// visible pixels and must not be written as this frame's transparent one.
bool HasTransparentPixels(const DibHeader* header, const uint8_t* bits) {
    DibHeader t;
    DibCore_GetHeader(header, &t);
    t.biSize = sizeof t;
    t.biBitCount = 8;
    t.biCompression = kBiRgb;
    t.biClrUsed = 0;
    DibHeader* mask = nullptr;
    uint8_t* maskBits = nullptr;
    // Without memory for the test the frame keeps the index, as it would
    // have anyway.
    if (!DibCore_Create(&t, 0, &mask, &maskBits)) return true;
    bool any = DibCore_MakeTransparencyMask(header, bits, mask, maskBits) > 0;
    DibCore_Free(mask, maskBits);
    return any;
}

}  // namespace

GifPathResult ConvertAnimatedGif(HANDLE input, HANDLE output, const char* outputName, ImageConvertParams* p,
                                 COLORREF previewBackground) {
    GifPathResult r{false, kErrRead, 0, 0};
    const bool noEnlarge = Pm_ExtrasFor(p).NoEnlarge != 0;
    int n = GifKit_CountFrames(input);
    if (n <= 0) {
        r.lastError = LastErrorFor(n);
        return r;
    }
    // Counting read the whole file; the frames are read from its start.
    SetFilePointer(input, 0, nullptr, FILE_BEGIN);

    GifScreen readScreen, writeScreen;
    GifFrame readFrame, writeFrame;
    std::memset(&readScreen, 0, sizeof readScreen);
    std::memset(&writeScreen, 0, sizeof writeScreen);
    std::memset(&readFrame, 0, sizeof readFrame);
    std::memset(&writeFrame, 0, sizeof writeFrame);
    uint32_t animation = 0;
    int sourceTransparent = -1;
    int outputTransparent = -1;  // carried from frame to frame
    int32_t screenW = 0, screenH = 0, angle = 0;
    DibSlot dib, canvas;
    RgbQuad localTable[256];
    int last = 0;          // the last library result
    int canvasResult = 0;  // above 0 while the canvas is usable
    bool aborted = false;

    for (int i = 0; i < n; ++i) {
        aborted = false;
        r.errorCode = kErrRead;
        DibPair image{nullptr, nullptr};
        if (i == 0) {
            last = GifKit_ReadFirstFrame(0, input, 0, 1, -1, &readScreen, &animation, &sourceTransparent, &readFrame,
                                         &image);
            if (last > 0) writeScreen = readScreen;
        } else {
            last = GifKit_ReadNextFrame(0, input, 0, 1, -1, &readScreen, &sourceTransparent, &readFrame, &image);
        }
        if (last <= 0 || !image.header) {
            // Read before freeing: the heap may set its own error.
            r.lastError = LastErrorFor(last);
            DibCore_Free(image.header, image.bits);
            if (last > 0) last = 0;
            break;
        }
        writeFrame = readFrame;
        dib.Reset(image.header, image.bits);

        if (i == 0) {
            screenW = readScreen.Width ? readScreen.Width : dib.header->biWidth;
            screenH = readScreen.Height ? readScreen.Height : dib.header->biHeight;
            angle = AngleForDirection(p->Direction, screenW, screenH);
        }

        // The frame's own output size, then the output screen and where the
        // frame lies on it.
        PmSize box{p->Size.cx, p->Size.cy};
        int resize = p->Resize;
        if (noEnlarge) ApplyNoEnlarge(angle, &resize, &box, screenW, screenH);
        PmSize size{screenW, screenH};
        PmRect rect{readFrame.Left, readFrame.Top, readFrame.Left + dib.header->biWidth,
                    readFrame.Top + dib.header->biHeight};
        DibOps_ComputeLayout(angle, resize, &box, &size, &rect);
        PmSize frameSize{rect.right - rect.left, rect.bottom - rect.top};
        size = PmSize{screenW, screenH};
        rect = PmRect{readFrame.Left, readFrame.Top, readFrame.Left + readFrame.Width, readFrame.Top + readFrame.Height};
        int compose = DibOps_ComputeLayout(angle, resize, &box, &size, &rect);
        writeScreen.Width = size.cx;
        writeScreen.Height = size.cy;
        writeFrame.Left = rect.left;
        writeFrame.Top = rect.top;
        writeFrame.Width = rect.right - rect.left;
        writeFrame.Height = rect.bottom - rect.top;

        ColorRef sourceColor = sourceTransparent >= 0 ? DibCore_GetPaletteColor(dib.header, sourceTransparent) : kNoColor;

        // The layout asks for composition frame by frame (a whole-screen
        // frame needs none, a smaller one on a zoomed screen does), but a
        // composed frame shows what the frames before it left on the screen.
        // So on a zoomed screen every frame of an animation is drawn on the
        // canvas from the first one on, and the canvas is only a failure when
        // a frame needs it. An unzoomed screen never composes, and a single
        // image has no frames before it: neither pays for a whole-screen
        // canvas unless its one frame is composed.
        if (i == 0 && (compose == 1 || (n > 1 && ScreenZoomed(angle, p, screenW, screenH)))) {
            DibHeader* ch = nullptr;
            uint8_t* cb = nullptr;
            canvasResult = GifKit_CreateCanvas(&readScreen, 32, 0, &ch, &cb);
            canvas.Reset(ch, cb);
            if (canvasResult > 0 && !canvas.header) canvasResult = 0;
        }
        if (canvas.header && canvasResult > 0)
            canvasResult = GifKit_DrawFrame(&readFrame, dib.header, dib.bits, canvas.header, canvas.bits);
        if (compose == 1) {
            r.errorCode = kErrInternal;
            if (canvasResult <= 0) {
                r.lastError = LastErrorFor(canvasResult);
                last = 0;
                break;
            }
            readFrame.Width = dib.header->biWidth;
            readFrame.Height = dib.header->biHeight;
            DibHeader* fh = nullptr;
            uint8_t* fb = nullptr;
            last = GifKit_CopyFrameFromCanvas(&readFrame, canvas.header, canvas.bits, 32, &fh, &fb);
            if (last <= 0 || !fh) {
                r.lastError = LastErrorFor(last);
                DibCore_Free(fh, fb);
                if (last > 0) last = 0;
                break;
            }
            dib.Reset(fh, fb);
        }

        int depth = writeFrame.LocalTableBits ? writeFrame.LocalTableBits : writeScreen.GlobalTableBits;
        // A file that declares no colour table at all still has 8-bit pixels.
        if (depth <= 0 || depth > 8) depth = 8;
        bool transparentPixels = HasTransparentPixels(dib.header, dib.bits);
        int code = TransformImage(kTypeGif, 1, &depth, p->BitCount, angle, 2, &frameSize,
                                  p->UseFilter ? p->Filter : 0, p->ZoomFilter, p->Palette,
                                  sourceColor == kNoColor ? -1 : int(sourceColor),
                                  &outputTransparent, &dib.header, &dib.bits);
        if (code != 0) {
            r.errorCode = code;
            last = 0;
            break;
        }

        int frameTransparent = transparentPixels ? outputTransparent : -1;
        Batch_ShowPreview(p, outputName, dib.header, dib.bits, frameTransparent, depth, previewBackground);

        DibPair out{dib.header, dib.bits};
        if (n == 1) {
            writeScreen.ColorResolution = depth;
            writeScreen.GlobalTableBits = depth;
            writeScreen.GlobalTableCount = GifKit_BuildColorTable(depth, dib.header, -1, kNoColor, writeScreen.GlobalTable);
            RefindBackground(&writeScreen);
            writeScreen.BackgroundColor = kNoColor;
            writeScreen.Unnamed = 0;
            writeFrame.LocalTableBits = 0;
            writeFrame.LocalTableCount = 0;
            writeFrame.Unnamed = 0;
            writeFrame.Interlace = InterlaceFor(p, writeFrame);
            writeScreen.HeaderFlag = frameTransparent >= 0 ? 1 : 0;
            r.errorCode = kErrWrite;
            last = GifKit_WriteSingleImage(0, output, &writeScreen, frameTransparent, &writeFrame, &out);
            r.lastError = LastErrorFor(last);
            break;
        }

        if (i == 0) {
            writeScreen.ColorResolution = depth;
            if (readScreen.GlobalTableCount > 0) {
                writeScreen.GlobalTableBits = depth;
                writeScreen.GlobalTableCount =
                    GifKit_BuildColorTable(depth, dib.header, -1, kNoColor, writeScreen.GlobalTable);
                RefindBackground(&writeScreen);
            }
            writeScreen.BackgroundColor = kNoColor;
            writeScreen.Unnamed = 0;
            r.errorCode = kErrWrite;
            last = GifKit_WriteHeader(0, output, &writeScreen, animation);
            if (last <= 0) {
                r.lastError = LastErrorFor(last);
                break;
            }
        }

        writeFrame.Interlace = InterlaceFor(p, writeFrame);
        int count = GifKit_BuildColorTable(depth, dib.header, frameTransparent, sourceColor, localTable);
        bool ownTable = readFrame.LocalTableCount > 0 || count != writeScreen.GlobalTableCount ||
                        !DibCore_EqualTables(count, 4, localTable, 4, writeScreen.GlobalTable);
        if (ownTable) {
            writeFrame.LocalTableBits = depth;
            writeFrame.LocalTableCount = 1 << depth;
        } else {
            writeFrame.LocalTableBits = 0;
            writeFrame.LocalTableCount = 0;
        }
        writeFrame.Unnamed = 0;
        r.errorCode = kErrWrite;
        last = GifKit_WriteFrame(0, output, &writeScreen, frameTransparent, &writeFrame, &out);
        if (last <= 0) {
            r.lastError = LastErrorFor(last);
            break;
        }

        if (i < n - 1 && Batch_AskStop(p)) {
            r.stop = 1;
            aborted = true;
        }
        if (i == n - 1 || aborted) {
            r.errorCode = kErrWrite;
            int trailer = GifKit_WriteTrailer(0, output);
            if (trailer <= 0 && !aborted) {
                r.lastError = LastErrorFor(trailer);
                last = trailer;
                break;
            }
            if (aborted) {
                // The file is complete and playable up to this frame; it is
                // still recorded as an interrupted conversion.
                r.errorCode = kErrStopped;
                r.lastError = 0;
                last = 0;
                break;
            }
            last = trailer;
        }
    }
    r.succeeded = last >= 1;
    if (r.succeeded) {
        r.errorCode = 0;
        r.lastError = 0;
    }
    return r;
}
