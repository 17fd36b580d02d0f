#include "settings/GoogleKey.h"

#include <cstdio>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "platform/FileSystem.h"
#include "platform/FlatJson.h"

namespace {
// The file's bytes and the PEM text taken from them hold the private key:
// wiped before their memory goes back.
struct Wiped : std::string {
    ~Wiped() { OPENSSL_cleanse(data(), size()); }
};
}  // namespace

std::string LoadGoogleKey(const std::string& path, CGoogleKey& key) {
    key = CGoogleKey();
    const std::string file = "the Google key file " + path;
    if (!InspectFile(path).exists)
        return "there is no Google key file " + path;
    if (OpenToOthers(path))
        return file +
               " holds a private key and others than its owner may read or change it: run "
               "chmod 600 " +
               path;
    Wiped text;
    std::FILE* in = OpenFile(path, "rb");
    if (!in)
        return file + " cannot be read";
    text.resize(kMaxFlatJson + 1);
    text.resize(std::fread(text.data(), 1, text.size(), in));
    const bool failed = std::ferror(in);
    std::fclose(in);
    if (failed)
        return file + " cannot be read";
    auto members = ParseFlatJson(text);
    const auto member = [&members](const char* name) -> std::string& { return (*members)[name]; };
    const std::string notOne =
        file +
        " is not a service account's JSON key (type service_account, client_email, "
        "private_key, private_key_id, an https:// token_uri)";
    if (!members)
        return notOne;
    Wiped pem;
    pem.swap(member("private_key"));
    key.clientEmail = member("client_email");
    key.privateKeyId = member("private_key_id");
    key.tokenUri = member("token_uri");
    if (member("type") != "service_account" || key.clientEmail.empty() ||
        key.privateKeyId.empty() || pem.empty() || key.tokenUri.rfind("https://", 0) != 0) {
        key = CGoogleKey();
        return notOne;
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    // A key with a passphrase is refused, never asked for: a scheduled run has nobody to ask.
    const auto noPassphrase = [](char*, int, int, void*) { return 0; };
    EVP_PKEY* pkey = bio ? PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr) : nullptr;
    BIO_free(bio);
    key.privateKey.reset(pkey, EVP_PKEY_free);
    if (!pkey || EVP_PKEY_base_id(pkey) != EVP_PKEY_RSA) {
        key = CGoogleKey();
        return "the private key of " + file + " is not an RSA key in PEM form without a passphrase";
    }
    return "";
}
