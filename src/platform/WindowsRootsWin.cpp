#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

// wincrypt.h names some types as OpenSSL does.
#undef X509_NAME
#undef X509_EXTENSIONS
#undef PKCS7_SIGNER_INFO
#undef OCSP_REQUEST
#undef OCSP_RESPONSE

#include <openssl/x509.h>

#include "platform/WindowsRoots.h"

void AddWindowsRoots(X509_STORE* store) {
    HCERTSTORE roots = ::CertOpenSystemStoreW(0, L"ROOT");
    if (!roots)
        return;
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(roots, c)) != nullptr;) {
        const unsigned char* der = c->pbCertEncoded;
        if (X509* cert = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded))) {
            X509_STORE_add_cert(store, cert);  // a duplicate is refused, harmlessly
            X509_free(cert);
        }
    }
    ::CertCloseStore(roots, 0);
}

bool ChainDisallowedByWindows(stack_st_X509* chain) {
    HCERTSTORE disallowed = ::CertOpenSystemStoreW(0, L"Disallowed");
    if (!disallowed || !chain)
        return false;
    bool found = false;
    for (int i = 0; i < sk_X509_num(chain) && !found; ++i) {
        unsigned char* der = nullptr;
        const int size = i2d_X509(sk_X509_value(chain, i), &der);
        if (size <= 0)
            continue;
        // The same certificate, byte for byte.
        CERT_CONTEXT wanted{};
        wanted.dwCertEncodingType = X509_ASN_ENCODING;
        wanted.pbCertEncoded = der;
        wanted.cbCertEncoded = static_cast<DWORD>(size);
        if (PCCERT_CONTEXT hit = ::CertFindCertificateInStore(
                disallowed, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, &wanted, nullptr)) {
            ::CertFreeCertificateContext(hit);
            found = true;
        }
        OPENSSL_free(der);
    }
    ::CertCloseStore(disallowed, 0);
    return found;
}
