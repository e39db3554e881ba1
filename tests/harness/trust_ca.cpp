// trust_ca PEM_FILE: adds the certificate in PEM_FILE to the local machine's "Root"
// store of the Wine prefix it runs in, so the test server's certificates pass the
// platform's default checks. Exit code 0 when the certificate is trusted afterwards.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: trust_ca PEM_FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream pem;
    pem << in.rdbuf();
    const std::string text = pem.str();
    if (!in || text.empty()) {
        fwprintf(stderr, L"trust_ca: cannot read %ls\n", argv[1]);
        return 1;
    }

    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
        fwprintf(stderr, L"trust_ca: no PEM certificate in %ls\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                         &size, nullptr, nullptr);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        fwprintf(stderr, L"trust_ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"trust_ca: cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}
