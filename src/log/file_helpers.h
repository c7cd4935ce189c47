// Small wrappers over the platform's file calls, each one fixed combination of
// access, sharing and creation rule, and two text helpers.
#pragma once
#include <cstdint>

#include "platform/files.h"

namespace moldrin::log {

using platform::FileHandle;
using platform::kInvalidFile;

FileHandle FileOpenShared(const char* path);
FileHandle FileOpenRead(const char* path);
FileHandle FileCreate(const char* path);
// Starts the file from empty as a new file of this call's own: whatever was at
// the path is deleted first and never reopened, so a file another program still
// writes is never handed over to this one.
FileHandle FileRecreate(const char* path);
// Creates a file that must not exist yet (read and write, unshared); -1 when
// anything, a link included, is already there. ownerOnly: a file for its owner's eyes alone.
FileHandle FileCreateNew(const char* path, bool ownerOnly = false);
FileHandle FileOpenAppend(const char* path);
FileHandle FileOpenMode(const char* path, unsigned mode);
int FileClose(FileHandle h);
int FileCloseHandle(FileHandle h);
// A write through these helpers to the handle failed since it was opened: a
// file written line by line is then incomplete, however its later lines went.
bool FileWriteFailed(FileHandle h);

uint32_t FileWrite(FileHandle h, const void* bytes, uint32_t n);
int FileWriteText(FileHandle h, const char* text);
int32_t FileWriteBlock(FileHandle h, const void* bytes, uint32_t n);
int32_t FileReadBlock(FileHandle h, void* buffer, uint32_t n);
int32_t FileSeek(FileHandle h, int32_t offset, int origin);

uint16_t ParseNumber(const char* text, int n);
int IsFilledWith(const void* bytes, char c, int n);

}  // namespace moldrin::log
