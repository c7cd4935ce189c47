// Speed of the signature code beside OpenSSL in the same run: the RSA-1024 private
// operation with the CRT, MD5 throughput, and checking the EAD line of a 50 MB file.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sign/bignum.h"
#include "sign/ead.h"
#include "sign/key_file.h"
#include "sign/md5.h"
#include "sign/rsa.h"

namespace {

using namespace moldrin::sign;

// Processor time of this process, best of several rounds: the machine is shared, and
// neither figure should carry the time other programs ran.
double BestSeconds(int rounds, int iterations, const std::function<void()>& body) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        std::clock_t t0 = std::clock();
        for (int i = 0; i < iterations; ++i) body();
        double s = static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC / iterations;
        best = std::min(best, s);
    }
    return best;
}

void FromOssl(BigNum& x, EVP_PKEY* pkey, const char* name) {
    BIGNUM* b = nullptr;
    if (!EVP_PKEY_get_bn_param(pkey, name, &b)) {
        std::fprintf(stderr, "no %s\n", name);
        std::exit(2);
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, bytes.data());
    BnImport(x, bytes.data(), bytes.size());
    BN_free(b);
}

void LoadKey(RsaKey& key, EVP_PKEY* pkey) {
    key.len = 128;
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (int i = 0; i < 8; ++i) FromOssl(key.Number(i), pkey, names[i]);
}

}  // namespace

int main() {
    bool ok = true;
#ifndef __OPTIMIZE__
    std::printf("note: built without optimisation; build with -DCMAKE_BUILD_TYPE=Release for figures that mean anything\n");
#endif
    std::mt19937_64 rng(42);

    // RSA-1024 private operation with the CRT.
    EVP_PKEY* pkey = EVP_RSA_gen(1024);
    RsaKey key;
    LoadKey(key, pkey);
    uint8_t input[128], ours[128], theirs[128];
    for (auto& b : input) b = static_cast<uint8_t>(rng());
    input[0] = 0x01;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
    size_t outLen = sizeof theirs;
    EVP_PKEY_sign(ctx, theirs, &outLen, input, sizeof input);
    RsaPrivate(key, input, ours);
    if (outLen != 128 || std::memcmp(ours, theirs, 128) != 0) {
        std::printf("RSA results differ from OpenSSL\n");
        ok = false;
    }
    // Signing builds the key afresh, so the Montgomery constants are computed every time.
    auto ourRsa = [&] {
        BnRelease({&key.RP, &key.RQ, &key.RN});
        RsaPrivate(key, input, ours);
    };
    auto theirRsa = [&] {
        size_t n = sizeof theirs;
        EVP_PKEY_sign(ctx, theirs, &n, input, sizeof input);
    };
    double tOurRsa = 1e30, tTheirRsa = 1e30;
    for (int r = 0; r < 5; ++r) {
        tOurRsa = std::min(tOurRsa, BestSeconds(1, 300, ourRsa));
        tTheirRsa = std::min(tTheirRsa, BestSeconds(1, 300, theirRsa));
    }
    double rsaRatio = tOurRsa / tTheirRsa;
    std::printf("RSA-1024 private (CRT): ours %.1f us, OpenSSL %.1f us, time ratio %.2f (limit 2.00)\n", tOurRsa * 1e6,
                tTheirRsa * 1e6, rsaRatio);
    ok = ok && rsaRatio <= 2.0;

    // MD5 over 16 MiB.
    std::vector<uint8_t> buf(16u << 20);
    for (size_t i = 0; i < buf.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(&buf[i], &v, 8);
    }
    uint8_t d1[16], d2[16];
    auto ourMd5 = [&] {
        Md5Context c;
        Md5Start(c);
        Md5Update(c, buf.data(), buf.size());
        Md5Finish(c, d1);
    };
    auto theirMd5 = [&] {
        unsigned n = 0;
        EVP_Digest(buf.data(), buf.size(), d2, &n, EVP_md5(), nullptr);
    };
    double tOurMd5 = 1e30, tTheirMd5 = 1e30;
    for (int r = 0; r < 4; ++r) {
        tOurMd5 = std::min(tOurMd5, BestSeconds(1, 2, ourMd5));
        tTheirMd5 = std::min(tTheirMd5, BestSeconds(1, 2, theirMd5));
    }
    if (std::memcmp(d1, d2, 16) != 0) {
        std::printf("MD5 results differ from OpenSSL\n");
        ok = false;
    }
    double md5Ratio = tTheirMd5 / tOurMd5;
    std::printf("MD5 16 MiB: ours %.0f MB/s, OpenSSL %.0f MB/s, throughput ratio %.2f (at least 0.80)\n",
                buf.size() / tOurMd5 / 1e6, buf.size() / tTheirMd5 / 1e6, md5Ratio);
    ok = ok && md5Ratio >= 0.8;

    // VerifyFileSignature of a 50 MB fiscal file against MD5 alone over the same bytes.
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("moldrin-bench-sign-" + std::to_string(rng() % 1000000));
    fs::create_directories(dir);
    std::string keyPath = (dir / "RSA.BIN").string(), filePath = (dir / "fiscal.txt").string();
    {
        KeyImage image{};
        StoreKeyWord(image, 0, 1);
        StoreKeyWord(image, 4, 128);
        for (int i = 0; i < 8; ++i) StoreKeyNumber(image, i, key.Number(i));
        BigNum empty;
        for (int i = kRN; i <= kRQ; ++i) StoreKeyNumber(image, i, empty);
        std::ofstream(keyPath, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        std::string line = "E14" + std::string(120, '0') + "\r\n";
        std::ofstream out(filePath, std::ios::binary);
        for (size_t written = 0; written < 50'000'000; written += line.size()) out << line;
    }
    uint16_t signedRc = SignFileWithKey(filePath.c_str(), keyPath.c_str());
    std::vector<uint8_t> file;
    {
        std::ifstream in(filePath, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
    }
    uint16_t verifyRc = 0;
    auto verify = [&] { verifyRc = VerifyFileWithKey(filePath.c_str(), keyPath.c_str()); };
    auto md5Only = [&] {
        Md5Context c;
        Md5Start(c);
        Md5Update(c, file.data(), file.size() - kEadLineSize);
        Md5Finish(c, d1);
    };
    double tVerify = 1e30, tMd5File = 1e30;
    for (int r = 0; r < 4; ++r) {
        tVerify = std::min(tVerify, BestSeconds(1, 2, verify));
        tMd5File = std::min(tMd5File, BestSeconds(1, 2, md5Only));
    }
    fs::remove_all(dir);
    if (signedRc != 0 || verifyRc != 0) {
        std::printf("signing gave %u, checking gave %u\n", signedRc, verifyRc);
        ok = false;
    }
    double verifyRatio = tVerify / tMd5File;
    std::printf("VerifyFileSignature 50 MB: %.1f ms, MD5 alone %.1f ms, time ratio %.2f (limit 1.20)\n", tVerify * 1e3,
                tMd5File * 1e3, verifyRatio);
    ok = ok && verifyRatio <= 1.2;

    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    std::printf("%s\n", ok ? "all three ratios met" : "FAILED");
    return ok ? 0 : 1;
}
