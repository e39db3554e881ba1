// The studio's signature on the digest file: what a hostile server could send instead
// of it, and real signatures made once with openssl (`openssl dgst -sha256 -sign`) by
// two test keys over two digest files.
#include "update/signature_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kDigestFile = "4ba0d1825bdde359ce65cb7a1775c82fde403b82583fa9f66d6aa9a6417729d7  launcher_full.exe\n";

// The public keys (uncompressed points) of the two test keys; A's PEM is tests/update/test-publisher.pub.pem.
const char kKeyA[] =
    "04742a796d1bd97c42339ead8d7c383e569055a45dd50b63b10031451000985515"
    "b85902c9d3d63684bd26f7e60ebfc1227e2b7ef20faebc625db2389257b36c33";
const char kKeyB[] =
    "046d3720e7d8146af0e0563b2b792a5b2d2f0491deb54c7e5a3daee16939a6b43a"
    "de52763e74c828137611714aea085535e15e12ad38037d9bd1df96f1e68bf7c8";

// Key A over kDigestFile: r has its top bit set (so DER gives it a zero byte), s not.
const std::string kR = "b85fcda5ca36b92edf023e6c6e2a4428944e49f5b53485fe4d0b54a087fb7cf7";
const std::string kS = "77eb37f21eb78a78495a60f3f364a9eba0afaa2d2376ebd3d3cabb004c4f2252";
const std::string kGood = "3045" "022100" + kR + "0220" + kS;
// Key A over kDigestFile again, with an r of 31 bytes.
const std::string kShortR =
    "3043021f457f571dc2c730b2ad74b14f46d20cbd377af8ad6147fc568fc9f9401312b4"
    "0220188030ab72db2635f428c8c38d77aba94e334f98778edd4db21270da1abcd5fe";
// Key A over another digest file (of "build 2").
const std::string kOverOtherFile =
    "304402203c9f8f5026d061c5ed7abe0730c6cc5a7f8051fe6d1f6ce5840898e84b20c3d2"
    "022009b2566f642761d6fc8ade83e750f61024831de39a6f9b87c57319104d164474";
// Key B over kDigestFile.
const std::string kFromKeyB =
    "304502210085841491271c071d84d3044b5aad8e52c23b8407d3e0c1411b5751791b85dc39"
    "0220372cbaf5bc94bf7b0448b9e3a35f8cb7f2457816ae2adb3e27f87cd52b5c37fd";

ByteBuffer FromHex(const std::string& hex)
{
    ByteBuffer bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct SignatureCase {
    const char* name;
    std::string signature;  // hexadecimal
    const char* key;
    bool valid;
};

const SignatureCase kCases[] = {
    {"Good", kGood, kKeyA, true},
    {"ShortIntegerIsLeftPadded", kShortR, kKeyA, true},
    {"FlippedBit", kGood.substr(0, kGood.size() - 2) + "53", kKeyA, false},
    {"OverAnotherDigestFile", kOverOtherFile, kKeyA, false},
    {"FromAnotherKey", kFromKeyB, kKeyA, false},
    {"ByAnotherKeyThanBuiltIn", kGood, kKeyB, false},
    {"Truncated", kGood.substr(0, kGood.size() - 2), kKeyA, false},
    {"SequenceLengthBeyondTheEnd", "3046" + kGood.substr(4), kKeyA, false},
    {"IntegerLengthBeyondItsSequence", "3045" "022100" + kR + "0221" + kS, kKeyA, false},
    {"LongFormLength", "308145" + kGood.substr(4), kKeyA, false},
    {"LeadingZeroTooMany", "3046" "022100" + kR + "022100" + kS, kKeyA, false},
    {"LeadingZeroTooFew", "3044" "0220" + kR + "0220" + kS, kKeyA, false},
    {"ThirtyThreeSignificantBytes", "3045" "022101" + kR + "0220" + kS, kKeyA, false},
    {"TrailingBytes", kGood + "00", kKeyA, false},
    {"TrailingSignature", kGood + kGood, kKeyA, false},
    {"Empty", "", kKeyA, false},
};

void PrintTo(const SignatureCase& c, std::ostream* out) { *out << c.name; }

class Signature : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(Signature, OnlyTheDerFormOfAValidSignatureIsTaken)
{
    const SignatureCase& c = GetParam();
    unsigned char key[65];
    const ByteBuffer keyBytes = FromHex(c.key);
    memcpy(key, keyBytes.data(), sizeof key);
    EXPECT_EQ(VerifyPublisherSignature(ByteBuffer(kDigestFile.begin(), kDigestFile.end()), FromHex(c.signature), key),
              c.valid);
}

INSTANTIATE_TEST_SUITE_P(DigestFile, Signature, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
