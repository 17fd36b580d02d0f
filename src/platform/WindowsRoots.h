// Windows only: OpenSSL does not read the Windows certificate store, so the
// certificates of the system's trusted roots are copied into its store.
#pragma once

typedef struct x509_store_st X509_STORE;

void AddWindowsRoots(X509_STORE* store);
