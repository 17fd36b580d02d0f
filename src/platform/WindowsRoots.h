// Windows only: OpenSSL does not read the Windows certificate store, so the
// certificates of the system's trusted roots are copied into its store, and
// those of its Disallowed store are looked for in every chain.
#pragma once

typedef struct x509_store_st X509_STORE;
struct stack_st_X509;

void AddWindowsRoots(X509_STORE* store);
// Any certificate of chain is in the system's Disallowed store (distrusted by
// the administrator or by Microsoft).
bool ChainDisallowedByWindows(stack_st_X509* chain);
