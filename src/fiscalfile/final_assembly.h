// The final assembly of the fiscal file from the work file: header records,
// movement records grouped by type, signature and final name.
#pragma once
#include <cstddef>
#include <span>

#include "log/file_helpers.h"

namespace moldrin::fiscalfile {

inline constexpr const char kBaseDirectory[] = "c:\\TALMA\\RFD";
inline constexpr const char kFinishedDirectory[] = "c:\\TALMA\\RFD\\S E F A Z - ArqDigital = [CD] & [Transmitir]";
inline constexpr const char kMergeFile[] = "c:\\TALMA\\RFD\\TALMA2.TMP";
inline constexpr const char kAssemblyFile[] = "c:\\TALMA\\RFD\\TALMA.TXT";
constexpr std::size_t kFinalNameSize = 260;

// The full name of the fiscal file of the current printer (ModelGate, ModelLetter,
// SerialNumber) for a DDMMYY date, into out (kFinalNameSize characters). 1 done,
// creating the directory of finished files; 0 for an unknown model letter, a serial
// number too short to name it, or a date that is not one.
int FinalFileName(std::span<char> out, const char* date);

// merge: 1 when this run already produced a final file of the same printer.
void AssembleFinalFile(int merge);

// Appends every line of source that begins with the 3-character type to out; a
// Z reduction's E16 line is kept back and written last, only the last of them.
// 1, or 0 after telling the operator.
int CopyRecordsOfType(const char* source, log::FileHandle out, const char* type);

// The full name (Windows form) of the last file the assembly moved into place;
// empty when the current processing has not produced one.
const char* LastFinalFilePath();
void ForgetLastFinalFile();

// Tests and fuzzing look at the work file as the assembly receives it: the
// observer is told of every call before anything is done.
using AssemblyObserver = void (*)(int merge);
void SetAssemblyObserver(AssemblyObserver observer);

}  // namespace moldrin::fiscalfile
