// The application's registration: the 235-character record, its scrambled
// file E00.BIN (or EXX.BIN), loading and checking it, and the identification
// dialog through the operator. Who asks for it, and when, is the interception's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "moldrin.h"

namespace moldrin::capture {

inline constexpr const char kRegistrationFile[] = "c:\\TALMA\\RFD\\E00.BIN";
inline constexpr const char kRegistrationOverride[] = "c:\\TALMA\\RFD\\EXX.BIN";
constexpr std::size_t kRegistrationLine = 235;
constexpr std::size_t kRegistrationFileSize = kRegistrationLine + 2;
constexpr uint32_t kRegistrationSeed = 123;

struct RegistrationRecord {
    MoldrinIdentification fields{};
    char modelLetter = static_cast<char>(0xFF);  // registered model letter
    int modelFlag = 0;                           // registered model flag
};

inline RegistrationRecord g_registration;

// Scrambles (mode 1) or unscrambles (mode 0) n bytes; out holds n + 1 bytes
// and ends with a NUL. For n below 10 the output is the empty string.
void ScrambleRegistration(int mode, char* out, const char* in, std::size_t n);

// Cuts `text` at the first of its first n characters that is not a digit.
void DigitsOnly(char* text, std::size_t n);

// Builds the record line of the current fields, ModelLetter and ModelGate
// into out (at least kRegistrationLine + 1 bytes).
void BuildRegistrationLine(char* out, const RegistrationRecord& record, char modelLetter, int8_t modelGate);
// Takes the fields back from a record line.
void LoadRegistrationLine(RegistrationRecord& record, const char* line);

// What reading a registration file found.
enum class RegistrationLoad { Missing, Damaged, WrongSize, Loaded };
// Reads E00.BIN or EXX.BIN into g_registration, without telling anyone; the
// fields are loaded for WrongSize and Loaded.
RegistrationLoad LoadRegistrationFile(const char* path);

// Takes the entries of the identification as the dialog takes its controls:
// each cut to its width, digits only where the control takes digits, an
// eight-character factory number made nine with a blank.
void TakeIdentification(const MoldrinIdentification& entry);

// True when one of the five fields the record cannot do without is blank.
bool RegistrationRequiredBlank(const RegistrationRecord& record);

// True when any of the eight fields that the dialog must fill is empty.
bool RegistrationIncomplete(const RegistrationRecord& record);

// Writes E00.BIN for the current fields (through a temporary file and a
// rename, so the old file stays whole until the new one is) and then removes
// EXX.BIN. 1 done, 0 failed.
int WriteRegistrationFile(char modelLetter, int8_t modelGate);

// 1 a complete record was loaded; -1 the operator entered it and a new
// E00.BIN was written; 0 cancelled or the file could not be written.
int EnsureRegistration(int force);

// Shows the identification dialog pre-filled with the current fields; after
// OK the fields hold the entries. 1 after OK, 0 after cancel.
int IdentificationDialog();

}  // namespace moldrin::capture
