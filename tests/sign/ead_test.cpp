// Signing a file in place and checking its EAD line, with keys made by OpenSSL and
// laid out as RSA.BIN images, in a scratch MOLDRIN_ROOT.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "openssl_keys.h"
#include "platform/module.h"
#include "sign/digest.h"
#include "sign/ead.h"
#include "sign/key_file.h"
#include "sign/rsa.h"
#include "support/scratch_root.h"

namespace moldrin::sign {
namespace {

constexpr const char* kKey = "c:\\KEY\\RSA.BIN";
constexpr const char* kFile = "c:\\TALMA\\RFD\\TALMA.TXT";

std::string Records(size_t lines) {
    std::string s;
    for (size_t i = 0; i < lines; ++i)
        s += "E14" + std::string(20, static_cast<char>('0' + i % 10)) + "ITEM" + std::to_string(i) + "\r\n";
    return s;
}

std::string Md5Text(const std::string& content) {
    uint8_t d[16];
    unsigned n = 0;
    EVP_Digest(content.data(), content.size(), d, &n, EVP_md5(), nullptr);
    char text[32];
    HexEncode(d, 16, text);
    return std::string(text, 32);
}

std::string ImageBytes(const KeyImage& image) { return std::string(image.begin(), image.end()); }

// The image of the shared key, unscrambled, edited, and scrambled again.
KeyImage EditedKey(const std::function<void(KeyImage&)>& edit) {
    KeyImage image = testing::SharedKey().image;
    EXPECT_TRUE(ScrambleKeyImage(image));
    edit(image);
    EXPECT_TRUE(ScrambleKeyImage(image));
    return image;
}

class EadTest : public ::testing::Test {
protected:
    void SetUp() override { root.Write(kKey, ImageBytes(testing::SharedKey().image)); }
    std::string Signed(const std::string& content) {
        root.Write(kFile, content);
        EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignOk);
        return root.Read(kFile);
    }
    uint16_t VerifyContent(const std::string& bytes) {
        root.Write(kFile, bytes);
        return VerifyFileWithKey(kFile, kKey);
    }
    testing::ScratchRoot root;
};

TEST_F(EadTest, SigningAppendsOneLineThatVerifiesAndSigningAgainChangesNothing) {
    const std::string content = Records(20);
    const std::string once = Signed(content);
    ASSERT_EQ(once.size(), content.size() + 261);
    EXPECT_EQ(once.substr(0, content.size()), content);
    EXPECT_EQ(once.substr(content.size(), 3), "EAD");
    EXPECT_EQ(once.substr(once.size() - 2), "\r\n");
    for (char c : once.substr(content.size() + 3, 256)) EXPECT_TRUE(std::isxdigit(c) && !std::islower(c)) << c;
    EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignOk);
    EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignOk);
    EXPECT_EQ(root.Read(kFile), once);
}

TEST_F(EadTest, OurSignatureIsOpenSslsPkcs1Type1OverTheDigestTextHalf) {
    const std::string content = Records(5000);  // well past the 2048-byte window
    const std::string line = Signed(content).substr(content.size());
    std::vector<uint8_t> sig(128);
    ASSERT_EQ(HexDecode(line.data() + 3, 256, sig.data()), 1);
    std::string text = Md5Text(content);
    std::vector<uint8_t> payload = testing::SignedPayload(text.c_str());
    EXPECT_TRUE(testing::OsslVerifyRaw(testing::SharedKey().pkey.get(), payload.data(), payload.size(), sig.data(),
                                       sig.size()));
    // The binary digest in its place would be a different block.
    uint8_t binary[16];
    HexDecode(text.data(), 32, binary);
    std::vector<uint8_t> wrong(kMd5DigestInfo, kMd5DigestInfo + 18);
    wrong.insert(wrong.end(), binary, binary + 16);
    EXPECT_FALSE(testing::OsslVerifyRaw(testing::SharedKey().pkey.get(), wrong.data(), wrong.size(), sig.data(),
                                        sig.size()));
}

TEST_F(EadTest, OpenSslSignaturesInTheSameLayoutVerifyInEitherCase) {
    for (size_t lines : {size_t{0}, size_t{3}, size_t{400}}) {
        const std::string content = Records(lines);
        std::string text = Md5Text(content);
        std::vector<uint8_t> payload = testing::SignedPayload(text.c_str());
        std::vector<uint8_t> sig = testing::OsslSignRaw(testing::SharedKey().pkey.get(), payload.data(), payload.size());
        ASSERT_EQ(sig.size(), 128u);
        std::string hex(256, ' ');
        HexEncode(sig.data(), sig.size(), hex.data());
        EXPECT_EQ(VerifyContent(content + "EAD" + hex + "\r\n"), kSignOk) << lines;
        std::string lower = hex;
        for (char& c : lower) c = static_cast<char>(std::tolower(c));
        EXPECT_EQ(VerifyContent(content + "EAD" + lower + "\r\n"), kSignOk) << lines;
        // A signature over other content does not match.
        EXPECT_EQ(VerifyContent(Records(lines + 1) + "EAD" + hex + "\r\n"), kSignBadSignature) << lines;
    }
}

