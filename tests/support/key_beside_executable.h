// A fixed 1024-bit RSA key in the RSA.BIN layout, made for these tests alone,
// put beside an executable path of the test's own so that signing finds it.
#pragma once
#include <string>

#include "sign/key_file.h"
#include "support/scratch_root.h"

namespace moldrin::testing {

// The key's image, scrambled with non-zero words.
sign::KeyImage FixedKeyImage();

// While it lives the library takes `executable` (in a folder of the scratch
// root) for the running program's file, and RSA.BIN lies beside it unless
// withKey is false.
class KeyBesideExecutable {
public:
    explicit KeyBesideExecutable(const ScratchRoot& root, bool withKey = true);
    ~KeyBesideExecutable();
    KeyBesideExecutable(const KeyBesideExecutable&) = delete;
    KeyBesideExecutable& operator=(const KeyBesideExecutable&) = delete;

    const std::string& executable() const { return executable_; }
    const std::string& keyFile() const { return keyFile_; }

private:
    std::string executable_, keyFile_;
};

}  // namespace moldrin::testing
