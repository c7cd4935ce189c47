// `moldrin pubkey [--key RSA.BIN]`: the public half of a key file as a PEM
// "PUBLIC KEY", the form other tools (and whoever checks the fiscal files) read.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "sign/ead.h"
#include "sign/key_file.h"
#include "tools/command.h"
#include "tools/options.h"

namespace moldrin::tools {
namespace {

using Bytes = std::vector<uint8_t>;

// A DER element: tag, definite length, content.
Bytes Der(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        Bytes length;
        for (std::size_t v = n; v; v >>= 8) length.insert(length.begin(), static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A non-negative number as a DER INTEGER: big-endian, no leading zero bytes
// beyond the one that keeps the top bit from reading as a sign.
Bytes Integer(const sign::BigNum& x) {
    Bytes be;
    for (std::size_t i = sign::BnSignificantLimbs(x); i-- > 0;)
        for (int shift = 24; shift >= 0; shift -= 8) be.push_back(static_cast<uint8_t>(x.limbs[i] >> shift));
    std::size_t first = 0;
    while (first < be.size() && be[first] == 0) ++first;
    be.erase(be.begin(), be.begin() + static_cast<std::ptrdiff_t>(first));
    if (be.empty() || be[0] & 0x80) be.insert(be.begin(), 0);
    return Der(0x02, be);
}

std::string Base64Lines(const Bytes& data) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(data[i]) << 16 |
                           (i + 1 < data.size() ? static_cast<uint32_t>(data[i + 1]) << 8 : 0) |
                           (i + 2 < data.size() ? data[i + 2] : 0);
        text += kDigits[v >> 18 & 63];
        text += kDigits[v >> 12 & 63];
        text += i + 1 < data.size() ? kDigits[v >> 6 & 63] : '=';
        text += i + 2 < data.size() ? kDigits[v & 63] : '=';
    }
    std::string lines;
    for (std::size_t i = 0; i < text.size(); i += 64) lines += text.substr(i, 64) + "\n";
    return lines;
}

int Run(int argc, char** argv) {
    std::string key = sign::KeyFilePath();
    Options options("moldrin pubkey", "[--key RSA.BIN]",
                    "Prints the public key of the key file as PEM (SubjectPublicKeyInfo), e.g. for\n"
                    "  openssl pkeyutl -verifyrecover -pubin -inkey KEY.pem ...\n");
    options.Text("key", "RSA.BIN", "the key file (default: RSA.BIN beside the tool)", &key);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    if (const std::string why = UnreadableReason(platform::HostPath(key.c_str())); !why.empty())
        return options.Failure("cannot read " + key + ": " + why);

    sign::KeyImage image{};
    sign::RsaKey rsa;
    if (sign::LoadKeyFile(key.c_str(), image) != 0) return options.Failure(key + ": not a key file");
    if (sign::CheckPublicKey(image) != 0 || sign::UnpackKey(image, rsa) != 0)
        return options.Failure(key + ": the public key fails its checks");
    // rsaEncryption (1.2.840.113549.1.1.1) with NULL parameters.
    const Bytes algorithm = Der(0x30, Cat({Der(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}),
                                           Der(0x05, {})}));
    const Bytes publicKey = Der(0x30, Cat({Integer(rsa.N), Integer(rsa.E)}));
    const Bytes bitString = Der(0x03, Cat({Bytes{0}, publicKey}));
    const Bytes info = Der(0x30, Cat({algorithm, bitString}));
    std::printf("-----BEGIN PUBLIC KEY-----\n%s-----END PUBLIC KEY-----\n", Base64Lines(info).c_str());
    return kExitOk;
}

static RegisterCommand reg("pubkey", "print the public key of a key file as PEM [--key RSA.BIN]", Run);

}  // namespace
}  // namespace moldrin::tools
