#include "support/key_beside_executable.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/module.h"
#include "sign/bignum.h"

namespace moldrin::testing {

namespace {

// N, E, D, P, Q, DP, DQ, QP of a throw-away key, most significant digit first.
const char* const kNumbers[8] = {
    "97F94C68E9662BB23B943D7086648B9FAED4B41D2C42C083F626B93CE4A2987C17B43C965FDF8AF4DC0C4E420891623DE7755329BBECCE"
    "ADCCC246AD55969855632477542503DD5CA880155291022CEB92196A5F11AE4A7C2CD1A80274D4DE5D8ECC4DF5581CB2B686FFA2A87C79E8"
    "AFD5E59A4BC08C01679D787AA047DAC6B3",
    "010001",
    "10F8D76EB3FA241120943A94517DF315DF3983EFEA1C7E517E70EEA8FD43A751DC77D57859B6A65718280BA956399E46198E41BE5C6D62DB"
    "880D7E452754CD2837FEC6678241D90E879D41CDBC4202CC0F7EFE9DBE44DB6F1F753197A7751CC826584DB2C8585849231928080AE55BCC"
    "2ECE8A7C400F433C5432E291CB72DA69",
    "C61C1446D4DF890EE31F6FDDEE78253A5DB439A351729BFA8CFA94578D4320576D67EBEB231715834E907BD8BC6A00C53D690C81062F23A6"
    "946E11B00551A597",
    "C461F3410E7A0C4E96453599144B7415B8392F4EF99C31E1E2D88B4BBAAA9A56781ECFB0F170E72024F104B3988EFD5FA4E0D2F31B9DFBE2"
    "489F4835F826A345",
    "7360770EA97B663F1D5779B72EE31A0B5BF7527A233D344A3F40D0940CD94344A79B1672E304D6AA9A5EDB41E6B975A969927C8DC8243C07"
    "0FFAEAA230F6D411",
    "BB7C68286C11C93E1DE8E54AC83D610E7B5ADCF7A106A5F8EA01A2BB21F34E75CF285B50AAB1077780CD3997DCC666CFB1319333D5E1F660"
    "0AC546C37FAE23A1",
    "511C1F3E4940AB877D5D2CD86746655CF6515A9EC5B250A301755C3EFCA8DCC5F5F009159B5FB6B8E90680FC2AAF902AF5E0BFF95B96B7D0"
    "F6856A830A03523C",
};

}  // namespace

sign::KeyImage FixedKeyImage() {
    sign::KeyImage image{};
    sign::StoreKeyWord(image, 0, 1);
    sign::StoreKeyWord(image, 4, 128);
    for (int i = 0; i < 8; ++i) {
        const std::string hex = (std::char_traits<char>::length(kNumbers[i]) % 2 ? "0" : "") + std::string(kNumbers[i]);
        uint8_t bytes[128];
        const std::size_t n = hex.size() / 2;
        for (std::size_t k = 0; k < n; ++k) bytes[k] = static_cast<uint8_t>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
        sign::BigNum x;
        sign::BnImport(x, bytes, n);
        sign::StoreKeyNumber(image, i, x);
    }
    sign::BigNum empty;
    for (int i = sign::kRN; i <= sign::kRQ; ++i) sign::StoreKeyNumber(image, i, empty);
    sign::StoreKeyWord(image, 2912, 0x5A17C3);
    sign::StoreKeyWord(image, 2916, 77);
    if (!sign::ScrambleKeyImage(image)) throw std::runtime_error("the scramble words divide by zero");
    return image;
}

KeyBesideExecutable::KeyBesideExecutable(const ScratchRoot& root, bool withKey) {
    const std::filesystem::path dir = std::filesystem::path(root.path()) / "app";
    std::filesystem::create_directories(dir);
    executable_ = (dir / "caixa").string();
    keyFile_ = (dir / "RSA.BIN").string();
    if (withKey) {
        const sign::KeyImage image = FixedKeyImage();
        std::ofstream(keyFile_, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                         static_cast<std::streamsize>(image.size()));
    }
    platform::OverrideExecutablePath(executable_);
}

KeyBesideExecutable::~KeyBesideExecutable() { platform::OverrideExecutablePath(""); }

}  // namespace moldrin::testing
