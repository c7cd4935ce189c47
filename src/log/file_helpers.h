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
FileHandle FileRecreate(const char* path);
// Creates a file that must not exist yet (read and write, unshared); -1 when
// anything, a link included, is already there. ownerOnly: a file for its owner's eyes alone.
FileHandle FileCreateNew(const char* path, bool ownerOnly = false);
FileHandle FileOpenAppend(const char* path);
FileHandle FileOpenMode(const char* path, unsigned mode);
int FileClose(FileHandle h);
int FileCloseHandle(FileHandle h);

uint32_t FileWrite(FileHandle h, const void* bytes, uint32_t n);
int FileWriteText(FileHandle h, const char* text);
int32_t FileWriteBlock(FileHandle h, const void* bytes, uint32_t n);
int32_t FileReadBlock(FileHandle h, void* buffer, uint32_t n);
int32_t FileSeek(FileHandle h, int32_t offset, int origin);

uint16_t ParseNumber(const char* text, int n);
int IsFilledWith(const void* bytes, char c, int n);

}  // namespace moldrin::log