TEST_F(EadTest, TamperedFilesAreCaught) {
    const std::string content = Records(200);
    const std::string good = Signed(content);
    const size_t ead = content.size();
    struct Case {
        const char* what;
        std::function<void(std::string&)> edit;
        uint16_t want;
    };
    const Case cases[] = {
        {"first byte", [](std::string& s) { s[0] ^= 1; }, kSignBadSignature},
        {"middle byte", [&](std::string& s) { s[ead / 2] ^= 0x20; }, kSignBadSignature},
        {"carriage return before the line", [&](std::string& s) { s[ead - 2] = 'x'; }, kSignBadSignature},
        {"line feed before the line", [&](std::string& s) { s[ead - 1] = 'x'; }, kSignNotSigned},
        {"EAD letters", [&](std::string& s) { s[ead + 2] = 'X'; }, kSignNotSigned},
        {"EAD in lower case", [&](std::string& s) { s.replace(ead, 3, "ead"); }, kSignNotSigned},
        {"hex text cut to 255", [&](std::string& s) { s = s.substr(0, ead + 3 + 255); }, kSignBadSignature},
        {"hex text cut, line end kept", [&](std::string& s) { s = s.substr(0, ead + 3 + 200) + "\r\n"; },
         kSignBadSignature},
        {"non-hexadecimal character", [&](std::string& s) { s[ead + 3 + 100] = 'G'; }, kSignBadSignature},
        {"signature digit changed", [&](std::string& s) { s[ead + 3 + 255] = s[ead + 3 + 255] == '0' ? '1' : '0'; },
         kSignBadSignature},
        {"line appended after", [](std::string& s) { s += "E99\r\n"; }, kSignNotSigned},
    };
    for (const Case& c : cases) {
        std::string bytes = good;
        c.edit(bytes);
        EXPECT_EQ(VerifyContent(bytes), c.want) << c.what;
    }
}

TEST_F(EadTest, UnsignedShortAndMissingFiles) {
    EXPECT_EQ(VerifyContent(Records(3)), kSignNotSigned);
    EXPECT_EQ(VerifyContent(""), kSignNotSigned);
    EXPECT_EQ(VerifyContent("EA"), kSignNotSigned);
    EXPECT_EQ(VerifyContent("EAD"), kSignBadSignature);
    EXPECT_EQ(VerifyFileWithKey("c:\\TALMA\\RFD\\NONE.TXT", kKey), kSignFileError);
    EXPECT_EQ(SignFileWithKey("c:\\TALMA\\RFD\\NONE.TXT", kKey), kSignFileError);
}

TEST_F(EadTest, EmptyFileSignsAndVerifies) {
    const std::string once = Signed("");
    EXPECT_EQ(once.size(), 261u);
    EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignOk);
}

TEST_F(EadTest, FileWithoutFinalLineBreakIsRefusedAndLeftAlone) {
    // Its EAD line would be glued to the last record, where no check finds it.
    const std::string content = Records(3) + "E21 no line end";
    root.Write(kFile, content);
    EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignFileError);
    EXPECT_EQ(root.Read(kFile), content);
}

TEST_F(EadTest, KeyFileProblemsGiveSix) {
    const std::string content = Records(3);
    const std::string image = ImageBytes(testing::SharedKey().image);
    struct Case {
        const char* what;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"missing", [&] { std::filesystem::remove(root.Host(kKey)); }},
        {"one byte short", [&] { root.Write(kKey, image.substr(0, 2919)); }},
        {"empty", [&] { root.Write(kKey, ""); }},
        {"stored second word zero",
         [&] {
             std::string b = image;
             b.replace(4, 4, std::string(4, '\0'));
             root.Write(kKey, b);
         }},
    };
    for (const Case& c : cases) {
        c.prepare();
        root.Write(kFile, content);
        EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignNoKey) << c.what;
        EXPECT_EQ(root.Read(kFile), content) << c.what;
        EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignNoKey) << c.what;
    }
    // Of a longer file the first 2920 bytes are the key.
    root.Write(kKey, image + std::string(100, 'x'));
    EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignOk);
}

