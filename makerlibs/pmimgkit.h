// PMIMGKIT: library start and stop, image type names and lists, the type
// list box. Portable part; pmimgkit_win.h adds the list box.
#pragma once

// Image type codes.
constexpr int kTypeNone = 0;
constexpr int kTypeBmp = 1;
constexpr int kTypeJpeg = 3;
constexpr int kTypeTiff = 4;
constexpr int kTypeGif = 5;
constexpr int kTypePng = 6;
constexpr int kTypePhotoCd = 7;
constexpr int kTypeHeif = 8;
constexpr int kTypeAvif = 9;
constexpr int kTypeWebp = 10;

// Mode 1 is the only mode. Idempotent; counts nested starts.
int ImgKit_Initialize(int mode);
void ImgKit_Terminate();
// Paths whose buffers outlive the run.
void ImgKit_SetIniFile(const char* path);
void ImgKit_SetHelpFile(const char* path);
const char* ImgKit_GetIniFile();
// The help file path, or null when no path was set or the file does not exist.
const char* ImgKit_GetHelpFile();

// kind 1: the type's display name; kind 2: its file extension with the dot.
// Null for an unknown code or kind. The text stays valid.
const char* ImgKit_GetTypeName(int type, int kind);
// Flags 16: the types that can be read, in display order. Writes at most
// `maximum` codes and returns their number.
int ImgKit_ListImageTypes(int flags, int maximum, int* types);
// Flags with bit 0 set (17): the types that can be written.
