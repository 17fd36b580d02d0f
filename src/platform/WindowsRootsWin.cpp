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