TEST_F(EadTest, UnusableKeysGiveFourAndLeaveTheFileAlone) {
    auto record = [](int which) { return kKeyRecordOffset + kKeyRecordSize * static_cast<size_t>(which); };
    struct Case {
        const char* what;
        KeyImage image;
    };
    const Case cases[] = {
        {"len 129", EditedKey([](KeyImage& k) { StoreKeyWord(k, 4, 129); })},
        {"len 64", EditedKey([](KeyImage& k) { StoreKeyWord(k, 4, 64); })},
        {"limb count above 64", EditedKey([&](KeyImage& k) { StoreKeyWord(k, record(kE) + 4, 65); })},
        {"negative limb count", EditedKey([&](KeyImage& k) { StoreKeyWord(k, record(kRQ) + 4, -1); })},
        {"huge limb count", EditedKey([&](KeyImage& k) { StoreKeyWord(k, record(kN) + 4, 0x7FFFFFFF); })},
        {"even exponent", EditedKey([&](KeyImage& k) { k[record(kE) + 8] &= 0xFE; })},
        {"P times Q is not N", EditedKey([&](KeyImage& k) { k[record(kP) + 20] ^= 0x40; })},
        {"negative modulus", EditedKey([&](KeyImage& k) { StoreKeyWord(k, record(kN), -1); })},
        // Private exponents are not checked up front; the signature then fails its own check.
        {"wrong DP", EditedKey([&](KeyImage& k) { k[record(kDP) + 12] ^= 0x01; })},
        {"wrong QP", EditedKey([&](KeyImage& k) { k[record(kQP) + 12] ^= 0x01; })},
    };
    const std::string content = Records(4);
    for (const Case& c : cases) {
        root.Write(kKey, ImageBytes(c.image));
        root.Write(kFile, content);
        EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignBadKey) << c.what;
        EXPECT_EQ(root.Read(kFile), content) << c.what;
    }
}

// Records N, P and Q carry `extra` zero limbs on top, and the cached constants are
// made from the record's limb count, as another key maker may lay them out.
KeyImage PaddedKey(int32_t extra) {
    RsaKey key;
    EXPECT_EQ(UnpackKey(testing::SharedKey().image, key), 0);
    return EditedKey([&](KeyImage& k) {
        const std::pair<int, int> numbers[] = {{kN, kRN}, {kP, kRP}, {kQ, kRQ}};
        for (const auto& [which, cache] : numbers) {
            const size_t at = kKeyRecordOffset + kKeyRecordSize * static_cast<size_t>(which);
            const auto limbs = static_cast<int32_t>(BnSignificantLimbs(key.Number(which))) + extra;
            StoreKeyWord(k, at + 4, limbs);
            BigNum r;
            BnSet(r, 1);
            BnShiftLeft(r, 64 * static_cast<size_t>(limbs));
            BnMod(r, r, key.Number(which));
            EXPECT_TRUE(StoreKeyNumber(k, cache, r));
        }
    });
}

TEST_F(EadTest, CachedConstantsForAnotherLimbCountAreRecomputed) {
    const std::string content = Records(6);
    const std::string reference = Signed(content);
    auto garbage = [](KeyImage& k) {
        for (int which : {kRN, kRP, kRQ}) {
            const size_t at = kKeyRecordOffset + kKeyRecordSize * static_cast<size_t>(which);
            StoreKeyWord(k, at, 1);
            StoreKeyWord(k, at + 4, 1);
            StoreKeyWord(k, at + 8, 12345);
        }
    };
    const struct {
        const char* what;
        KeyImage image;
    } cases[] = {
        {"one zero limb on top", PaddedKey(1)},
        {"three zero limbs on top", PaddedKey(3)},
        {"constants of the significant limbs", PaddedKey(0)},
        {"constants that are no R squared at all", EditedKey(garbage)},
    };
    for (const auto& c : cases) {
        root.Write(kKey, ImageBytes(c.image));
        // The signature is the one the plain key makes, and each key checks the other's.
        root.Write(kFile, content);
        EXPECT_EQ(SignFileWithKey(kFile, kKey), kSignOk) << c.what;
        EXPECT_EQ(root.Read(kFile), reference) << c.what;
        EXPECT_EQ(VerifyContent(reference), kSignOk) << c.what;
        std::string forged = reference;
        char& digit = forged[forged.size() - 3];
        digit = digit == '0' ? '1' : '0';
        EXPECT_EQ(VerifyContent(forged), kSignBadSignature) << c.what;
    }
}

