// Signing a fiscal file in place with its EAD line, and checking that line, with the
// key of RSA.BIN beside the executable. Key layout, RSA and MD5 live in their own files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace moldrin::sign {

// Result codes of SignFiscalFile and VerifyFileSignature.
enum SignResult : uint16_t {
    kSignOk = 0,
    kSignFileError = 1,     // cannot open or read the file, or the line did not read back
    kSignNotSigned = 2,     // the last line is not an EAD line
    kSignBadSignature = 3,  // short or non-hexadecimal EAD line, or a signature that does not match
    kSignBadKey = 4,        // the key fails its checks, or signing failed
    kSignNoKey = 6,         // the key file is missing, short, or its second word is 0
};

constexpr size_t kLocationSize = 502;  // executable path, up to 501 characters and a NUL
constexpr size_t kEadLineSize = 3 + 256 + 2;

// Signs path in place. location gets the executable's full path first of all.
uint16_t SignFiscalFile(const char* path, std::span<char> location);
uint16_t VerifyFileSignature(const char* path);

// The same with a key file named by the caller (the moldrin tool's --key).
uint16_t SignFileWithKey(const char* path, const char* keyPath);
uint16_t VerifyFileWithKey(const char* path, const char* keyPath);

// The path up to and including its last separator ("" without one), at most 1023 characters.
std::string DirectoryOfPath(const char* path);
// RSA.BIN beside the running executable.
std::string KeyFilePath();
// A short description of a result code, for people.
const char* SignResultText(uint16_t code);

}  // namespace moldrin::sign
