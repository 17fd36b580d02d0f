// A Google service account's JSON key, as the Cloud console issues it: who
// the account is, its RSA private key and where its tokens come from. The
// file holds a private key: it is used only when nobody but its owner may
// read it, and it is never copied, written or logged.
#pragma once

#include <memory>
#include <string>

#include <openssl/types.h>

inline constexpr const char* kGoogleKeyFileName = "GOOGLE_QUEN_DRAVALT.JSON";

struct CGoogleKey {
    std::string clientEmail;               // the JWT's issuer
    std::string privateKeyId;              // the JWT header's kid
    std::string tokenUri;                  // https:// only
    std::shared_ptr<EVP_PKEY> privateKey;  // RSA
};

// Reads the key file at path into key (emptied first). "" when it can be
// used; else why not: missing, not readable, readable by others than its
// owner (the fix named), not a service account's key.
std::string LoadGoogleKey(const std::string& path, CGoogleKey& key);