TEST_F(EadTest, ScrambleWordsThatWouldDivideByZeroAreRefused) {
    const std::string content = Records(4);
    struct Case {
        int32_t a, b;
        uint16_t want;
    };
    // k = (B rem 4096) + 1 and the divisor runs from k to k + 2911.
    const Case cases[] = {
        {12345, -1, kSignBadKey},        // k = 0
        {12345, -2912, kSignBadKey},     // k = -2911: the last divisor is 0
        {INT32_MIN, -2913, kSignOk},     // k = -2912: ends at -1, and INT32_MIN / -1 is defined here
        {-7, 4095, kSignOk},             // k = 4096
        {0, -1, kSignOk},                // A = 0: nothing is scrambled, B does not matter
        {99, -4095 - 4096, kSignOk},     // k = -4094: ends at -1183
    };
    for (const Case& c : cases) {
        KeyImage image = testing::BuildImageUnchecked(testing::SharedKey().pkey.get(), c.a, c.b);
        root.Write(kKey, ImageBytes(image));
        root.Write(kFile, content);
        EXPECT_EQ(SignFileWithKey(kFile, kKey), c.want) << c.a << " " << c.b;
        if (c.want == kSignOk) {
            EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignOk);
        }
    }
}

TEST_F(EadTest, CheckingWithABrokenPublicKeyGivesFour) {
    const std::string signedFile = Signed(Records(4));
    root.Write(kKey, ImageBytes(EditedKey([](KeyImage& k) { k[kKeyRecordOffset + kKeyRecordSize * kE + 8] &= 0xFE; })));
    EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignBadKey);
    // An unsigned file is reported as such before the key is looked at.
    root.Write(kFile, Records(4));
    EXPECT_EQ(VerifyFileWithKey(kFile, kKey), kSignNotSigned);
}

// One test for both sides of the key beside the executable, so that no other test
// process ever sees the key this one puts there.
TEST(SignFiscalFile, UsesRsaBinBesideTheExecutableAndReportsItsPath) {
    testing::ScratchRoot root;
    const std::string keyPath = KeyFilePath();
    if (std::filesystem::exists(keyPath)) GTEST_SKIP() << "an RSA.BIN lies beside the test program";
    EXPECT_EQ(DirectoryOfPath(platform::ExecutablePath().c_str()) + "RSA.BIN", keyPath);

    // Without a key: 6, the file untouched, and the location still filled in.
    const std::string content = Records(2);
    root.Write(kFile, content);
    char location[kLocationSize];
    std::memset(location, 'x', sizeof location);
    EXPECT_EQ(SignFiscalFile(kFile, location), kSignNoKey);
    EXPECT_EQ(std::string(location), platform::ExecutablePath());
    EXPECT_NE(std::string(location).find("test_sign"), std::string::npos);
    EXPECT_EQ(root.Read(kFile), content);
    EXPECT_EQ(VerifyFileSignature(kFile), kSignNoKey);
    // A small location buffer is filled only as far as it goes.
    char small[5];
    SignFiscalFile(kFile, small);
    EXPECT_EQ(std::string(small), platform::ExecutablePath().substr(0, 4));

    // With one: signed, and OpenSSL's public operation accepts the signature.
    struct RemoveAfter {
        std::string path;
        ~RemoveAfter() { std::filesystem::remove(path); }
    } removeAfter{keyPath};
    root.Write(keyPath.c_str(), ImageBytes(testing::SharedKey().image));
    EXPECT_EQ(SignFiscalFile(kFile, location), kSignOk);
    EXPECT_EQ(VerifyFileSignature(kFile), kSignOk);
    const std::string signedFile = root.Read(kFile);
    ASSERT_EQ(signedFile.size(), content.size() + 261);
    std::vector<uint8_t> sig(128);
    ASSERT_EQ(HexDecode(signedFile.data() + content.size() + 3, 256, sig.data()), 1);
    std::vector<uint8_t> payload = testing::SignedPayload(Md5Text(content).c_str());
    EXPECT_TRUE(testing::OsslVerifyRaw(testing::SharedKey().pkey.get(), payload.data(), payload.size(), sig.data(),
                                       sig.size()));
}

TEST(DirectoryOfPath, KeepsEverythingUpToTheLastSeparator) {
    EXPECT_EQ(DirectoryOfPath("c:\\APP\\PDV.EXE"), "c:\\APP\\");
    EXPECT_EQ(DirectoryOfPath("/opt/pdv/bin/pdv"), "/opt/pdv/bin/");
    EXPECT_EQ(DirectoryOfPath("PDV.EXE"), "");
    EXPECT_EQ(DirectoryOfPath(""), "");
    EXPECT_EQ(DirectoryOfPath(std::string(2000, '\\').c_str()).size(), 1023u);
}

}  // namespace
}  // namespace moldrin::sign
